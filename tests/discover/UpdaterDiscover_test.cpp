// The discover command end to end: the real Updater binary (and, where a
// field never reaches the console, Updater's discovery operations in this
// process) against corvantis-sim modules that answer TCP/IP discovery on the
// namespace's own multicast interface, directly and behind a router.
//
// Every TCP/IP walk waits two seconds after the last reply, so each test
// starts one simulator process for its whole table of runs.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/UpdaterDisplayInterface.h"
#include "tests/app/RecordingDisplay.h"
#include "tests/support/TestSupport.h"
#include "updater/Updater.h"

using testsupport::BackgroundProcess;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

using Lines = std::vector<std::string>;

// The namespace's multicast-carrying interface (netns-run --multicast): the
// simulated modules listen there and discovery reports this address.
const char kModuleHost[] = "10.99.0.1";
const char kModuleListen[] = "10.99.0.1:0";
// Longest run of one Updater call: a walk (2 s after the last reply) plus a
// few one-second reply time-outs of modules that stay silent.
constexpr std::chrono::seconds kUpdaterTimeout{30};
// How long a simulator may take to print "ready", and how many lines it
// prints before it at most.
constexpr std::chrono::seconds kSimStartTimeout{10};
constexpr int kSimStartMaxLines = 100;
// A closed port on loopback: nothing in these runs asks the update server.
const char kNoServer[] = "http://127.0.0.1:1/cgi/u";

const std::string kVersionLine = "Updater (Version: 2.11.2 Apr 29 2025)";
const std::string kHeaderWithAddress =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]";

