// The link object against corvantis-sim over TCP on loopback and over a
// pseudo-terminal: connection rules, the module-address query, UEI and raw
// packets, store slots, factory data and time-outs.
#include "devlib/Link.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <numeric>
#include <sstream>
#include <vector>

#include "devlib/aLink.h"
#include "tests/devlib_module/SimModule.h"

using namespace Halvern::Corvantis;
using simtest::SimModule;
using simtest::Transport;

namespace {

constexpr uint8_t kAddress = 2;

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

long msSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// The packets the simulator received, as "len data" pairs in hexadecimal
// (from its packet log, lines "rx ... addr=02 len=3 data=034720 ...").
std::vector<std::string> received(const std::string& logPath, const std::string& prefix) {
    std::vector<std::string> packets;
    std::istringstream lines(testsupport::readFile(logPath));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("rx ", 0) != 0) {
            continue;
        }
        size_t data = line.find("data=");
        if (data == std::string::npos) {
            continue;
        }
        std::string bytes = line.substr(data + 5, line.find(' ', data) - data - 5);
        for (char& c : bytes) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (bytes.rfind(prefix, 0) == 0) {
            packets.push_back(bytes);
        }
    }
    return packets;
}

// A simulator with one store of two slots and some factory data.
const char* kStoreConfig = R"({
  "serial": "40F5849A",
  "stores": [{"store": 0, "slots": [{"capacity": 1024, "data": "hex:0102"}, {"capacity": 64}]}],
  "factory": {"0": "hex:DEADBEEF", "1": "calibration"},
  "factoryCapacity": 512
})";

