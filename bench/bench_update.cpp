// Time to transfer a 256 KiB firmware block into corvantis-sim with the
// upgrade entity (TransferPrepare and FirmwareTransfer, as the update flow
// drives them), over TCP on loopback and over the emulated USB bus: with
// data packets, with UEI byte arrays, and with UEI byte arrays plus pooled
// packets. Each case also reports its protocol floor and the ratio of the
// measured time to it.
//
// How the floor is computed, and why it is a lower bound
// -------------------------------------------------------
// The upgrade protocol is strictly one request, one reply: the host sends
// nothing before the reply to its previous request has arrived. A transfer
// of a block in chunks of the block size B that the prepare reply gives
// therefore needs, per chunk, these round trips:
//   packets:    ceil(n / 26) data packets, each acknowledged, + sum + write
//   UEI arrays: 1 UEI set (ceil(n / 24) packets one way, then one reply)
//               + sum + write
// plus one prepare for the block (n is the chunk's length). No
// implementation of the protocol can do with fewer; they are counted
// exactly from B and the image size, not measured.
//
// The round trip is measured on the same link in the same run with the
// cheapest exchange of the protocol: a write of 0 bytes (5F 05 00 00, reply
// 5F 07 00), sent and awaited through the same entity calls the transfer
// uses (EntityClass::sendPacket and receivePacket). Its reply has the fewest
// bytes of any reply in the transfer (data counts, set and write replies
// are as long; sum and prepare replies are longer, and the link reads
// replies byte by byte), and its request, like every single request of the
// transfer, leaves in one transport write (one send, or one bulk transfer
// of at most the endpoint's packet size), so no round trip of the transfer
// costs less. Measured: a data-packet round trip costs the same within
// noise, a sum round trip a few microseconds more.
// A write of 0 bytes at a chunk boundary writes nothing and only clears the
// module's (empty) block buffer, so the probes do not disturb the transfer.
//
// For the UEI cases a data round trip also carries ceil(n / 24) - 1 more
// packets one way. Their cost is measured on the same link too: the
// difference between the median time of a UEI set of one full chunk (one
// packet) and of a whole block of B bytes, divided by the extra packets.
// That is what the extra packets cost on this link (one transport write
// each without pooling; with pooling one write for all of them, which USB
// still splits into bulk transfers of the endpoint's packet size); the
// difference takes out the round trip that is already counted.
//
//   floor = round trips x median round trip
//         + extra one-way packets x median cost of one extra packet
//
// Medians, not means: latency on a loaded machine is skewed to the slow
// side (preemption, wake-up delays), so the mean cost of an exchange, which
// is what the transfer's total is made of, is at least its median. The
// probes are taken before every timed transfer and after the last one, so
// the floor sees the same machine load as the transfers: the round trip on
// loopback moves between about 40 and 100 us from one moment to the next on
// a shared machine, and a probe taken only once, at another moment, can put
// the floor above the transfer it is meant to bound.
//
// Each timed transfer gets its own floor, from the probe phases just before
// and just after it, and its own ratio of time to floor.
//
// Counters per case: round_trips, extra_packets, rtt_us (median round trip)
// and extra_pkt_us (median cost of one extra packet) over all probes of the
// case; floor_ms and ratio, the medians of the transfers' floors and
// ratios (of two, the larger); worst_ratio, the largest ratio. The goal is
// ratio <= 1.3.
//
// Run it from the build tree inside a network namespace:
//   tools/netns-run BUILD/bench/bench_update [--benchmark_filter=TCP]
// When a USB case is selected the program starts itself again under the
// umockdev preload, as bench_usb does; the TCP cases run either way. Every
// case starts its own simulator (bench/SimProcess.h) and stops it again.
#include <arpa/inet.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "bench/SimProcess.h"
#include "devlib/Entity.h"
#include "devlib/Link.h"
#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "devlib/aProtocol.h"
#include "devlib/aUEI.h"
#include "devlib/sxusb_driver.h"
#include "updater/UpdaterEntity.h"

using namespace Halvern::Corvantis;

