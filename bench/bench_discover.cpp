// Discovery timings against corvantis-sim, through the Updater's own
// operations:
//
// - BM_DiscoverTCP/N: Updater::Discover_Devices over TCP/IP with N simulated
//   modules. The multicast walk alone waits two seconds after the last
//   reply, so each iteration also times a bare walk, and the counter
//   per_module_ms is (discover - walk) / N: the cost of connecting one module
//   and asking it for build, version and addresses.
// - BM_RouterScan: Updater::Discover_SXNetwork_Devices behind a router with
//   three modules on its network (addresses 2 to 252 scanned). scan_ms leaves
//   out the router's discovery (timed on its own in the same iteration).
// - BM_I2CProbeAbsent: one I2C write to an address where nothing sits, the
//   probe that the scan repeats for every empty address.
//
// TCP/IP discovery sends a multicast query on every interface but loopback,
// so this program runs only inside a network namespace of its own:
//
//   tools/netns-run --multicast BUILD/bench/bench_discover
//
// It refuses to start elsewhere. The simulator is looked up as
// ../corvantis-sim next to this program's directory, or at $CORVANTIS_SIM.
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/I2CClass.h"
#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "devlib/discover.h"
#include "updater/Updater.h"

using namespace Halvern::Corvantis;
using Clock = std::chrono::steady_clock;

namespace {

// The address of the namespace's own multicast-carrying interface
// (tools/netns-run --multicast); the simulated modules listen there.
const char kModuleListen[] = "10.99.0.1:0";
// Bounds on waiting for a simulator to print "ready".
constexpr int kSimStartMaxLines = 200;
constexpr int kSimStartTimeoutMs = 10000;
// How long a simulator may live at most, in seconds.
constexpr int kSimMaxRuntimeS = 600;
constexpr unsigned int kFirstModuleSerial = 0x51000000;
constexpr unsigned int kRouterSerial = 0x5200000A;
constexpr uint8_t kRouterAddress = 2;
// The three modules behind the router: first, middle and last of the range.
constexpr unsigned int kNetworkAddresses[] = {4, 128, 252};
// An address on the router's network where nothing sits.
constexpr uint8_t kAbsentAddress = 100;
constexpr unsigned int kScannedAddresses = (252 - 2) / 2 + 1;

double sMillis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double sMedian(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// True when every interface is loopback or a veth end of the test
// namespaces, so the multicast query cannot reach a real network.
bool sNetworkIsolated() {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool isolated = true;
    for (struct ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const std::string name = i->ifa_name;
        if (name != "lo" && name.rfind("vmcast", 0) != 0 && name.rfind("vhost", 0) != 0 &&
            name.rfind("vmod", 0) != 0)
            isolated = false;
    }
    freeifaddrs(list);
    return isolated;
}

std::string sSimPath() {
    if (const char* path = std::getenv("CORVANTIS_SIM"))
        return path;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../corvantis-sim";
}

// One corvantis-sim process running the modules of a JSON configuration,
// kept in a temporary directory of its own.
class Simulator {
public:
    explicit Simulator(const std::string& config) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp ? tmp : "/tmp") + "/bench-discover-XXXXXX";
        if (mkdtemp(&templ[0]) == nullptr)
            return;
        dir_ = templ;
        const std::string path = dir_ + "/modules.json";
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr)
            return;
        std::fputs(config.c_str(), file);
        std::fclose(file);

        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            const std::string sim = sSimPath();
            const std::string runtime = std::to_string(kSimMaxRuntimeS);
            execl(sim.c_str(), sim.c_str(), "--config", path.c_str(), "--max-runtime",
                  runtime.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
        ready_ = waitReady();
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0)
            close(fd_);
        if (!dir_.empty()) {
            std::remove((dir_ + "/modules.json").c_str());
            rmdir(dir_.c_str());
        }
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    bool ready() const { return ready_; }

private:
    // Reads the printed lines until "ready", bounded in lines and time.
    bool waitReady() {
        std::string pending;
        const Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(kSimStartTimeoutMs);
        for (int lines = 0; lines < kSimStartMaxLines;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char chunk[512];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            pending.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos; ++lines) {
                if (pending.compare(0, end, "ready") == 0)
                    return true;
                pending.erase(0, end + 1);
            }
        }
        return false;
    }

    std::string dir_;
    pid_t pid_ = -1;
    int fd_ = -1;
    bool ready_ = false;
};

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