Lines sSplitLines(const std::string& text) {
    Lines lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

Lines sSorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

// One corvantis-sim process running the modules of a JSON configuration,
// with its state dump in the test's temporary directory.
class Simulator {
public:
    Simulator(const TempDir& tmp, nlohmann::json config) : statePath_(tmp.file("sim-state.json")) {
        config["state"] = statePath_;
        config["log"] = tmp.file("sim-packets.log");
        const std::string path = tmp.file("sim.json");
        testsupport::writeFile(path, config.dump(2));
        process_.reset(new BackgroundProcess(
            {testsupport::buildPath("corvantis-sim"), "--config", path, "--max-runtime", "300"}));
        std::string line;
        for (int i = 0; i < kSimStartMaxLines && process_->readLine(line, kSimStartTimeout); ++i) {
            if (line == "ready") {
                ready_ = true;
                break;
            }
        }
    }
    bool ready() const { return ready_; }
    // Stops the simulator and returns the state it dumped at exit.
    nlohmann::json stopAndReadState() {
        process_->stop();
        return nlohmann::json::parse(testsupport::readFile(statePath_), nullptr, false);
    }

private:
    std::string statePath_;
    std::unique_ptr<BackgroundProcess> process_;
    bool ready_ = false;
};

nlohmann::json sTcpModule(const std::string& serial) {
    return {{"serial", serial}, {"tcp", kModuleListen}, {"discovery", true}};
}

ProcessResult sRunUpdater(const TempDir& tmp, const Lines& args) {
    Lines argv = {testsupport::buildPath("Updater"), "-i", tmp.file("store"), "-u", kNoServer};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.timeout = kUpdaterTimeout;
    return testsupport::runProcess(argv, options);
}

std::string sJoin(const Lines& args) {
    std::string text;
    for (const std::string& a : args)
        text += (text.empty() ? "" : " ") + a;
    return text;
}

// ---------------------------------------------------------------------------
// Modules reached directly over TCP/IP.

// Each module shows one behaviour of the listing; the expected row follows
// the discovery reply (module address) where the module's own queries fail.
nlohmann::json sDirectModules() {
    nlohmann::json plain = sTcpModule("11111111");
    nlohmann::json other = sTcpModule("22222222");
    other["model"] = 5;
    other["address"] = 4;
    other["routerAddress"] = 2;
    other["version"] = "0x2F030107";
    other["build"] = 1234;
    // The build query answered with 3 data bytes (49 FF 00).
    nlohmann::json shortBuild = sTcpModule("33333333");
    shortBuild["build"] = 777;
    shortBuild["faults"] = {{"buildReplyBytes", 3}};
    // With 7 data bytes, whose four after 49 FF hold the build: too long is
    // as wrong as too short.
    nlohmann::json longBuild = sTcpModule("44444444");
    longBuild["build"] = 777;
    longBuild["faults"] = {{"buildReplyBytes", 7}};
    // A stale reply of the wrong length (49 FF 00) arrives before the real
    // one: the first reply is the answer, and it is too short.
    nlohmann::json staleBuild = sTcpModule("88888888");
    staleBuild["build"] = 777;
    staleBuild["faults"] = {{"garbage", "020349FF00"}};
    // The version query fails: the build was read before it, and module and
    // router address stay those of the discovery reply.
    nlohmann::json noVersion = sTcpModule("55555555");
    noVersion["address"] = 6;
    noVersion["routerAddress"] = 2;
    noVersion["build"] = 555;
    noVersion["faults"] = {{"errors", {{{"cmd", 3}, {"option", 7}, {"code", 21}}}}};
    // The router-address query fails after version and module address.
    nlohmann::json noRouter = sTcpModule("66666666");
    noRouter["address"] = 8;
    noRouter["routerAddress"] = 2;
    noRouter["faults"] = {{"errors", {{{"cmd", 3}, {"option", 2}, {"code", 23}}}}};
    // Answers discovery and then nothing more on its link.
    nlohmann::json silent = sTcpModule("77777777");
    silent["build"] = 700;
    silent["faults"] = {{"silentAfter", 1}};
    return {{"modules",
             {plain, other, shortBuild, longBuild, staleBuild, noVersion, noRouter, silent}}};
}

const Lines kDirectRows = {
    "    11111111  02       02      CV-USB1        2.11.5 (1000) [10.99.0.1]",
    "    22222222  04       02      CV-NET1        3.1.7 (1234) [10.99.0.1]",
    "    33333333  02       02      CV-USB1        2.11.5 (0) [10.99.0.1]",
    "    44444444  02       02      CV-USB1        2.11.5 (0) [10.99.0.1]",
    "    88888888  02       02      CV-USB1        2.11.5 (0) [10.99.0.1]",
    // TCP/IP entries keep their row whatever their error code.
    "    55555555  06       06      CV-USB1        0.0.0 (555) [10.99.0.1]",
    "    66666666  08       08      CV-USB1        2.11.5 (1000) [10.99.0.1]",
    "    77777777  02       02      CV-USB1        0.0.0 (0) [10.99.0.1]",
};

struct ListingCase {
    const char* name;
    Lines args;
    Lines head; // the lines up to the header, in order
    Lines rows; // the module rows, in any order (the order replies arrive)
};

TEST(UpdaterDiscoverTCP, ListsTheModulesOfTheChosenTransport) {
    TempDir tmp;
    Simulator sim(tmp, sDirectModules());
    ASSERT_TRUE(sim.ready());

    const ListingCase cases[] = {
        {"tcp",
         {"-D", "-t", "TCP"},
         {kVersionLine, "Searching for Corvantis devices", "Discovered Devices: (TCPIP)",
          kHeaderWithAddress},
         kDirectRows},
        // Without -t only USB is searched, and nothing is attached there.
        {"default_usb",
         {"-D"},
         {kVersionLine, "Searching for Corvantis devices", "Discovered Devices: (USB)",
          "    No devices found."},
         {}},
    };
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult r = sRunUpdater(tmp, c.args);
        ASSERT_FALSE(r.timedOut) << sJoin(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        Lines out = sSplitLines(r.out);
        ASSERT_GE(out.size(), c.head.size()) << r.out;
        EXPECT_EQ(Lines(out.begin(), out.begin() + c.head.size()), c.head) << r.out;
        EXPECT_EQ(sSorted(Lines(out.begin() + c.head.size(), out.end())), sSorted(c.rows)) << r.out;
    }
}

// What the console does not show: the error codes and the fields of each
// entry. Discover_Devices(0) searches USB and then TCP/IP.
TEST(UpdaterDiscoverTCP, RecordsTheFirstFailedQueryOfEachModule) {
    TempDir tmp;
    Simulator sim(tmp, sDirectModules());
    ASSERT_TRUE(sim.ready());
    RecordingDisplay display;
    Updater updater(kNoServer, tmp.file("store").c_str(), display);
    std::vector<DeviceInfo> devices = updater.Discover_Devices(linkTypeInvalid);
    EXPECT_TRUE(display.lines.empty());

    struct Expected {
        unsigned int serial;
        uint32_t build;
        uint8_t major;
        uint32_t patch;
        uint32_t moduleAddress;
        uint32_t routerAddress;
        bool failed;    // a nonzero error
        uint32_t error; // when known: the module's own code
    };
    const Expected expected[] = {
        {0x11111111, 1000, 2, 5, 2, 2, false, 0}, {0x22222222, 1234, 3, 7, 4, 2, false, 0},
        {0x33333333, 0, 2, 5, 2, 2, false, 0},    {0x44444444, 0, 2, 5, 2, 2, false, 0},
        {0x88888888, 0, 2, 5, 2, 2, false, 0},    {0x55555555, 555, 0, 0, 6, 6, true, 21},
        {0x66666666, 1000, 2, 5, 8, 8, true, 23}, {0x77777777, 0, 0, 0, 2, 2, true, 0},
    };
    ASSERT_EQ(devices.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.serial);
        auto it = std::find_if(devices.begin(), devices.end(),
                               [&](const DeviceInfo& d) { return d.serialNumber == e.serial; });
        ASSERT_NE(it, devices.end());
        EXPECT_EQ(it->type, linkTypeTCPIP);
        EXPECT_EQ(it->address, inet_addr(kModuleHost));
        EXPECT_NE(it->port, 0u);
        EXPECT_EQ(it->networkAddress, 0);
        EXPECT_EQ(it->build, e.build);
        EXPECT_EQ(it->versionMajor, e.major);
        EXPECT_EQ(it->versionPatch, e.patch);
        EXPECT_EQ(it->moduleAddress, e.moduleAddress);
        EXPECT_EQ(it->routerAddress, e.routerAddress);
        EXPECT_EQ(it->modelName, e.serial == 0x22222222 ? "CV-NET1" : "CV-USB1");
        if (e.failed) {
            EXPECT_NE(it->error, 0u);
        } else {
            EXPECT_EQ(it->error, 0u);
        }
        if (e.error != 0) {
            EXPECT_EQ(it->error, e.error);
        }
    }
}