namespace {

constexpr unsigned int kImageBytes = 256 * 1024;
constexpr unsigned int kSimSerial = 0x40F5849A;
constexpr uint8_t kModuleAddress = 2;
// Probe rounds before each timed transfer and after the last one.
constexpr int kProbeRoundsPerPhase = 60;
// Timed transfers per case; a USB transfer with packets takes seconds.
constexpr int kTransfersTCP = 3;
constexpr int kTransfersUSBPackets = 2;
constexpr int kTransfersUSB = 3;
constexpr const char* kPreload = "libumockdev-preload.so.0";

enum class Transport { TCP, USB };

struct Case {
    Transport transport;
    bool ueiData;
    bool pooled;
};

class QuietDisplay final : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

std::string simConfig(const Case& c) {
    std::string json = "{\"serial\":\"40F5849A\",\"model\":21,";
    json += c.transport == Transport::USB ? "\"usb\":true," : "\"tcp\":\"127.0.0.1:0\",";
    json += std::string("\"pooled\":") + (c.pooled ? "true" : "false");
    json += std::string(",\"upgrade\":{\"flashSize\":1048576,\"ueiData\":") +
            (c.ueiData ? "true" : "false") + "}}";
    return json;
}

bool underPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

// Points this process's libusb at a simulator's emulated bus for as long as
// it lives; afterwards the libusb context is released, so that the next
// case's bus is enumerated afresh.
class UsbBusScope {
public:
    explicit UsbBusScope(const std::string& umockdevDir) {
        setenv("UMOCKDEV_DIR", umockdevDir.c_str(), 1);
    }
    ~UsbBusScope() {
        Corvantis_libusb_exit();
        unsetenv("UMOCKDEV_DIR");
    }
    UsbBusScope(const UsbBusScope&) = delete;
    UsbBusScope& operator=(const UsbBusScope&) = delete;
};

double micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Times the cheap exchanges the floor is made of (see the file comment).
class Probes {
public:
    Probes(Module& module, bool ueiData, unsigned blockSize)
        : ueiData_(ueiData), block_(blockSize, 0x5A) {
        upgrade_.init(&module, cmdUPGRADE, 0);
    }

    // One phase of probe rounds, kept apart from the other phases. Call it
    // only at a chunk boundary (no data sent since the last write or
    // prepare). False when an exchange failed.
    bool phase() {
        phases_.emplace_back();
        Samples& now = phases_.back();
        for (int i = 0; i < kProbeRoundsPerPhase; ++i) {
            if (ueiData_ && !timedSet(ueiBYTES_CHUNK, now.onePacketSet))
                return false;
            if (!timedWriteNothing(now.roundTrips))
                return false;
            if (ueiData_ && !timedSet(block_.size(), now.blockSet))
                return false;
            if (!timedWriteNothing(now.roundTrips))
                return false;
        }
        return true;
    }

    size_t phases() const { return phases_.size(); }
    // Median round trip over the phases first..last (inclusive).
    double roundTripUs(size_t first, size_t last) const {
        return median(collect(first, last, &Samples::roundTrips));
    }
    // Median cost of one packet beyond the first in a UEI set of a block,
    // over the phases first..last.
    double extraPacketUs(size_t first, size_t last) const {
        const size_t packets = (block_.size() + ueiBYTES_CHUNK - 1) / ueiBYTES_CHUNK;
        if (!ueiData_ || packets < 2)
            return 0;
        const double block = median(collect(first, last, &Samples::blockSet));
        const double one = median(collect(first, last, &Samples::onePacketSet));
        return std::max(0.0, (block - one) / static_cast<double>(packets - 1));
    }

private:
    struct Samples {
        std::vector<double> roundTrips;
        std::vector<double> onePacketSet;
        std::vector<double> blockSet;
    };

    std::vector<double> collect(size_t first, size_t last,
                                std::vector<double> Samples::*which) const {
        std::vector<double> all;
        for (size_t i = first; i <= last && i < phases_.size(); ++i)
            all.insert(all.end(), (phases_[i].*which).begin(), (phases_[i].*which).end());
        return all;
    }

    // { val_UPGRADE_WRITE, length[2] = 0 }: writes nothing, answers 5F 07 00.
    bool timedWriteNothing(std::vector<double>& into) {
        const uint8_t request[] = {val_UPGRADE_WRITE, 0, 0};
        const uint8_t match[] = {cmdUPGRADE, val_UPGRADE_STATUS};
        uint8_t length = sizeof match;
        uint8_t reply[aPACKET_MAXDATA] = {};
        const auto begin = std::chrono::steady_clock::now();
        if (upgrade_.sendPacket(cmdUPGRADE, sizeof request, request) != aErrNone ||
            upgrade_.receivePacket(match, &length, reply) != aErrNone)
            return false;
        into.push_back(micros(std::chrono::steady_clock::now() - begin));
        return length > 2 && reply[2] == 0;
    }

    // A UEI set of option 10 with `bytes` bytes, as the transfer sends a
    // chunk; the following write of nothing empties the block buffer again.
    bool timedSet(size_t bytes, std::vector<double>& into) {
        const auto begin = std::chrono::steady_clock::now();
        if (upgrade_.setUEIBytes(val_UPGRADE_DATA_UEI, block_.data(), bytes) != aErrNone)
            return false;
        into.push_back(micros(std::chrono::steady_clock::now() - begin));
        return true;
    }

