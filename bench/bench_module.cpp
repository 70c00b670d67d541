// Round-trip time of one UEI get (the module's serial number, a 32-bit
// system option) through the link object and the link engine to
// corvantis-sim, over TCP on loopback and over a pseudo-terminal. Each
// iteration is timed on its own; the median and the 99th percentile are
// reported as counters (microseconds).
//
// The simulator is BUILD/corvantis-sim or $CORVANTIS_SIM (bench/SimProcess.h).
#include <arpa/inet.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "bench/SimProcess.h"
#include "devlib/Module.h"
#include "devlib/SystemClass.h"

using namespace Halvern::Corvantis;

namespace {

constexpr unsigned int kSerialBaud = 115200;
constexpr unsigned int kSimSerial = 0x40F5849A;

// One simulator with a TCP endpoint on loopback and a pseudo-terminal,
// shared by both benchmarks.
benchsim::SimProcess& simulator() {
    static benchsim::SimProcess sim({"--tcp", "127.0.0.1:0", "--pty"});
    return sim;
}

bool simReady() {
    return simulator().ready() && simulator().tcpPort() != 0 && !simulator().pty().empty();
}

linkSpec tcpLink() {
    linkSpec where{};
    where.type = linkTypeTCPIP;
    where.serialNumber = kSimSerial;
    where.address = inet_addr("127.0.0.1");
    where.port = simulator().tcpPort();
    return where;
}

linkSpec serialLink() {
    linkSpec where{};
    where.type = linkTypeSerial;
    where.serialNumber = kSimSerial;
    where.address = kSerialBaud;
    std::strncpy(where.portName, simulator().pty().c_str(), sizeof(where.portName) - 1);
    return where;
}

void runRoundTrips(benchmark::State& state, const linkSpec& where) {
    if (!simReady()) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    Module module(2);
    if (module.connectFromSpec(where) != aErrNone) {
        state.SkipWithError("cannot connect to corvantis-sim");
        return;
    }
    SystemClass system;
    system.init(&module, 0);
    std::vector<double> micros;
    micros.reserve(100000);
    uint32_t serial = 0;
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        aErr result = system.getSerialNumber(&serial);
        auto end = std::chrono::steady_clock::now();
        if (result != aErrNone) {
            state.SkipWithError("a get failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
    }
    benchmark::DoNotOptimize(serial);
    if (micros.empty()) {
        return;
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

void BM_UEIGetRoundTripTCP(benchmark::State& state) {
    runRoundTrips(state, tcpLink());
}
void BM_UEIGetRoundTripSerial(benchmark::State& state) {
    runRoundTrips(state, serialLink());
}

BENCHMARK(BM_UEIGetRoundTripTCP)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_UEIGetRoundTripSerial)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
