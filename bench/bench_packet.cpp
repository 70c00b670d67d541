// Packet costs: byte-by-byte assembly as the reader does it, creation and
// copy, and splitting a byte array into UEI chunks.
#include "devlib/aPacket.h"
#include "devlib/aUEI.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

// Assembles one packet of the given data size from its wire bytes, resetting
// the record before each packet as the link reader does.
void BM_AssemblePacket(benchmark::State& state) {
    const uint8_t size = static_cast<uint8_t>(state.range(0));
    std::vector<uint8_t> wire = {0x02, size};
    for (uint8_t i = 0; i < size; ++i) {
        wire.push_back(static_cast<uint8_t>(i + 1));
    }
    PacketPtr packet(aPacket_Create());
    for (auto _ : state) {
        aPacket_Reset(packet.get());
        for (uint8_t b : wire) {
            aPacket_AddByte(packet.get(), b);
        }
        benchmark::DoNotOptimize(aPacket_IsComplete(packet.get()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_AssemblePacket)->Arg(0)->Arg(3)->Arg(28);

void BM_CreateWithDataDestroy(benchmark::State& state) {
    const uint8_t data[28] = {95, 1, 2, 3};
    for (auto _ : state) {
        aPacket* p = aPacket_CreateWithData(0x02, 28, data);
        benchmark::DoNotOptimize(p);
        aPacket_Destroy(&p);
    }
}
BENCHMARK(BM_CreateWithDataDestroy);

void BM_Copy(benchmark::State& state) {
    const uint8_t data[7] = {3, 0x48, 0x20, 1, 2, 3, 4};
    PacketPtr source(aPacket_CreateWithData(0x02, sizeof(data), data));
    for (auto _ : state) {
        aPacket* p = aPacket_Copy(source.get());
        benchmark::DoNotOptimize(p);
        aPacket_Destroy(&p);
    }
}
BENCHMARK(BM_Copy);

// Splits an array into chunk packets, as a UEI byte-array set does.
void BM_SplitBytes(benchmark::State& state) {
    std::vector<uint8_t> array(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) {
        aUEIBytesWriter w;
        aUEI_BytesWriterInit(&w, 2, 95, 0x8A, 0x20, array.data(), array.size());
        bool last = false;
        while (!last) {
            aPacket* p = nullptr;
            if (aUEI_BytesNextChunk(&w, &p, &last) != aErrNone) {
                state.SkipWithError("chunking failed");
                break;
            }
            aPacket_Destroy(&p);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * array.size()));
}
BENCHMARK(BM_SplitBytes)->Arg(24)->Arg(4096);

} // namespace

BENCHMARK_MAIN();