class LinkTest : public ::testing::TestWithParam<Transport> {
protected:
    // Starts the simulator with the transport's flags and `extra`, and
    // connects `link` to it.
    void start(std::vector<std::string> extra = {}, bool withStores = false) {
        std::vector<std::string> flags = simtest::transportFlags(GetParam());
        if (withStores) {
            testsupport::writeFile(dir.file("sim.json"), kStoreConfig);
            flags.push_back("--config");
            flags.push_back(dir.file("sim.json"));
        }
        flags.insert(flags.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimModule>(flags, dir.file("packets.log"));
        ASSERT_TRUE(sim->ok());
        linkSpec where = GetParam() == Transport::TCP ? sim->tcpSpec() : sim->serialSpec();
        link = std::make_unique<Link>(where, "test");
        ASSERT_EQ(link->connect(), aErrNone);
    }

    testsupport::TempDir dir;
    std::unique_ptr<SimModule> sim;
    std::unique_ptr<Link> link;
};

TEST_P(LinkTest, ConnectionRulesWhileConnected) {
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(link->isConnected());
    EXPECT_EQ(link->getStatus(), kLinkStatusRunning);
    EXPECT_EQ(link->connect(), aErrConnection);
    aEtherConfig config;
    EXPECT_EQ(link->setConfig(config), aErrMode);
    linkSpec where{};
    ASSERT_EQ(link->getLinkSpecifier(&where), aErrNone);
    EXPECT_EQ(link->setLinkSpecifier(where), aErrBusy);
    EXPECT_STREQ(link->getName(), "test");

    EXPECT_EQ(link->disconnect(), aErrNone);
    EXPECT_FALSE(link->isConnected());
    EXPECT_EQ(link->getStatus(), kLinkObjectNoLink);
    EXPECT_EQ(link->setConfig(config), aErrNone);
    EXPECT_EQ(link->setLinkSpecifier(where), aErrNone);
    // A link given back can be made again.
    EXPECT_EQ(link->connect(), aErrNone);
    EXPECT_TRUE(link->isConnected());
}

TEST_P(LinkTest, ModuleAddressIsTheAnsweringAddress) {
    ASSERT_NO_FATAL_FAILURE(start({"--address", "6"}));
    uint8_t address = 0;
    EXPECT_EQ(link->getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 6);
}

TEST_P(LinkTest, UEIGetOfSerialNumber) {
    ASSERT_NO_FATAL_FAILURE(start());
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = 9 | 0x40;
    request.specifier = 0x20;
    request.type = ueiTypeVoid;
    ASSERT_EQ(link->sendUEI(request), aErrNone);
    uei reply{};
    ASSERT_EQ(link->receiveUEI(kAddress, 3, 9, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, ueiTypeInt);
    EXPECT_EQ(reply.value.intVal, simtest::kSimSerial);
    EXPECT_EQ(reply.specifier & 0x80, 0);
}

TEST_P(LinkTest, UEIErrorReplyCarriesTheModulesCode) {
    ASSERT_NO_FATAL_FAILURE(start({"--error", "3:12:21"}));
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = 12 | 0x40;
    request.specifier = 0x20;
    request.type = ueiTypeVoid;
    ASSERT_EQ(link->sendUEI(request), aErrNone);
    uei reply{};
    ASSERT_EQ(link->receiveUEI(kAddress, 3, 12, 0, &reply), aErrNone);
    EXPECT_NE(reply.specifier & 0x80, 0);
    EXPECT_EQ(reply.value.byteVal, aErrUnimplemented);
}

TEST_P(LinkTest, RawPacketArgumentChecks) {
    ASSERT_NO_FATAL_FAILURE(start());
    uint8_t data[28] = {0xFF};
    EXPECT_EQ(link->sendPacket(kAddress, 73, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(3, 73, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(0, 73, 1, data), aErrPacket);
    uei request{};
    request.module = 3;
    EXPECT_EQ(link->sendUEI(request), aErrPacket);
    request.module = kAddress;
    request.type = 3; // no such value form
    EXPECT_EQ(link->sendUEI(request), aErrParam);
    request.type = ueiTypeBytes;
    EXPECT_EQ(link->sendUEI(request, 1), aErrParam);
}

TEST_P(LinkTest, RawBuildQuery) {
    ASSERT_NO_FATAL_FAILURE(start({"--build", "4660"}));
    const uint8_t query[] = {0xFF};
    ASSERT_EQ(link->sendPacket(kAddress, 73, 1, query), aErrNone);
    const uint8_t match[] = {73, 0xFF};
    uint8_t length = sizeof(match);
    uint8_t reply[28] = {};
    ASSERT_EQ(link->receivePacket(kAddress, match, &length, reply), aErrNone);
    ASSERT_EQ(length, 6);
    EXPECT_EQ(reply[2] << 24 | reply[3] << 16 | reply[4] << 8 | reply[5], 4660);
}

TEST_P(LinkTest, StoreSlotRoundTrip) {
    ASSERT_NO_FATAL_FAILURE(start({}, true));
    size_t capacity = 0;
    ASSERT_EQ(link->storeSlotCapacity(kAddress, 0, 0, &capacity), aErrNone);
    EXPECT_EQ(capacity, 1024u);
    size_t size = 0;
    ASSERT_EQ(link->storeSlotSize(kAddress, 0, 0, &size), aErrNone);
    EXPECT_EQ(size, 2u);

    std::vector<uint8_t> data = pattern(60, 3);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 0, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->storeSlotSize(kAddress, 0, 0, &size), aErrNone);
    EXPECT_EQ(size, 60u);

    std::vector<uint8_t> back(100, 0);
    size_t count = 0;
    ASSERT_EQ(link->unloadStoreSlot(kAddress, 0, 0, back.data(), back.size(), &count), aErrNone);
    ASSERT_EQ(count, 60u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));

    // A buffer smaller than the slot gets what fits, and the overrun is reported.
    std::vector<uint8_t> small(10, 0);
    EXPECT_EQ(link->unloadStoreSlot(kAddress, 0, 0, small.data(), small.size(), &count),
              aErrOverrun);
    EXPECT_EQ(count, 10u);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), data.begin()));
}

TEST_P(LinkTest, StoreSlotErrors) {
    ASSERT_NO_FATAL_FAILURE(start({}, true));
    // More than the slot holds: the module refuses the write beyond capacity.
    std::vector<uint8_t> data = pattern(80, 1);
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 1, data.data(), data.size()), aErrOverrun);
    // No such slot: it cannot be opened; its size is the module's error.
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 9, data.data(), 10), aErrMedia);
    size_t size = 0;
    EXPECT_EQ(link->storeSlotSize(kAddress, 0, 9, &size), aErrNotFound);
    size_t count = 0;
    uint8_t buffer[16];
    EXPECT_EQ(link->unloadStoreSlot(kAddress, 0, 9, buffer, sizeof(buffer), &count), aErrNotFound);
    // After the failed write the slot can still be opened again.
    EXPECT_EQ(link->loadStoreSlot(kAddress, 0, 1, data.data(), 64), aErrNone);
}

