// TCP/IP discovery: the decoding of replies, the walk on a host with only a
// loopback interface, and (inside tools/netns-pair) the walk that finds two
// simulated modules, the search by serial number and a connection by
// discovery followed by UEI traffic.
#include "devlib/unix_discovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "devlib/discover.h"
#include "tests/support/TestSupport.h"

using namespace Halvern::Corvantis;

namespace {

TEST(TCPIPReply, DecodesEveryField) {
    const uint8_t reply[16] = {0x00, 0x02, 0x55, 0x20, 0x78, 0x56, 0x34, 0x12,
                               0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00};
    linkSpec where;
    std::memset(&where, 0xCC, sizeof(where));
    ASSERT_TRUE(
        aDiscovery_DecodeTCPIPReply(reply, sizeof(reply), inet_addr("192.168.1.20"), &where));
    EXPECT_EQ(where.type, linkTypeTCPIP);
    EXPECT_EQ(where.moduleAddress, 2u);
    EXPECT_EQ(where.port, 0x2055u);
    EXPECT_EQ(where.serialNumber, 0x12345678u);
    EXPECT_EQ(where.model, 7u);
    EXPECT_EQ(where.routerAddress, 2u);
    EXPECT_EQ(where.routerSerialNumber, 0x12345678u);
    char text[INET_ADDRSTRLEN];
    in_addr address{where.address};
    EXPECT_STREQ(inet_ntop(AF_INET, &address, text, sizeof(text)), "192.168.1.20");
    // Everything after the port is cleared.
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&where);
    for (size_t i = 32; i < sizeof(where); ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
}

TEST(TCPIPReply, ShortRepliesAreRefused) {
    const uint8_t reply[16] = {0, 2, 0x55, 0x20, 1, 2, 3, 4, 0, 0, 0, 0, 7};
    linkSpec where{};
    where.serialNumber = 99;
    for (size_t length : {size_t{0}, size_t{8}, size_t{13}, size_t{15}}) {
        EXPECT_FALSE(aDiscovery_DecodeTCPIPReply(reply, length, 0, &where)) << length;
        EXPECT_EQ(where.serialNumber, 99u);
    }
    EXPECT_FALSE(aDiscovery_DecodeTCPIPReply(nullptr, 16, 0, &where));
    EXPECT_FALSE(aDiscovery_DecodeTCPIPReply(reply, 16, 0, nullptr));
}

// The interface names of this network namespace.
std::set<std::string> interfaceNames() {
    std::set<std::string> names;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
            names.insert(entry->ifa_name);
        }
        freeifaddrs(list);
    }
    return names;
}

// Discovery sends multicast: it runs only in the namespaces the test harness
// made (loopback alone, or loopback and the host end of tools/netns-pair).
bool isolatedNamespace() {
    for (const std::string& name : interfaceNames()) {
        if (name != "lo" && name != "vhost0") {
            return false;
        }
    }
    return true;
}

struct Found {
    std::vector<linkSpec> entries;
};

bool collect(const linkSpec* where, bool* taken, void* reference) {
    static_cast<Found*>(reference)->entries.push_back(*where);
    *taken = true;
    return true;
}

TEST(TCPIPWalk, LoopbackOnlyHostSendsNoQuery) {
    if (!isolatedNamespace() || interfaceNames().count("vhost0") != 0) {
        GTEST_SKIP() << "runs only in a namespace with loopback alone (tools/netns-run)";
    }
    Found found;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(
        aDiscovery_EnumerateModules(linkTypeTCPIP, collect, &found, kDiscoveryLoopbackInterface),
        0);
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_TRUE(found.entries.empty());
    // No query went out, so the walk did not sit out the listener's time-out.
    EXPECT_LT(elapsed, std::chrono::milliseconds(kDiscoveryTCPIPReceiveTimeoutMs));
}

// The simulated modules of tools/netns-pair, read from the lines the
// simulator printed: serial number to TCP port.
class NetworkDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        const char* out = std::getenv("NETNS_PAIR_MODULE_OUT");
        if (out == nullptr) {
            if (std::getenv("UPDATER_REQUIRE_NETNS_PAIR") != nullptr) {
                FAIL() << "not started by tools/netns-pair";
            }
            GTEST_SKIP() << "runs only inside tools/netns-pair";
        }
        ASSERT_TRUE(isolatedNamespace()) << "refusing to send multicast outside the pair";
        moduleAddress = std::getenv("NETNS_PAIR_MODULE_ADDR");
        std::istringstream lines(testsupport::readFile(out));
        std::string line;
        while (std::getline(lines, line)) {
            // "tcp 10.77.0.2:40123 serial=1000AAAA"
            if (line.rfind("tcp ", 0) != 0) {
                continue;
            }
            size_t colon = line.find(':');
            size_t space = line.find(' ', colon);
            size_t serial = line.find("serial=");
            ASSERT_NE(serial, std::string::npos) << line;
            ports[std::stoul(line.substr(serial + 7, 8), nullptr, 16)] =
                static_cast<unsigned>(std::stoul(line.substr(colon + 1, space - colon - 1)));
        }
        ASSERT_EQ(ports.size(), 2u);
    }

    std::string moduleAddress;
    std::map<unsigned int, unsigned int> ports;
};

