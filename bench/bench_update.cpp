// Time to transfer a 256 KiB firmware block into corvantis-sim over TCP on
// loopback with the upgrade entity: with data packets, with UEI byte arrays,
// and with UEI byte arrays plus pooled packets. Each run also reports the
// protocol floor: the request/reply round trips the transfer needs times the
// median round trip of a UEI get measured on the same link in the same run.
//
// The simulator is looked up as ../corvantis-sim next to this program's
// directory (the build tree's layout), or at $CORVANTIS_SIM. Run it inside a
// network namespace (tools/netns-run).
#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "updater/UpdaterEntity.h"

using namespace Halvern::Corvantis;

namespace {

constexpr unsigned int kImageBytes = 256 * 1024;
constexpr unsigned int kDataPerPacket = 26;
constexpr int kSimStartLines = 20;     // lines read at most before "ready"
constexpr int kRoundTripSamples = 300; // UEI gets timed for the median

std::string simPath() {
    if (const char* path = std::getenv("CORVANTIS_SIM"))
        return path;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    return dir.substr(0, dir.rfind('/')) + "/../corvantis-sim";
}

class QuietDisplay final : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

// One simulator on TCP loopback with the given upgrade settings.
class Simulator {
public:
    explicit Simulator(bool ueiData, bool pooled) {
        char dir[] = "/tmp/bench_update.XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        dir_ = dir;
        const std::string config = dir_ + "/sim.json";
        if (FILE* f = std::fopen(config.c_str(), "w")) {
            std::fprintf(f,
                         "{\"serial\":\"40F5849A\",\"model\":21,\"tcp\":\"127.0.0.1:0\","
                         "\"pooled\":%s,\"upgrade\":{\"flashSize\":1048576,\"ueiData\":%s}}",
                         pooled ? "true" : "false", ueiData ? "true" : "false");
            std::fclose(f);
        }
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::string path = simPath();
            execl(path.c_str(), path.c_str(), "--config", config.c_str(), "--max-runtime", "300",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
        char line[512];
        for (int i = 0; i < kSimStartLines && out_ != nullptr && fgets(line, sizeof(line), out_);
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
            }
        }
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr)
            fclose(out_);
        if (!dir_.empty()) {
            std::remove((dir_ + "/sim.json").c_str());
            rmdir(dir_.c_str());
        }
    }
    bool ready() const { return ready_ && port_ != 0; }
    linkSpec tcp() const {
        linkSpec where{};
        where.type = linkTypeTCPIP;
        where.serialNumber = 0x40F5849A;
        where.address = inet_addr("127.0.0.1");
        where.port = port_;
        return where;
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    bool ready_ = false;
    unsigned port_ = 0;
};

double medianRoundTripUs(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    std::vector<double> micros;
    uint32_t serial = 0;
    for (int i = 0; i < kRoundTripSamples; ++i) {
        auto begin = std::chrono::steady_clock::now();
        if (system.getSerialNumber(&serial) != aErrNone)
            continue;
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - begin)
                .count());
    }
    if (micros.empty())
        return 0;
    std::sort(micros.begin(), micros.end());
    return micros[micros.size() / 2];
}

void runTransfer(benchmark::State& state, bool ueiData, bool pooled) {
    Simulator sim(ueiData, pooled);
    if (!sim.ready()) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    Module module(2);
    if (module.connectFromSpec(sim.tcp()) != aErrNone) {
        state.SkipWithError("cannot connect to corvantis-sim");
        return;
    }
    std::vector<unsigned char> block(4 + kImageBytes);
    for (size_t i = 4; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 7);
    QuietDisplay display;
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    if (ueiData && entity.CheckUEIDataSupport() == aErrNone && pooled)
        entity.CheckPooledPacketsSupport();
    unsigned short blockSize = 0;
    for (auto _ : state) {
        if (entity.TransferPrepare(block.data(), block.size(), 0, blockSize) != aErrNone ||
            entity.FirmwareTransfer(block.data(), block.size(), blockSize, display) != aErrNone) {
            state.SkipWithError("the transfer failed");
            break;
        }
    }
    // Round trips of one transfer: the prepare, then per chunk its data
    // (one reply per packet, or one for the whole UEI array), the sum and
    // the write.
    const unsigned int chunks = (kImageBytes + blockSize - 1) / std::max<unsigned>(blockSize, 1);
    const unsigned int dataTrips = ueiData ? 1 : (blockSize + kDataPerPacket - 1) / kDataPerPacket;
    const double trips = 1.0 + chunks * (dataTrips + 2.0);
    const double median = medianRoundTripUs(module);
    state.counters["round_trips"] = trips;
    state.counters["median_rtt_us"] = median;
    state.counters["floor_ms"] = trips * median / 1000.0;
}

void BM_UpdateTCPPackets(benchmark::State& state) {
    runTransfer(state, false, false);
}
void BM_UpdateTCPUEIBytes(benchmark::State& state) {
    runTransfer(state, true, false);
}
void BM_UpdateTCPUEIBytesPooled(benchmark::State& state) {
    runTransfer(state, true, true);
}

BENCHMARK(BM_UpdateTCPPackets)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UpdateTCPUEIBytes)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_UpdateTCPUEIBytesPooled)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