TEST_P(LinkTest, FactoryData) {
    ASSERT_NO_FATAL_FAILURE(start({}, true));
    uint8_t buffer[512] = {};
    size_t length = 0;
    ASSERT_EQ(link->getFactoryData(kAddress, 0, buffer, sizeof(buffer), &length), aErrNone);
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4),
              (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));

    // 60 bytes need several requests each way (full replies mean more follows).
    std::vector<uint8_t> data = pattern(60, 9);
    ASSERT_EQ(link->setFactoryData(kAddress, 2, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->getFactoryData(kAddress, 2, buffer, sizeof(buffer), &length), aErrNone);
    ASSERT_EQ(length, 60u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), buffer));

    // A buffer that is too small.
    EXPECT_EQ(link->getFactoryData(kAddress, 2, buffer, 30, &length), aErrOverrun);
    // Exactly the size of the data fits.
    EXPECT_EQ(link->getFactoryData(kAddress, 2, buffer, 60, &length), aErrNone);
}

TEST_P(LinkTest, RequestsOnTheWire) {
    ASSERT_NO_FATAL_FAILURE(start({}, true));
    // A 30-byte array leaves as two chunks: 24 bytes with trailer 0x80, then
    // 6 bytes with trailer 0x01 (data sizes 28 and 10).
    std::vector<uint8_t> array = pattern(30, 0x10);
    uei request{};
    request.module = kAddress;
    request.command = 3;
    request.option = 32 | 0x80;
    request.specifier = 0x20;
    request.type = ueiTypeBytes;
    request.value.bytes.data = array.data();
    request.value.bytes.length = array.size();
    ASSERT_EQ(link->sendUEI(request), aErrNone);
    uei reply{};
    ASSERT_EQ(link->receiveUEI(kAddress, 3, 32 | 0xC0, 0, &reply), aErrNone);
    EXPECT_EQ(reply.specifier & 0x80, 0);

    // A 60-byte slot load writes chunks of 25, 25 and 10 bytes.
    std::vector<uint8_t> data = pattern(60, 0x20);
    ASSERT_EQ(link->loadStoreSlot(kAddress, 0, 0, data.data(), data.size()), aErrNone);

    // A sub-index get carries the sub-index after the specifier.
    request.option = 39 | 0x40;
    request.type = ueiTypeVoid;
    ASSERT_EQ(link->sendUEI(request, 2), aErrNone);
    ASSERT_EQ(link->receiveUEI(kAddress, 3, 39, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, ueiTypeInt);

    std::vector<std::string> chunks = received(dir.file("packets.log"), "03A020");
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].size(), 28u * 2);
    EXPECT_EQ(chunks[0].substr(27 * 2), "80");
    EXPECT_EQ(chunks[1].size(), 10u * 2);
    EXPECT_EQ(chunks[1].substr(9 * 2), "01");
    std::vector<std::string> writes = received(dir.file("packets.log"), "0407");
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].size(), 28u * 2);
    EXPECT_EQ(writes[1].size(), 28u * 2);
    EXPECT_EQ(writes[2].size(), 13u * 2);
    EXPECT_EQ(received(dir.file("packets.log"), "03672002").size(), 1u);
}

TEST_P(LinkTest, SilentModuleTimesOut) {
    // The simulator answers nothing after the first packet (the force-route
    // request sent when the link starts).
    ASSERT_NO_FATAL_FAILURE(start({"--silent-after", "1"}));
    uint8_t address = 0xEE;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(link->getModuleAddress(&address), aErrNotReady);
    EXPECT_GE(msSince(begin), 900);
    EXPECT_EQ(address, 0);

    uei reply{};
    begin = std::chrono::steady_clock::now();
    EXPECT_EQ(link->receiveUEI(kAddress, 3, 9, 0, &reply), aErrTimeout);
    EXPECT_GE(msSince(begin), 900);

    size_t size = 0;
    EXPECT_EQ(link->storeSlotSize(kAddress, 0, 0, &size), aErrTimeout);
    uint8_t buffer[28];
    size_t length = 0;
    EXPECT_EQ(link->getFactoryData(kAddress, 0, buffer, sizeof(buffer), &length), aErrTimeout);
}

TEST_P(LinkTest, LargeByteArrayRepliesWaitLonger) {
    ASSERT_NO_FATAL_FAILURE(start({"--silent-after", "1"}));
    std::vector<uint8_t> buffer(2000);
    size_t count = 0;
    uei reply{};
    reply.type = ueiTypeBytes;
    reply.value.bytes.data = buffer.data();
    reply.value.bytes.length = buffer.size();
    reply.value.bytes.count = &count;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(link->receiveUEI(kAddress, 3, 32, 0, &reply), aErrTimeout);
    EXPECT_GE(msSince(begin), 3900);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkTest, ::testing::Values(Transport::TCP, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return simtest::transportName(info.param);
                         });