std::string sHex(unsigned int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string sDirectModules(int count) {
    std::string json = "{\"modules\": [";
    for (int i = 0; i < count; ++i) {
        json += std::string(i ? "," : "") + "{\"serial\": \"" + sHex(kFirstModuleSerial + i) +
                "\", \"build\": " + std::to_string(1000 + i) + ", \"tcp\": \"" + kModuleListen +
                "\", \"discovery\": true}";
    }
    return json + "]}";
}

std::string sRouterWithNetwork() {
    std::string json = "{\"modules\": [{\"serial\": \"" + sHex(kRouterSerial) +
                       "\", \"address\": " + std::to_string(kRouterAddress) + ", \"tcp\": \"" +
                       kModuleListen + "\", \"discovery\": true, \"network\": [";
    bool first = true;
    for (unsigned int address : kNetworkAddresses) {
        json += std::string(first ? "" : ",") + "{\"serial\": \"" +
                sHex(kFirstModuleSerial + address) + "\", \"address\": " + std::to_string(address) +
                ", \"routerAddress\": " + std::to_string(kRouterAddress) + "}";
        first = false;
    }
    return json + "]}]}";
}

bool sCountModule(const linkSpec*, bool* taken, void* reference) {
    *taken = true;
    ++*static_cast<int*>(reference);
    return true;
}

void BM_DiscoverTCP(benchmark::State& state) {
    const int modules = static_cast<int>(state.range(0));
    Simulator sim(sDirectModules(modules));
    if (!sim.ready()) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    QuietDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
    std::vector<double> perModule, walks;
    for (auto _ : state) {
        int seen = 0;
        const Clock::time_point t0 = Clock::now();
        aDiscovery_EnumerateModules(linkTypeTCPIP, sCountModule, &seen,
                                    kDiscoveryLoopbackInterface);
        const Clock::time_point t1 = Clock::now();
        std::vector<DeviceInfo> devices = updater.Discover_Devices(linkTypeTCPIP);
        const Clock::time_point t2 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
        const bool allRead = std::all_of(devices.begin(), devices.end(), [](const DeviceInfo& d) {
            return d.error == 0 && d.build != 0;
        });
        if (seen != modules || static_cast<int>(devices.size()) != modules || !allRead) {
            state.SkipWithError("not every module was found and read");
            return;
        }
        walks.push_back(sMillis(t1 - t0));
        perModule.push_back((sMillis(t2 - t1) - sMillis(t1 - t0)) / modules);
    }
    state.counters["walk_ms"] = sMedian(walks);
    state.counters["per_module_ms"] = sMedian(perModule);
}

void BM_RouterScan(benchmark::State& state) {
    Simulator sim(sRouterWithNetwork());
    if (!sim.ready()) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    QuietDisplay display;
    Updater updater("http://127.0.0.1:1/cgi/u", "/nonexistent", display);
    std::vector<double> scans;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        linkSpec* router =
            aDiscovery_FindModule(linkTypeTCPIP, kRouterSerial, kDiscoveryLoopbackInterface);
        const Clock::time_point t1 = Clock::now();
        aLinkSpec_Destroy(&router);
        std::vector<DeviceInfo> devices =
            updater.Discover_SXNetwork_Devices(kRouterSerial, linkTypeTCPIP);
        const Clock::time_point t2 = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
        if (devices.size() != std::size(kNetworkAddresses)) {
            state.SkipWithError("the scan did not find the three modules");
            return;
        }
        scans.push_back(sMillis(t2 - t1) - sMillis(t1 - t0));
    }
    state.counters["scan_ms"] = sMedian(scans);
    state.counters["per_address_ms"] = sMedian(scans) / kScannedAddresses;
}

void BM_I2CProbeAbsent(benchmark::State& state) {
    Simulator sim(sRouterWithNetwork());
    if (!sim.ready()) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    linkSpec* where =
        aDiscovery_FindModule(linkTypeTCPIP, kRouterSerial, kDiscoveryLoopbackInterface);
    if (where == nullptr) {
        state.SkipWithError("router not discovered");
        return;
    }
    Module router(kRouterAddress, true);
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    router.setConfig(config);
    aErr err = router.connectFromSpec(*where);
    aLinkSpec_Destroy(&where);
    if (err != aErrNone) {
        state.SkipWithError("cannot connect to the router");
        return;
    }
    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(kI2CMaxSpeed);
    const uint8_t probe[2] = {0, 0};
    std::vector<double> micros;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        err = i2c.write(kAbsentAddress, sizeof probe, probe);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (err == aErrNone) {
            state.SkipWithError("the absent address answered");
            break;
        }
    }
    router.disconnect();
    state.counters["median_us"] = sMedian(micros);
}

BENCHMARK(BM_DiscoverTCP)
    ->Arg(1)
    ->Arg(4)
    ->Arg(8)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RouterScan)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_I2CProbeAbsent)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    if (!sNetworkIsolated()) {
        std::fprintf(stderr, "bench_discover sends multicast discovery queries: run it inside "
                             "tools/netns-run --multicast\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
