// Modules against corvantis-sim: connection forms, automatic networking, the
// module-information queries and the echo test.
#include "devlib/Module.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "devlib/SystemClass.h"
#include "devlib/aLink.h"
#include "tests/devlib_module/SimModule.h"

using namespace Halvern::Corvantis;
using simtest::SimModule;
using simtest::Transport;

namespace {

class ModuleTest : public ::testing::TestWithParam<Transport> {
protected:
    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> flags = simtest::transportFlags(GetParam());
        flags.insert(flags.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimModule>(flags, dir.file("packets.log"));
        ASSERT_TRUE(sim->ok());
    }
    // Whether the simulator received a packet whose data (upper-case
    // hexadecimal) are exactly `data`.
    bool receivedData(const std::string& data) const {
        std::string log = testsupport::readFile(dir.file("packets.log"));
        for (char& c : log) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return log.find("DATA=" + data + " ") != std::string::npos;
    }
    linkSpec where() const {
        return GetParam() == Transport::TCP ? sim->tcpSpec() : sim->serialSpec();
    }

    testsupport::TempDir dir;
    std::unique_ptr<SimModule> sim;
};

TEST_P(ModuleTest, AutoNetworkAdoptsTheModulesAddress) {
    ASSERT_NO_FATAL_FAILURE(start({"--address", "6"}));
    Module module(2);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    // The adopted address is the one requests now go to.
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, simtest::kSimSerial);
}

TEST_P(ModuleTest, WithoutAutoNetworkTheAddressStays) {
    ASSERT_NO_FATAL_FAILURE(start({"--address", "6"}));
    Module module(2, false);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    EXPECT_EQ(module.getModuleAddress(), 2);
    // Nothing answers at address 2.
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrTimeout);
}

TEST_P(ModuleTest, ConnectionForms) {
    ASSERT_NO_FATAL_FAILURE(start());
    Module module(2);
    EXPECT_EQ(module.getStatus(), kLinkObjectNoLink);
    EXPECT_EQ(module.connect(linkTypeTCPIP, 0), aErrParam);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    EXPECT_TRUE(module.isConnected());
    EXPECT_EQ(module.getStatus(), kLinkStatusRunning);
    EXPECT_EQ(module.connectFromSpec(where()), aErrBusy);
    linkSpec stored{};
    ASSERT_EQ(module.getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.type, where().type);
    EXPECT_EQ(module.disconnect(), aErrNone);
    EXPECT_FALSE(module.isConnected());
    ASSERT_EQ(module.reconnect(), aErrNone);
    EXPECT_TRUE(module.isConnected());
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    aEtherConfig config;
    EXPECT_EQ(module.getConfig(nullptr), aErrParam);
    EXPECT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_EQ(module.setConfig(config), aErrMode);
}

TEST_P(ModuleTest, ConnectThroughLinkModuleSharesTheRoutersLink) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto router = std::make_unique<Module>(2);
    ASSERT_EQ(router->connectFromSpec(where()), aErrNone);
    Module behind(2, true);
    ASSERT_EQ(behind.connectThroughLinkModule(router.get()), aErrNone);
    EXPECT_TRUE(behind.isConnected());
    // Already connected: success without looking at the router at all.
    EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrNone);
    // The shared link outlives the router object.
    router.reset();
    EXPECT_TRUE(behind.isConnected());
    uint32_t build = 0;
    EXPECT_EQ(behind.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 1000u);
}

TEST_P(ModuleTest, ConnectThroughAnUnconnectedRouterFails) {
    ASSERT_NO_FATAL_FAILURE(start());
    Module router(2);
    Module behind(4, false);
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNotFound); // no specifier yet
    ASSERT_EQ(router.getLink()->setLinkSpecifier(where()), aErrNone);
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrInitialization);
    EXPECT_FALSE(behind.isConnected());
}

TEST_P(ModuleTest, ModuleInformation) {
    ASSERT_NO_FATAL_FAILURE(start({"--build", "31337"}));
    Module module(2);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    uint32_t build = 0;
    ASSERT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 31337u);
    EXPECT_EQ(module.getBuild(nullptr), aErrParam);

    EXPECT_EQ(module.hasUEI(3, 7, 0, 0x40), aErrNone); // version: get
    EXPECT_EQ(module.hasUEI(3, 60, 0, 0x40), aErrInvalidOption);
    // The request carries command, option, index and flags as given.
    aErr upgrade = module.hasUEI(95, 10, 0, 0x80);
    EXPECT_NE(upgrade, aErrTimeout);
    EXPECT_NE(upgrade, aErrUnknown);
    EXPECT_TRUE(receivedData("49015F0A0080"));
    EXPECT_EQ(module.hasUEI(95, 10, 0, 0xC0), aErrParam); // get and set at once
    EXPECT_FALSE(receivedData("49015F0A00C0"));
    EXPECT_EQ(module.hasUEI(95, 10, 0, 0x01), aErrParam); // reserved bit

    uint8_t count = 0xEE;
    ASSERT_EQ(module.classQuantity(3, &count), aErrNone);
    EXPECT_EQ(count, 1);
    count = 0xEE;
    EXPECT_EQ(module.subClassQuantity(3, 0, &count), aErrNone);
    EXPECT_EQ(count, 0);
    uint8_t group = 0xEE;
    EXPECT_EQ(module.entityGroup(3, 0, &group), aErrNone);
    EXPECT_EQ(group, 0);
    EXPECT_EQ(module.classQuantity(3, nullptr), aErrParam);
}

TEST_P(ModuleTest, DebugEcho) {
    ASSERT_NO_FATAL_FAILURE(start());
    Module module(2);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    const uint8_t three[] = {1, 2, 3};
    EXPECT_EQ(module.debug(three, 3), aErrNone);
    uint8_t longest[27];
    for (uint8_t i = 0; i < sizeof(longest); ++i) {
        longest[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(module.debug(longest, sizeof(longest)), aErrNone);
    EXPECT_EQ(module.debug(three, 0), aErrNone);
    EXPECT_EQ(module.debug(longest, 28), aErrParam);
}

TEST_P(ModuleTest, SilentModuleTimesOut) {
    ASSERT_NO_FATAL_FAILURE(start({"--silent-after", "1"}));
    Module module(2, false);
    ASSERT_EQ(module.connectFromSpec(where()), aErrNone);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrTimeout);
    EXPECT_EQ(module.debug(reinterpret_cast<const uint8_t*>("ab"), 2), aErrTimeout);
}

INSTANTIATE_TEST_SUITE_P(Transports, ModuleTest,
                         ::testing::Values(Transport::TCP, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return simtest::transportName(info.param);
                         });

TEST(ModuleWithoutLink, QueriesNeedAConnection) {
    Module module(2);
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrConnection);
    EXPECT_EQ(module.hasUEI(3, 7, 0, 0x40), aErrConnection);
    EXPECT_EQ(module.debug(reinterpret_cast<const uint8_t*>("a"), 1), aErrConnection);
    EXPECT_EQ(module.connect(linkTypeSerial, 0x1234), aErrNotFound);
    EXPECT_EQ(module.enablePacketLog("x"), aErrConfiguration);
    module.setModuleAddress(8);
    EXPECT_EQ(module.getModuleAddress(), 8);
}

} // namespace