    bool ueiData_;
    std::vector<uint8_t> block_;
    EntityClass upgrade_;
    std::vector<Samples> phases_;
};

// What the protocol needs for one transfer of `image` bytes in chunks of
// `blockSize` (see the file comment).
struct Needs {
    double roundTrips = 1; // the prepare
    double extraPackets = 0;
};

Needs protocolNeeds(unsigned image, unsigned blockSize, bool ueiData) {
    Needs needs;
    for (unsigned offset = 0; offset < image; offset += blockSize) {
        const unsigned n = std::min(blockSize, image - offset);
        const unsigned dataPackets = ueiData
                                         ? (n + ueiBYTES_CHUNK - 1) / ueiBYTES_CHUNK
                                         : (n + kUpgradeDataPerPacket - 1) / kUpgradeDataPerPacket;
        needs.roundTrips += (ueiData ? 1 : dataPackets) + 2; // data, sum, write
        if (ueiData)
            needs.extraPackets += dataPackets - 1;
    }
    return needs;
}

linkSpec tcpLink(unsigned port) {
    linkSpec where{};
    where.type = linkTypeTCPIP;
    where.serialNumber = kSimSerial;
    where.address = inet_addr("127.0.0.1");
    where.port = port;
    return where;
}

linkSpec usbLink() {
    linkSpec where{};
    where.type = linkTypeUSB;
    where.serialNumber = kSimSerial;
    where.address = kSimSerial;
    return where;
}

// Connects as the update flow does: directly, without a link server.
aErr connectModule(Module& module, const linkSpec& where) {
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    aErr err = module.setConfig(config);
    return err != aErrNone ? err : module.connectFromSpec(where);
}

// The transfers of one case, on a module that is already connected.
void measure(benchmark::State& state, Module& module, const Case& c) {
    QuietDisplay display;
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    if (c.ueiData && entity.CheckUEIDataSupport() != aErrNone) {
        state.SkipWithError("the module does not take UEI byte arrays");
        return;
    }
    if (c.pooled) {
        SystemClass system;
        system.init(&module, 0);
        uint32_t features = 0;
        if (system.getProtocolFeatures(&features) != aErrNone ||
            !(features & kProtocolFeaturePooledPackets) ||
            entity.CheckPooledPacketsSupport() != aErrNone) {
            state.SkipWithError("pooled packets are not on");
            return;
        }
    }
    std::vector<unsigned char> block(4 + kImageBytes); // load address 0, then the image
    for (size_t i = 4; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 7);
    unsigned short blockSize = 0;
    if (entity.TransferPrepare(block.data(), block.size(), 0, blockSize) != aErrNone ||
        blockSize == 0) {
        state.SkipWithError("the prepare failed");
        return;
    }
    Probes probes(module, c.ueiData, blockSize);
    std::vector<double> transferMs;
    for (auto _ : state) {
        if (!probes.phase()) {
            state.SkipWithError("a probe exchange failed");
            return;
        }
        const auto begin = std::chrono::steady_clock::now();
        const bool ok =
            entity.TransferPrepare(block.data(), block.size(), 0, blockSize) == aErrNone &&
            entity.FirmwareTransfer(block.data(), block.size(), blockSize, display) == aErrNone;
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (!ok) {
            state.SkipWithError("the transfer failed");
            return;
        }
        state.SetIterationTime(took);
        transferMs.push_back(took * 1000.0);
    }
    if (transferMs.empty() || !probes.phase()) {
        state.SkipWithError("a probe exchange failed");
        return;
    }
    // Each transfer is set against the floor of the probe phases just before
    // and just after it, so that both saw the same moment of the machine.
    const Needs needs = protocolNeeds(kImageBytes, blockSize, c.ueiData);
    auto floorMs = [&](size_t first, size_t last) {
        return (needs.roundTrips * probes.roundTripUs(first, last) +
                needs.extraPackets * probes.extraPacketUs(first, last)) /
               1000.0;
    };
    std::vector<double> floors, ratios;
    for (size_t i = 0; i < transferMs.size(); ++i) {
        floors.push_back(floorMs(i, i + 1));
        ratios.push_back(floors.back() > 0 ? transferMs[i] / floors.back() : 0);
    }
    const size_t last = probes.phases() - 1;
    state.counters["round_trips"] = needs.roundTrips;
    state.counters["extra_packets"] = needs.extraPackets;
    state.counters["rtt_us"] = probes.roundTripUs(0, last);
    state.counters["extra_pkt_us"] = probes.extraPacketUs(0, last);
    state.counters["floor_ms"] = median(floors);
    state.counters["ratio"] = median(ratios);
    state.counters["worst_ratio"] = *std::max_element(ratios.begin(), ratios.end());
}

void runCase(benchmark::State& state, const Case& c) {
    if (c.transport == Transport::USB && !underPreload()) {
        state.SkipWithError("USB cases need the umockdev preload (run the program directly)");
        return;
    }
    benchsim::SimProcess sim({}, simConfig(c));
    if (!sim.ready() || (c.transport == Transport::TCP && sim.tcpPort() == 0) ||
        (c.transport == Transport::USB && sim.usbEnvironment().empty())) {
        state.SkipWithError("corvantis-sim did not start");
        return;
    }
    if (c.transport == Transport::TCP) {
        Module module(kModuleAddress);
        if (connectModule(module, tcpLink(sim.tcpPort())) != aErrNone) {
            state.SkipWithError("cannot connect to corvantis-sim over TCP");
            return;
        }
        measure(state, module, c);
        return;
    }
    UsbBusScope bus(sim.usbEnvironment()); // outlives the module and its link
    Module module(kModuleAddress);
    if (connectModule(module, usbLink()) != aErrNone) {
        state.SkipWithError("cannot connect to corvantis-sim over USB");
        return;
    }
    measure(state, module, c);
}

void BM_UpdateTCPPackets(benchmark::State& state) {
    runCase(state, {Transport::TCP, false, false});
}
void BM_UpdateTCPUEIBytes(benchmark::State& state) {
    runCase(state, {Transport::TCP, true, false});
}
void BM_UpdateTCPUEIBytesPooled(benchmark::State& state) {
    runCase(state, {Transport::TCP, true, true});
}
void BM_UpdateUSBPackets(benchmark::State& state) {
    runCase(state, {Transport::USB, false, false});
}
void BM_UpdateUSBUEIBytes(benchmark::State& state) {
    runCase(state, {Transport::USB, true, false});
}
void BM_UpdateUSBUEIBytesPooled(benchmark::State& state) {
    runCase(state, {Transport::USB, true, true});
}

// Registered by hand, so that main can tell from the filter whether a USB
// case will run.
struct Registration {
    const char* name;
    void (*function)(benchmark::State&);
    int transfers;
    bool usb;
};

const Registration kCases[] = {
    {"BM_UpdateTCPPackets", BM_UpdateTCPPackets, kTransfersTCP, false},
    {"BM_UpdateTCPUEIBytes", BM_UpdateTCPUEIBytes, kTransfersTCP, false},
    {"BM_UpdateTCPUEIBytesPooled", BM_UpdateTCPUEIBytesPooled, kTransfersTCP, false},
    {"BM_UpdateUSBPackets", BM_UpdateUSBPackets, kTransfersUSBPackets, true},
    {"BM_UpdateUSBUEIBytes", BM_UpdateUSBUEIBytes, kTransfersUSB, true},
    {"BM_UpdateUSBUEIBytesPooled", BM_UpdateUSBUEIBytesPooled, kTransfersUSB, true},
};

void registerCases() {
    for (const Registration& r : kCases) {
        benchmark::RegisterBenchmark(r.name, r.function)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(r.transfers)
            ->UseManualTime();
    }
}

// The name under which the library matches a case against the filter.
std::string fullName(const Registration& r) {
    return std::string(r.name) + "/iterations:" + std::to_string(r.transfers) + "/manual_time";
}

// Whether the filter (a regular expression, negated by a leading '-', as
// the benchmark library reads it) selects a USB case.
bool usbSelected(std::string filter) {
    bool negative = false;
    if (!filter.empty() && filter[0] == '-') {
        negative = true;
        filter.erase(0, 1);
    }
    if (filter.empty() || filter == "all")
        filter = ".";
    try {
        const std::regex re(filter, std::regex::extended);
        for (const Registration& r : kCases) {
            if (r.usb && std::regex_search(fullName(r), re) != negative)
                return true;
        }
        return false;
    } catch (const std::regex_error&) {
        return false; // the library reports the bad filter itself
    }
}

} // namespace

int main(int argc, char** argv) {
    // Initialize takes its flags out of argv; keep them for the restart.
    std::vector<char*> original(argv, argv + argc);
    original.push_back(nullptr);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (usbSelected(benchmark::GetBenchmarkFilter()) && !underPreload()) {
        const char* old = std::getenv("LD_PRELOAD");
        const std::string preload =
            std::string(kPreload) + (old && *old ? ":" : "") + (old ? old : "");
        setenv("LD_PRELOAD", preload.c_str(), 1);
        // Sanitizer builds: the preload comes before their runtime, and the
        // leak checker cannot work under it.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan && *asan ? asan : "") +
                                    (asan && *asan ? ":" : "") +
                                    "verify_asan_link_order=0:detect_leaks=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execv("/proc/self/exe", original.data());
        std::perror("bench_update: cannot start again under the umockdev preload");
        return 1;
    }
    registerCases();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
