// An in-memory byte stream pair for driving the link engine without a
// transport: the host side is an aStream handed to the link, the module side
// is read and written by the test (or by a scripted module thread). Every
// write call of the host is recorded with its size, so tests can see how the
// writer batches packets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "devlib/aStream.h"

namespace linktest {

// One packet as the module sees it: its own decoding of the wire bytes.
struct WirePacket {
    uint8_t address = 0;
    std::vector<uint8_t> data;
    bool operator==(const WirePacket& o) const { return address == o.address && data == o.data; }
};

class MemoryWire {
public:
    enum class Mode {
        // get returns aErrNotReady at once when empty; the stream has a
        // readiness wait (like a socket or a serial port).
        Polling,
        // get blocks until a byte comes, or until emptyRead() or release()
        // (like a USB bulk transfer with a long time-out).
        Blocking,
    };

    explicit MemoryWire(Mode mode = Mode::Polling) : mode_(mode) {}
    MemoryWire(const MemoryWire&) = delete;
    MemoryWire& operator=(const MemoryWire&) = delete;

    // A new stream over this wire; the wire must outlive it.
    aStream* makeStream() {
        aStream* s = aStream_Create(sGet, sPut, sWrite, sDelete, this);
        if (s != nullptr && mode_ == Mode::Polling) {
            aStream_SetWaitProc(s, sWait);
        }
        return s;
    }

    // --- module side ---
    void send(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> g(m_);
        toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
        cv_.notify_all();
    }
    // Takes one packet the host wrote, waiting at most `timeout`.
    bool receive(WirePacket& packet, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> l(m_);
        auto complete = [this] {
            return toModule_.size() >= 2 && toModule_.size() >= 2u + toModule_[1];
        };
        if (!cv_.wait_for(l, timeout, complete)) {
            return false;
        }
        packet.address = toModule_[0];
        size_t n = toModule_[1];
        packet.data.assign(toModule_.begin() + 2, toModule_.begin() + 2 + n);
        toModule_.erase(toModule_.begin(), toModule_.begin() + 2 + n);
        return true;
    }
    // Bytes the host wrote and the module has not taken.
    size_t pendingToModule() {
        std::lock_guard<std::mutex> g(m_);
        return toModule_.size();
    }
    // Bytes sent to the host that its reader has not taken yet.
    size_t pendingToHost() {
        std::lock_guard<std::mutex> g(m_);
        return toHost_.size();
    }

    // --- observation and faults ---
    // Sizes of the host's write calls (a put counts as a write of 1).
    std::vector<size_t> writeSizes() {
        std::lock_guard<std::mutex> g(m_);
        return writeSizes_;
    }
    // Waits until the host has written at least `n` bytes that the module
    // has not taken, at most `timeout`.
    bool waitForPendingToModule(size_t n, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, timeout, [&] { return toModule_.size() >= n; });
    }
    // Host writes block while the gate is closed.
    void closeGate() {
        std::lock_guard<std::mutex> g(m_);
        gateClosed_ = true;
    }
    void openGate() {
        std::lock_guard<std::mutex> g(m_);
        gateClosed_ = false;
        cv_.notify_all();
    }
    int blockedWriters() {
        std::lock_guard<std::mutex> g(m_);
        return blockedWriters_;
    }
    // Gets fail with aErrIO while set.
    void failReads(bool fail) {
        std::lock_guard<std::mutex> g(m_);
        failReads_ = fail;
        cv_.notify_all();
    }
    // Blocking mode: the next blocked get returns aErrNotReady.
    void emptyRead() {
        std::lock_guard<std::mutex> g(m_);
        emptyReads_++;
        cv_.notify_all();
    }
    // Blocking mode: every get from now on returns at once.
    void release() {
        std::lock_guard<std::mutex> g(m_);
        released_ = true;
        gateClosed_ = false;
        cv_.notify_all();
    }
    bool deleted() {
        std::lock_guard<std::mutex> g(m_);
        return deleted_;
    }

private:
    // A get never blocks longer than this, even in blocking mode, so a test
    // that forgets to release the wire still ends.
    static constexpr std::chrono::milliseconds kMaxBlock{10000};

    static aErr sGet(uint8_t* byte, void* reference) {
        MemoryWire* w = static_cast<MemoryWire*>(reference);
        std::unique_lock<std::mutex> l(w->m_);
        if (w->mode_ == Mode::Blocking) {
            w->cv_.wait_for(l, kMaxBlock, [w] {
                return !w->toHost_.empty() || w->emptyReads_ > 0 || w->released_ || w->failReads_;
            });
            if (w->emptyReads_ > 0 && w->toHost_.empty()) {
                w->emptyReads_--;
            }
        }
        if (w->failReads_) {
            return aErrIO;
        }
        if (w->toHost_.empty()) {
            return aErrNotReady;
        }
        *byte = w->toHost_.front();
        w->toHost_.pop_front();
        w->cv_.notify_all();
        return aErrNone;
    }
    static aErr sWait(unsigned long ms, void* reference) {
        MemoryWire* w = static_cast<MemoryWire*>(reference);
        std::unique_lock<std::mutex> l(w->m_);
        bool ready = w->cv_.wait_for(l, std::chrono::milliseconds(ms),
                                     [w] { return !w->toHost_.empty() || w->failReads_; });
        return ready ? aErrNone : aErrTimeout;
    }
    static aErr sWrite(const uint8_t* data, size_t length, void* reference) {
        MemoryWire* w = static_cast<MemoryWire*>(reference);
        std::unique_lock<std::mutex> l(w->m_);
        w->blockedWriters_++;
        w->cv_.notify_all();
        w->cv_.wait_for(l, kMaxBlock, [w] { return !w->gateClosed_; });
        w->blockedWriters_--;
        w->writeSizes_.push_back(length);
        w->toModule_.insert(w->toModule_.end(), data, data + length);
        w->cv_.notify_all();
        return aErrNone;
    }
    static aErr sPut(const uint8_t* byte, void* reference) { return sWrite(byte, 1, reference); }
    static aErr sDelete(void* reference) {
        MemoryWire* w = static_cast<MemoryWire*>(reference);
        std::lock_guard<std::mutex> g(w->m_);
        w->deleted_ = true;
        w->cv_.notify_all();
        return aErrNone;
    }

    Mode mode_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint8_t> toHost_;
    std::deque<uint8_t> toModule_;
    std::vector<size_t> writeSizes_;
    bool gateClosed_ = false;
    int blockedWriters_ = 0;
    bool failReads_ = false;
    int emptyReads_ = 0;
    bool released_ = false;
    bool deleted_ = false;
};

} // namespace linktest