// ---------------------------------------------------------------------------
// Modules behind a router.

constexpr unsigned int kRouterSerial = 0x5000000A;
// The router's own address lies inside the scanned range, and it
// acknowledges I2C there: were it probed, it would answer as a module.
constexpr int kRouterAddress = 10;
// An address that acknowledges the I2C probe but holds no module.
constexpr int kEmptyAcknowledging = 20;

nlohmann::json sNetworkModule(const std::string& serial, int address, int build) {
    return {{"serial", serial},
            {"address", address},
            {"routerAddress", kRouterAddress},
            {"build", build}};
}

nlohmann::json sRouterNetwork() {
    nlohmann::json router = sTcpModule("5000000A");
    router["model"] = 0x14;
    router["address"] = kRouterAddress;
    router["i2c"] = {kRouterAddress, kEmptyAcknowledging};
    nlohmann::json first = sNetworkModule("60000004", 4, 1111);
    nlohmann::json noVersion = sNetworkModule("60000030", 0x30, 3000);
    noVersion["faults"] = {{"errors", {{{"cmd", 3}, {"option", 7}, {"code", 21}}}}};
    nlohmann::json noModel = sNetworkModule("60000040", 0x40, 4000);
    noModel["faults"] = {{"errors", {{{"cmd", 3}, {"option", 8}, {"code", 22}}}}};
    nlohmann::json other = sNetworkModule("60000080", 0x80, 2222);
    other["model"] = 5;
    other["version"] = "0x2F030107";
    nlohmann::json last = sNetworkModule("600000FC", 252, 3333);
    // Address 254 is outside the scan.
    nlohmann::json beyond = sNetworkModule("600000FE", 254, 5555);
    router["network"] = {first, noVersion, noModel, other, last, beyond};
    return {{"modules", {router}}};
}

const Lines kRouterRows = {
    "    60000004  04       0A      CV-USB1        2.11.5 (1111) [10.99.0.1]",
    // The version query failed: the addresses are not the module's own.
    "    60000030  00       0A      CV-USB1        0.0.0 (3000) [10.99.0.1]",
    "    60000040  40       0A      Unknown        2.11.5 (4000) [10.99.0.1]",
    "    60000080  80       0A      CV-NET1        3.1.7 (2222) [10.99.0.1]",
    "    600000FC  FC       0A      CV-USB1        2.11.5 (3333) [10.99.0.1]",
};