TEST(LinkWithoutModule, ExchangesNeedAConnection) {
    Link link("idle");
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), kLinkObjectNoLink);
    uint8_t address = 7;
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    uint8_t data[1] = {0};
    EXPECT_EQ(link.sendPacket(kAddress, 73, 1, data), aErrConnection);
    uei request{};
    request.module = kAddress;
    EXPECT_EQ(link.sendUEI(request), aErrConnection);
    size_t size = 0;
    EXPECT_EQ(link.storeSlotSize(kAddress, 0, 0, &size), aErrConnection);
    linkSpec where{};
    EXPECT_EQ(link.getLinkSpecifier(&where), aErrNotFound);
    EXPECT_EQ(link.getLinkSpecifier(nullptr), aErrParam);
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    // Without a specifier there is nothing to connect to.
    EXPECT_EQ(link.connect(), aErrConfiguration);
    EXPECT_EQ(link.enablePooledPackets(true), aErrConnection);
    EXPECT_EQ(link.enablePacketLog("x"), aErrConfiguration);
}

TEST(LinkWithoutModule, DefaultConfiguration) {
    Link link("defaults");
    aEtherConfig config;
    config.enabled = false;
    ASSERT_EQ(link.getConfig(&config), aErrNone);
    EXPECT_TRUE(config.enabled);
    EXPECT_TRUE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.networkInterface, 0x0100007Fu);
}

TEST(LinkWithoutModule, UnreachableSpecifiers) {
    struct Case {
        const char* name;
        linkSpec where;
        bool ether;
        aErr expected;
    };
    linkSpec tcp{};
    tcp.type = linkTypeTCPIP;
    tcp.address = inet_addr("127.0.0.1");
    tcp.port = 1; // nothing listens there
    linkSpec ether{};
    ether.type = linkTypeAEther;
    linkSpec unknown{};
    unknown.type = 9;
    linkSpec serial{};
    serial.type = linkTypeSerial;
    serial.address = 14400; // not a supported rate
    std::strcpy(serial.portName, "/dev/null");
    const Case cases[] = {
        {"tcp nobody listening", tcp, false, aErrConnection},
        {"client without networking", ether, false, aErrConfiguration},
        {"unknown link type", unknown, false, aErrMode},
        {"serial bad rate", serial, false, aErrConnection},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link link(c.where, "unreachable");
        aEtherConfig config;
        config.enabled = c.ether;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        EXPECT_EQ(link.connect(), c.expected);
        EXPECT_FALSE(link.isConnected());
        EXPECT_EQ(link.getStatus(), kLinkObjectNoLink);
    }
}

TEST(LinkWithoutModule, DiscoveryWithNothingToFind) {
    Link link("discovery");
    aEtherConfig config;
    config.enabled = false;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    // Serial ports are not discovered; USB and link servers find nothing
    // here, with and without the fallback between them.
    EXPECT_EQ(link.discoverAndConnect(linkTypeSerial, 0x1234, 0), aErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(linkTypeUSB, 0x1234, 0), aErrNotFound);
    EXPECT_EQ(link.discoverAndConnect(linkTypeAEther, 0, 4), aErrNotFound);
    EXPECT_FALSE(link.isConnected());
}

} // namespace

namespace {

// The fallback between USB and link-server links, seen through the
// library's diagnostic line.
TEST(LinkWithoutModule, FallbackBetweenUSBAndLinkServers) {
    struct Case {
        linkType type;
        bool fallback;
        const char* line; // expected diagnostic, or null for none
    };
    const Case cases[] = {
        {linkTypeAEther, true, "Executing Fallback: USB\n"},
        {linkTypeUSB, true, "Executing Fallback: aEther\n"},
        {linkTypeUSB, false, nullptr},
        {linkTypeTCPIP, true, nullptr},
        {linkTypeSerial, true, nullptr},
    };
    aCorvantisDebuggingEnable = true;
    aCorvantisDebuggingLevel = aDEBUG_LIFECYCLE;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " fallback " << c.fallback);
        Link link("fallback");
        aEtherConfig config;
        config.fallback = c.fallback;
        ASSERT_EQ(link.setConfig(config), aErrNone);
        testing::internal::CaptureStdout();
        aErr result = link.discoverAndConnect(c.type, 0x0BADF00D, 0);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, aErrNotFound);
        if (c.line != nullptr) {
            EXPECT_NE(out.find(c.line), std::string::npos) << out;
        } else {
            EXPECT_EQ(out.find("Executing Fallback"), std::string::npos) << out;
        }
    }
    aCorvantisDebuggingEnable = false;
    aCorvantisDebuggingLevel = 0;
}

} // namespace
