#include "devlib/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace {

// Longest wait honoured as asked; longer time-outs are cut to it so that the
// deadline stays representable on the monotonic clock.
constexpr unsigned long kMaxWaitMs = 365ul * 24 * 3600 * 1000;

struct packetFifo {
    std::deque<SerialPacket> queue;
    std::condition_variable signal;
    std::mutex lock;
    std::atomic<bool> valid{true};
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextSerial{0};
};

typedef std::shared_ptr<packetFifo> FifoRef;

struct Registry {
    std::mutex mutex;
    std::map<aPacketFifoHandle, FifoRef> fifos;
    std::atomic<aPacketFifoHandle> nextHandle{1};
};

// The registry lives for the whole process, beyond static destruction, so
// that threads still running at exit never find it gone.
Registry& sRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

FifoRef sLookup(aPacketFifoHandle handle) {
    Registry& registry = sRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    auto it = registry.fifos.find(handle);
    return it != registry.fifos.end() ? it->second : FifoRef();
}

std::chrono::steady_clock::time_point sDeadline(unsigned long milliseconds) {
    const unsigned long wait = std::min(milliseconds, kMaxWaitMs);
    return std::chrono::steady_clock::now() +
           std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(wait));
}

// Both helpers below run with the FIFO's lock held.
void sUpdateWindow(packetFifo& fifo) {
    fifo.windowStart = fifo.queue.empty() ? fifo.nextSerial.load() : fifo.queue.front().getId();
}

aPacket* sTake(packetFifo& fifo, std::deque<SerialPacket>::iterator it) {
    aPacket* packet = it->release();
    fifo.queue.erase(it);
    sUpdateWindow(fifo);
    return packet;
}

} // namespace

aPacketFifoHandle aPacketFifo_Create() {
    try {
        FifoRef fifo = std::make_shared<packetFifo>();
        Registry& registry = sRegistry();
        aPacketFifoHandle handle = registry.nextHandle.fetch_add(1);
        if (handle == 0) {
            handle = registry.nextHandle.fetch_add(1);
        }
        std::lock_guard<std::mutex> guard(registry.mutex);
        registry.fifos[handle] = std::move(fifo);
        return handle;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoHandle* handle) {
    if (handle == nullptr) {
        return aErrParam;
    }
    try {
        FifoRef fifo;
        {
            Registry& registry = sRegistry();
            std::lock_guard<std::mutex> guard(registry.mutex);
            auto it = registry.fifos.find(*handle);
            if (it == registry.fifos.end()) {
                return aErrNotFound;
            }
            fifo = std::move(it->second);
            registry.fifos.erase(it);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->queue.clear();
            fifo->valid = false;
            sUpdateWindow(*fifo);
        }
        fifo->signal.notify_all();
        *handle = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoHandle handle) {
    FifoRef fifo = sLookup(handle);
    if (!fifo) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(aPacketFifoHandle handle, const aPacket* packet) {
    FifoRef fifo = sLookup(handle);
    if (!fifo || !aVALIDPACKET(packet)) {
        return aErrParam;
    }
    std::unique_ptr<aPacket, aPacketDeleter> copy(aPacket_Copy(packet));
    if (!copy) {
        return aErrParam;
    }
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> guard(fifo->lock);
        // A put that raced with the destruction must not refill the queue.
        if (!fifo->valid) {
            return aErrParam;
        }
        try {
            fifo->queue.emplace_back(fifo->nextSerial.load(), std::move(copy));
        } catch (...) {
            return aErrResource;
        }
        fifo->nextSerial++;
        if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
            fifo->queue.clear();
            overflowed = true;
        }
        sUpdateWindow(*fifo);
    }
    if (!overflowed) {
        fifo->signal.notify_all();
    }
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoHandle handle) {
    FifoRef fifo = sLookup(handle);
    if (!fifo) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    return fifo->queue.empty() ? nullptr : sTake(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoHandle handle, unsigned long milliseconds) {
    FifoRef fifo = sLookup(handle);
    if (!fifo) {
        return nullptr;
    }
    const auto deadline = sDeadline(milliseconds);
    std::unique_lock<std::mutex> guard(fifo->lock);
    fifo->signal.wait_until(guard, deadline, [&] { return !fifo->queue.empty() || !fifo->valid; });
    return fifo->queue.empty() ? nullptr : sTake(*fifo, fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoHandle handle, aPacketFilter filter,
                              const void* reference) {
    FifoRef fifo = sLookup(handle);
    if (!fifo || filter == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
        if (filter(it->getPacket(), reference)) {
            return sTake(*fifo, it);
        }
    }
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference, unsigned long milliseconds) {
    FifoRef fifo = sLookup(handle);
    if (!fifo || filter == nullptr) {
        return nullptr;
    }
    const auto deadline = sDeadline(milliseconds);
    std::unique_lock<std::mutex> guard(fifo->lock);

    // Packets up to lastOffered have been shown to the filter already; each
    // search starts after them, so a filter that records what it sees never
    // sees a packet twice.
    int64_t lastOffered = fifo->windowStart - 1;
    // The iterator is meaningful only while hit holds: the lock is kept from
    // the successful search to the take.
    bool hit = false;
    std::deque<SerialPacket>::iterator found;
    auto search = [&] {
        auto& queue = fifo->queue;
        // Serial numbers rise along the queue, so the first packet not yet
        // offered is found by bisection.
        auto it = std::upper_bound(
            queue.begin(), queue.end(), lastOffered,
            [](int64_t serial, const SerialPacket& queued) { return serial < queued.getId(); });
        for (; it != queue.end(); ++it) {
            lastOffered = it->getId();
            if (filter(it->getPacket(), reference)) {
                found = it;
                hit = true;
                return true;
            }
        }
        return false;
    };
    fifo->signal.wait_until(guard, deadline, [&] { return search() || !fifo->valid; });
    if (!hit || !fifo->valid) {
        return nullptr;
    }
    return sTake(*fifo, found);
}

size_t aPacketFifo_DrainPackets(aPacketFifoHandle handle, aPacketFilter filter,
                                const void* reference) {
    FifoRef fifo = sLookup(handle);
    if (!fifo || filter == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(fifo->lock);
    auto& queue = fifo->queue;
    const size_t before = queue.size();
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const SerialPacket& queued) {
                                   return filter(queued.getPacket(), reference);
                               }),
                queue.end());
    sUpdateWindow(*fifo);
    return before - queue.size();
}