TEST_F(NetworkDiscovery, FindsBothModulesWithTheirFields) {
    Found found;
    uint8_t count =
        aDiscovery_EnumerateModules(linkTypeTCPIP, collect, &found, kDiscoveryLoopbackInterface);
    ASSERT_EQ(count, 2);
    ASSERT_EQ(found.entries.size(), 2u);
    struct Expected {
        unsigned int serial;
        unsigned int address;
        unsigned int model;
    };
    const Expected expected[] = {{0x1000AAAA, 2, 4}, {0x2000BBBB, 6, 13}};
    for (const Expected& e : expected) {
        const linkSpec* where = nullptr;
        for (const linkSpec& s : found.entries) {
            if (s.serialNumber == e.serial) {
                where = &s;
            }
        }
        ASSERT_NE(where, nullptr) << std::hex << e.serial;
        EXPECT_EQ(where->type, linkTypeTCPIP);
        EXPECT_EQ(where->moduleAddress, e.address);
        EXPECT_EQ(where->routerAddress, e.address);
        EXPECT_EQ(where->routerSerialNumber, e.serial);
        EXPECT_EQ(where->model, e.model);
        EXPECT_EQ(where->address, inet_addr(moduleAddress.c_str()));
        EXPECT_EQ(where->port, ports[e.serial]);
    }
}

bool takeFirstAndStop(const linkSpec*, bool* taken, void* reference) {
    ++*static_cast<int*>(reference);
    *taken = true;
    return false;
}

TEST_F(NetworkDiscovery, CallbackStopsTheWalk) {
    int calls = 0;
    EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, takeFirstAndStop, &calls,
                                          kDiscoveryLoopbackInterface),
              1);
    EXPECT_EQ(calls, 1);
}

TEST_F(NetworkDiscovery, FindModuleBySerialNumber) {
    linkSpec* where = aDiscovery_FindModule(linkTypeTCPIP, 0x2000BBBB, kDiscoveryLoopbackInterface);
    ASSERT_NE(where, nullptr);
    EXPECT_EQ(where->serialNumber, 0x2000BBBBu);
    EXPECT_EQ(where->moduleAddress, 6u);
    EXPECT_EQ(where->port, ports[0x2000BBBB]);
    aLinkSpec_Destroy(&where);
    EXPECT_EQ(aDiscovery_FindModule(linkTypeTCPIP, 0x0BADF00D, kDiscoveryLoopbackInterface),
              nullptr);
    where = aDiscovery_FindFirstModule(linkTypeTCPIP, kDiscoveryLoopbackInterface);
    ASSERT_NE(where, nullptr);
    EXPECT_NE(where->serialNumber, 0u);
    aLinkSpec_Destroy(&where);
}

TEST_F(NetworkDiscovery, ConnectBySerialNumberThenUEITraffic) {
    Module module(2);
    ASSERT_EQ(module.connect(linkTypeTCPIP, 0x2000BBBB), aErrNone);
    EXPECT_TRUE(module.isConnected());
    // Automatic networking adopted the module's own address.
    EXPECT_EQ(module.getModuleAddress(), 6);
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x2000BBBBu);
    uint8_t model = 0;
    ASSERT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13);
    const uint8_t name[] = "discovered over the veth pair";
    ASSERT_EQ(system.setName(name, sizeof(name)), aErrNone);
    uint8_t back[64];
    size_t length = 0;
    ASSERT_EQ(system.getName(back, sizeof(back), &length), aErrNone);
    EXPECT_EQ(length, sizeof(name));
}

TEST_F(NetworkDiscovery, ConnectByModel) {
    Link link("by model");
    ASSERT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0, 13), aErrNone);
    linkSpec where{};
    ASSERT_EQ(link.getLinkSpecifier(&where), aErrNone);
    EXPECT_EQ(where.serialNumber, 0x2000BBBBu);
    Link none("no such model");
    EXPECT_EQ(none.discoverAndConnect(linkTypeTCPIP, 0, 99), aErrNotFound);
}

} // namespace
