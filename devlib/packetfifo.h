// Thread-safe, bounded packet queues addressed by numeric handles.
//
// Each link has two: the outgoing queue, filled by callers and emptied by the
// link's writer thread, and the incoming queue, filled by the reader thread
// and searched by callers waiting for a particular reply. Searches take a
// caller-supplied filter and may take a packet out of the middle of the
// queue while older packets stay in place, in order.
//
// Handles are looked up in a process-wide registry. Every operation takes a
// shared reference to the queue under the registry's mutex and releases that
// mutex before working on the queue, so destroying a queue never frees it
// under another thread's feet: a waiter woken by the destruction still holds
// its reference. Any number of threads may call any operation at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "devlib/aError.h"
#include "devlib/aPacket.h"

// Handle of a queue; never 0 for a live one.
typedef size_t aPacketFifoHandle;

// Most packets a queue holds. A put that would make it hold more empties the
// queue, the new packet included: the oldest replies are of no use to anyone
// by then, and the reader must not stall.
constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// A filter: true when the packet is the one wanted. It may record what it
// finds in the memory behind reference (hence each waiting search shows a
// packet to its filter at most once). Filters run under the queue's lock:
// they must be quick and must not call operations on the same queue.
typedef bool (*aPacketFilter)(const aPacket* packet, const void* reference);

// A queued packet: its serial number in the queue and the packet it owns.
// Serial numbers increase by one per packet put and are never reused, so
// they order packets even after some in the middle were taken out.
class SerialPacket {
public:
    SerialPacket(int64_t id, std::unique_ptr<aPacket, aPacketDeleter> packet)
        : mId(id), mPacket(std::move(packet)) {}
    SerialPacket(SerialPacket&&) = default;
    SerialPacket& operator=(SerialPacket&&) = default;
    SerialPacket(const SerialPacket&) = delete;
    SerialPacket& operator=(const SerialPacket&) = delete;

    int64_t getId() const { return mId; }
    const aPacket* getPacket() const { return mPacket.get(); }
    // Hands the packet over to the caller, who frees it with aPacket_Destroy.
    aPacket* release() { return mPacket.release(); }

private:
    int64_t mId;
    std::unique_ptr<aPacket, aPacketDeleter> mPacket;
};

// A new empty queue; 0 when it cannot be created. Free it with
// aPacketFifo_Destroy.
aPacketFifoHandle aPacketFifo_Create();

// Removes the queue from the registry, empties it, marks it invalid and wakes
// every waiter (their waits end with null), then sets *handle to 0.
// aErrParam for a null pointer; aErrNotFound for a handle not registered
// (a second destroy, for example); aErrUnknown when an internal failure was
// raised. The queue's memory goes when its last user lets go.
aErr aPacketFifo_Destroy(aPacketFifoHandle* handle);

// Number of packets queued; 0 for a handle not registered. Never blocks
// beyond the queue's lock.
size_t aPacketFifo_GetLength(aPacketFifoHandle handle);

// Queues a copy of packet (the caller keeps its own) and wakes the waiters.
// aErrParam for a handle not registered (or destroyed meanwhile), an invalid
// packet or a failed copy; aErrResource when the queue cannot grow. The put
// that overflows the capacity empties the queue and still returns aErrNone.
aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet);

// Takes the oldest packet without waiting; null when the queue is empty or
// the handle is not registered. The caller frees the result with
// aPacket_Destroy.
aPacket* aPacketFifo_Get(aPacketFifoHandle handle);

// Takes the oldest packet, waiting up to milliseconds (on a monotonic clock)
// for one to arrive; null on time-out, when the queue is destroyed during
// the wait, or for a handle not registered. 0 does not wait. The caller
// frees the result with aPacket_Destroy.
aPacket* aPacketFifo_Await(aPacketFifoHandle handle, unsigned long milliseconds);

// Takes the oldest packet that filter accepts, without waiting; null when
// none does, for a null filter or for a handle not registered. The caller
// frees the result with aPacket_Destroy.
aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter,
                              const void* reference);

// Takes the oldest packet that filter accepts, waiting up to milliseconds
// (monotonic) for new packets; each packet is shown to the filter at most
// once during the wait. Null on time-out, on destruction during the wait, for
// a null filter or for a handle not registered. The caller frees the result
// with aPacket_Destroy.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference, unsigned long milliseconds);

// Removes every queued packet that filter accepts, keeping the others in
// order; returns how many were removed (0 for a null filter or a handle not
// registered). Never waits.
size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference);
