// Round-trip time of one UEI get (the module's serial number, a 32-bit
// system option) through the link object and the link engine to
// corvantis-sim, over TCP on loopback and over a pseudo-terminal. Each
// iteration is timed on its own; the median and the 99th percentile are
// reported as counters (microseconds).
//
// The simulator is looked up as ../corvantis-sim next to this program's
// directory (the build tree's layout), or at $CORVANTIS_SIM.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devlib/Module.h"
#include "devlib/SystemClass.h"

using namespace Halvern::Corvantis;

namespace {

constexpr unsigned int kSerialBaud = 115200;
constexpr int kSimStartLines = 20; // lines read at most before "ready"

std::string simPath() {
    if (const char* path = std::getenv("CORVANTIS_SIM")) {
        return path;
    }
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../corvantis-sim";
}

// One simulator with a TCP endpoint on loopback and a pseudo-terminal.
class Simulator {
public:
    Simulator() {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::string path = simPath();
            execl(path.c_str(), path.c_str(), "--tcp", "127.0.0.1:0", "--pty", "--max-runtime",
                  "300", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        FILE* out = fdopen(fds[0], "r");
        char line[512];
        for (int i = 0; i < kSimStartLines && out != nullptr && fgets(line, sizeof(line), out);
             ++i) {
            std::string text(line);
            text.erase(text.find_last_not_of("\r\n") + 1);
            if (text == "ready") {
                ready_ = true;
                break;
            }
            if (text.rfind("tcp ", 0) == 0) {
                std::string endpoint = text.substr(4, text.find(' ', 4) - 4);
                port_ = static_cast<unsigned>(std::stoul(endpoint.substr(endpoint.rfind(':') + 1)));
            } else if (text.rfind("pty ", 0) == 0) {
                pty_ = text.substr(4, text.find(' ', 4) - 4);
            }
        }
        out_ = out;
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) {
            fclose(out_);
        }
    }
    bool ready() const { return ready_ && port_ != 0 && !pty_.empty(); }
    linkSpec tcp() const {
        linkSpec where{};
        where.type = linkTypeTCPIP;
        where.serialNumber = 0x40F5849A;
        where.address = inet_addr("127.0.0.1");
        where.port = port_;
        return where;
    }
    linkSpec serial() const {
        linkSpec where{};
        where.type = linkTypeSerial;
        where.serialNumber = 0x40F5849A;
        where.address = kSerialBaud;
        std::strncpy(where.portName, pty_.c_str(), sizeof(where.portName) - 1);
        return where;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    bool ready_ = false;
    unsigned port_ = 0;
    std::string pty_;
};

Simulator& simulator() {
    static Simulator sim;
    return sim;
}

void runRoundTrips(benchmark::State& state, const linkSpec& where) {
    if (!simulator().ready()) {
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
    runRoundTrips(state, simulator().tcp());
}
void BM_UEIGetRoundTripSerial(benchmark::State& state) {
    runRoundTrips(state, simulator().serial());
}

BENCHMARK(BM_UEIGetRoundTripTCP)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_UEIGetRoundTripSerial)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
