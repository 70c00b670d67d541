// The USB transport over the emulated bus (corvantis-sim's USB attachment,
// real libusb under the umockdev preload): the UEI round trip through the
// link engine, raw write throughput in 4 KiB writes, and the CPU time an idle
// USB link costs over 5 seconds.
//
// Run it from the build tree inside a network namespace:
//   tools/netns-run build/bench_usb
// It starts itself again under the preload and starts BUILD/corvantis-sim.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/SimProcess.h"
#include "devlib/aLink.h"
#include "devlib/aPacket.h"
#include "devlib/unix_streamusb.h"

namespace {

constexpr unsigned int kSerial = 0x40F5849A;
constexpr unsigned int kRawSerial = 0x0A1B2C3D;
constexpr unsigned long kReplyMS = 1000;
constexpr int kIdleSeconds = 5;

bool sIsVersionReply(const aPacket* p, const void*) {
    return p->dataSize == 7 && p->data[0] == 3 && (p->data[1] & 0x3F) == 7;
}

// The two simulated modules on the emulated bus.
const char* const kSimConfig = R"({"modules": [{"serial": "40F5849A", "usb": true},)"
                               R"({"serial": "0A1B2C3D", "usb": {"maxPacket": 512}}]})";

void BM_UsbUEIRoundTrip(benchmark::State& state) {
    unsigned int id = aLink_CreateUSB(kSerial);
    if (id == 0) {
        state.SkipWithError("no USB link");
        return;
    }
    const uint8_t get[3] = {3, 7 | 0x40, 0x20}; // system entity, get option 7 (version)
    for (auto _ : state) {
        aPacket* request = aPacket_CreateWithData(2, 3, get);
        aLink_PutPacket(id, request);
        aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(id, sIsVersionReply, nullptr, kReplyMS);
        if (reply == nullptr) {
            state.SkipWithError("no reply");
            break;
        }
        aPacket_Destroy(&reply);
    }
    aLink_Destroy(&id);
}
BENCHMARK(BM_UsbUEIRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_UsbRawWrite4K(benchmark::State& state) {
    aStream* s = nullptr;
    if (aStream_CreateUSB(kRawSerial, &s) != aErrNone) {
        state.SkipWithError("no USB stream");
        return;
    }
    // Heartbeat packets to the module (address 0, no data): it ignores them.
    std::vector<uint8_t> data(4096, 0);
    for (auto _ : state) {
        if (aStream_Write(s, data.data(), data.size()) != aErrNone) {
            state.SkipWithError("write failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
    aStream_Destroy(&s);
}
BENCHMARK(BM_UsbRawWrite4K)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

double cpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU share of one core that an idle link costs (reader blocked in bulk IN
// transfers, writer waiting on its FIFO).
void BM_UsbIdleLinkCpu(benchmark::State& state) {
    unsigned int id = aLink_CreateUSB(kSerial);
    if (id == 0) {
        state.SkipWithError("no USB link");
        return;
    }
    double share = 0;
    for (auto _ : state) {
        double before = cpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        share = (cpuSeconds() - before) / kIdleSeconds;
    }
    state.counters["cpu_percent_of_core"] = share * 100.0;
    aLink_Destroy(&id);
}
BENCHMARK(BM_UsbIdleLinkCpu)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "libumockdev-preload") == nullptr) {
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0", 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }
    benchsim::SimProcess sim({}, kSimConfig);
    if (!sim.ready() || sim.usbEnvironment().empty()) {
        fprintf(stderr, "bench_usb: cannot start corvantis-sim with a USB bus\n");
        return 1;
    }
    setenv("UMOCKDEV_DIR", sim.usbEnvironment().c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