TEST(UpdaterDiscoverRouter, ListsTheModulesBehindTheRouter) {
    TempDir tmp;
    Simulator sim(tmp, sRouterNetwork());
    ASSERT_TRUE(sim.ready());
    const std::string searching = "Searching for Corvantis Network devices connected to ";

    struct Case {
        const char* name;
        Lines args;
        Lines out;
    };
    Lines tcpListing = {kVersionLine, searching + "5000000A", "Discovered Devices: (TCPIP)",
                        kHeaderWithAddress};
    tcpListing.insert(tcpListing.end(), kRouterRows.begin(), kRouterRows.end());
    // Without -t the router's link type is searched for (USB, then TCP/IP);
    // the heading names no transport.
    Lines anyListing = {kVersionLine, searching + "5000000A", "Discovered Devices: (Unknown)",
                        kHeaderWithAddress};
    anyListing.insert(anyListing.end(), kRouterRows.begin(), kRouterRows.end());
    const Case cases[] = {
        {"router_tcp", {"-D", "-r", "5000000A", "-t", "TCP"}, tcpListing},
        {"router_any", {"-D", "-r", "0x5000000A"}, anyListing},
        {"router_nowhere_tcp",
         {"-D", "-r", "12345678", "-t", "TCPIP"},
         {kVersionLine, searching + "12345678", "Discovered Devices: (TCPIP)",
          "    No devices found."}},
        {"router_nowhere",
         {"-D", "-r", "12345678"},
         {kVersionLine, searching + "12345678", "Discovered Devices: (Unknown)",
          "    No devices found."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessResult r = sRunUpdater(tmp, c.args);
        ASSERT_FALSE(r.timedOut) << sJoin(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(sSplitLines(r.out), c.out) << r.out;
    }

    // Each scan switched routing on and off again, and only the scans that
    // found the router touched it.
    nlohmann::json state = sim.stopAndReadState();
    ASSERT_FALSE(state.is_discarded());
    EXPECT_EQ(state["modules"][0]["routeToMeHistory"], nlohmann::json({1, 0, 1, 0}));
}

// Which addresses the scan probes, from its debug lines: every even address
// from 2 to 252 but the router's own, in ascending order; and only those
// that acknowledge are connected.
TEST(UpdaterDiscoverRouter, ProbesEveryEvenAddressButTheRoutersOwn) {
    TempDir tmp;
    Simulator sim(tmp, sRouterNetwork());
    ASSERT_TRUE(sim.ready());
    ProcessResult r = sRunUpdater(tmp, {"-D", "-r", "5000000A", "-t", "TCP", "-X", "0x1"});
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 0);

    Lines searched, attempted, serials;
    for (const std::string& line : sSplitLines(r.err)) {
        char text[16];
        unsigned int value = 0;
        // "Found Link Module" has no line break of its own.
        const std::string tail = line.rfind("Found Link Module", 0) == 0 ? line.substr(17) : line;
        if (sscanf(tail.c_str(), "Searching Address 0x%x", &value) == 1) {
            snprintf(text, sizeof text, "%02X", value);
            searched.push_back(text);
        } else if (sscanf(tail.c_str(), "Attempt Connect on address: 0x%x", &value) == 1) {
            snprintf(text, sizeof text, "%02X", value);
            attempted.push_back(text);
        } else if (sscanf(tail.c_str(), "Got Serial [0x%x]", &value) == 1) {
            snprintf(text, sizeof text, "%08X", value);
            serials.push_back(text);
        }
    }
    Lines expectedSearched;
    for (int address = 2; address <= 252; address += 2) {
        if (address == kRouterAddress)
            continue;
        char text[16];
        snprintf(text, sizeof text, "%02X", address);
        expectedSearched.push_back(text);
    }
    EXPECT_EQ(searched, expectedSearched);
    EXPECT_EQ(attempted, Lines({"04", "14", "30", "40", "80", "FC"}));
    EXPECT_EQ(serials, Lines({"60000004", "60000030", "60000040", "60000080", "600000FC"}));
    EXPECT_NE(r.err.find("Found Link Module"), std::string::npos);
}

// The fields of the entries behind a TCP/IP router: the router's link
// settings, the address each answered at, and the queries' results.
TEST(UpdaterDiscoverRouter, EntriesCarryTheRouterAndTheirNetworkAddress) {
    TempDir tmp;
    Simulator sim(tmp, sRouterNetwork());
    ASSERT_TRUE(sim.ready());
    RecordingDisplay display;
    Updater updater(kNoServer, tmp.file("store").c_str(), display);
    std::vector<DeviceInfo> devices =
        updater.Discover_SXNetwork_Devices(kRouterSerial, linkTypeTCPIP);
    EXPECT_TRUE(display.lines.empty());

    struct Expected {
        unsigned int serial;
        uint16_t networkAddress;
        uint32_t moduleAddress;
        uint32_t model;
        uint32_t error;
    };
    const Expected expected[] = {
        {0x60000004, 4, 4, 4, 0},        {0x60000030, 0x30, 0, 4, 21},
        {0x60000040, 0x40, 0x40, 0, 22}, {0x60000080, 0x80, 0x80, 5, 0},
        {0x600000FC, 252, 252, 4, 0},
    };
    ASSERT_EQ(devices.size(), std::size(expected));
    uint32_t routerPort = devices[0].port;
    EXPECT_NE(routerPort, 0u);
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceInfo& d = devices[i];
        const Expected& e = expected[i];
        SCOPED_TRACE(e.serial);
        EXPECT_EQ(d.serialNumber, e.serial);
        EXPECT_EQ(d.type, linkTypeTCPIP);
        EXPECT_EQ(d.networkAddress, e.networkAddress);
        EXPECT_EQ(d.moduleAddress, e.moduleAddress);
        EXPECT_EQ(d.routerAddress, static_cast<uint32_t>(kRouterAddress));
        EXPECT_EQ(d.routerSerialNumber, kRouterSerial);
        EXPECT_EQ(d.model, e.model);
        EXPECT_EQ(d.error, e.error);
        EXPECT_EQ(d.address, inet_addr(kModuleHost));
        EXPECT_EQ(d.port, routerPort);
    }
}

} // namespace
