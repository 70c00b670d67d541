// Packet FIFO costs: put-to-await latency between two threads, single-thread
// put/get, and filtered searches over a filled queue.
#include "devlib/packetfifo.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

// Longest a benchmark waits for its partner thread.
constexpr unsigned long kPartnerWaitMs = 5000;
constexpr uint8_t kStopTag = 0xFF;

PacketPtr makePacket(uint8_t tag) {
    const uint8_t data[] = {tag, 0x48, 0x20, 0, 0, 0, 0};
    return PacketPtr(aPacket_CreateWithData(2, sizeof(data), data));
}

// Round trip through two FIFOs and an echo thread: main puts on the request
// queue, the echo thread awaits it and puts on the reply queue, main awaits
// that. The time per iteration is two put-to-await hand-offs.
void BM_PutToAwaitRoundTrip(benchmark::State& state) {
    aPacketFifoHandle requests = aPacketFifo_Create();
    aPacketFifoHandle replies = aPacketFifo_Create();
    std::thread echo([&] {
        for (;;) {
            PacketPtr p(aPacketFifo_Await(requests, kPartnerWaitMs));
            if (!p || p->data[0] == kStopTag) {
                break;
            }
            aPacketFifo_Put(replies, p.get());
        }
    });
    PacketPtr request = makePacket(1);
    for (auto _ : state) {
        aPacketFifo_Put(requests, request.get());
        PacketPtr reply(aPacketFifo_Await(replies, kPartnerWaitMs));
        if (!reply) {
            state.SkipWithError("echo thread did not answer");
            break;
        }
    }
    PacketPtr stop = makePacket(kStopTag);
    aPacketFifo_Put(requests, stop.get());
    echo.join();
    aPacketFifo_Destroy(&requests);
    aPacketFifo_Destroy(&replies);
    state.counters["per_handoff"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 2,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PutToAwaitRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same hand-off with the reply picked out by a filter, as a link's
// callers wait for their reply among others.
bool sReplyFilter(const aPacket* packet, const void* reference) {
    return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

void BM_PutToAwaitFirstRoundTrip(benchmark::State& state) {
    aPacketFifoHandle requests = aPacketFifo_Create();
    aPacketFifoHandle replies = aPacketFifo_Create();
    // Unrelated packets already waiting in the reply queue.
    for (int i = 0; i < state.range(0); ++i) {
        PacketPtr other = makePacket(0x80);
        aPacketFifo_Put(replies, other.get());
    }
    std::thread echo([&] {
        for (;;) {
            PacketPtr p(aPacketFifo_Await(requests, kPartnerWaitMs));
            if (!p || p->data[0] == kStopTag) {
                break;
            }
            aPacketFifo_Put(replies, p.get());
        }
    });
    const uint8_t wanted = 1;
    PacketPtr request = makePacket(wanted);
    for (auto _ : state) {
        aPacketFifo_Put(requests, request.get());
        PacketPtr reply(aPacketFifo_AwaitFirst(replies, sReplyFilter, &wanted, kPartnerWaitMs));
        if (!reply) {
            state.SkipWithError("echo thread did not answer");
            break;
        }
    }
    PacketPtr stop = makePacket(kStopTag);
    aPacketFifo_Put(requests, stop.get());
    echo.join();
    aPacketFifo_Destroy(&requests);
    aPacketFifo_Destroy(&replies);
}
BENCHMARK(BM_PutToAwaitFirstRoundTrip)
    ->Arg(0)
    ->Arg(100)
    ->Arg(900)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_PutGetSingleThread(benchmark::State& state) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    PacketPtr packet = makePacket(1);
    for (auto _ : state) {
        aPacketFifo_Put(fifo, packet.get());
        PacketPtr p(aPacketFifo_Get(fifo));
        benchmark::DoNotOptimize(p.get());
    }
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_PutGetSingleThread);

// A search that rejects every queued packet: the cost of one filtered look
// at a queue of the given length.
bool sRejectAll(const aPacket*, const void*) {
    return false;
}

void BM_GetFirstMiss(benchmark::State& state) {
    aPacketFifoHandle fifo = aPacketFifo_Create();
    for (int i = 0; i < state.range(0); ++i) {
        PacketPtr p = makePacket(static_cast<uint8_t>(i));
        aPacketFifo_Put(fifo, p.get());
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(aPacketFifo_GetFirst(fifo, sRejectAll, nullptr));
    }
    aPacketFifo_Destroy(&fifo);
}
BENCHMARK(BM_GetFirstMiss)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
