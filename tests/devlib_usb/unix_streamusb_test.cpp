// The USB stream and the link engine over simulated modules on the emulated
// bus (real libusb) and over a kernel node (a pseudo-terminal in an
// overridden node directory): synchronisation, sharing a link by use count,
// UEI gets and sets, byte arrays and module information through the class
// layer, and a module unplugged under a running link.
#include "devlib/unix_streamusb.h"

#include <string>

#include <gtest/gtest.h>

#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "devlib/aLink.h"
#include "devlib/aLinkManagerInternal.h"
#include "devlib/aPacket.h"
#include "devlib/discover.h"
#include "tests/devlib_usb/UsbSim.h"

namespace {

using Halvern::Corvantis::Module;
using Halvern::Corvantis::SystemClass;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const char* const kConfig = R"({"modules": [
    {"serial": "40F5849A", "model": 4, "heartbeatMs": 100, "usb": true},
    {"serial": "0A1B2C3D", "model": 19, "build": 4321, "usb": {"maxPacket": 512},
     "options": {"32": "Bench A"}},
    {"serial": "12345678", "usb": true}
]})";
constexpr uint32_t kVersion = 0x2F020B05;

usbtest::UsbSim* gSim = nullptr;

bool sIsVersionReply(const aPacket* p, const void*) {
    return p->address == 2 && p->dataSize == 7 && p->data[0] == 3 && (p->data[1] & 0x3F) == 7;
}

// Asks for the firmware version (system entity, option 7, index 0).
bool versionRoundTrip(unsigned int id) {
    const uint8_t get[3] = {3, 7 | 0x40, 0x20};
    aPacket* request = aPacket_CreateWithData(2, 3, get);
    aErr err = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    if (err != aErrNone) {
        return false;
    }
    aPacket* reply = aLink_AwaitFirst(id, sIsVersionReply, nullptr, 1000);
    if (reply == nullptr) {
        return false;
    }
    uint32_t v = (uint32_t(reply->data[3]) << 24) | (uint32_t(reply->data[4]) << 16) |
                 (uint32_t(reply->data[5]) << 8) | reply->data[6];
    aPacket_Destroy(&reply);
    return v == kVersion;
}

class StreamUsbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(usbtest::startShared(gSim, kConfig)); }
    static void TearDownTestSuite() { usbtest::stopShared(gSim); }
};

TEST_F(StreamUsbTest, CreateRejectsBadArguments) {
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(1, nullptr), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(0xDEADBEEF, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_USBLastOpenResult(), aErrNotFound);
}

TEST_F(StreamUsbTest, StreamCarriesBytesBothWays) {
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(0x40F5849A, &s), aErrNone);
    const uint8_t magic[2] = {0xAD, 0x00};
    ASSERT_EQ(aStream_Write(s, magic, 2), aErrNone);
    uint8_t reply[2] = {0xFF, 0xFF};
    aErr err = aErrNotReady;
    auto deadline = steady_clock::now() + milliseconds(3000);
    // Heartbeats may come first; look for the magic reply's address byte.
    while (steady_clock::now() < deadline) {
        err = aStream_Read(s, reply, 2);
        if (err == aErrNone && reply[0] == 0x02 && reply[1] == 0x00) {
            break;
        }
    }
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(reply[1], 0x00);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(s, nullptr);
}

TEST_F(StreamUsbTest, LinkSynchronisesAndIsSharedByUseCount) {
    unsigned int id = aLink_CreateUSB(0x40F5849A);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(versionRoundTrip(id)) << i;
    }
    unsigned int again = aLink_CreateUSB(0x40F5849A);
    EXPECT_EQ(again, id);
    ASSERT_EQ(aLink_Destroy(&again), aErrNone);
    // Still in use once: it goes on working.
    EXPECT_TRUE(versionRoundTrip(id));
    auto start = steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000)) << "stopping is bounded";
}

TEST_F(StreamUsbTest, ClassLayerOverUsb) {
    linkSpec* where = aDiscovery_FindModule(linkTypeUSB, 0x0A1B2C3D, 0);
    ASSERT_NE(where, nullptr) << "the walk lists the module";
    aLinkSpec_Destroy(&where);
    Module module(2);
    module.setNetworkingMode(false);
    // A plain USB link, not one shared through a link server.
    aEtherConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    config.enabled = false;
    ASSERT_EQ(module.setConfig(config), aErrNone);
    ASSERT_EQ(module.connect(linkTypeUSB, 0x0A1B2C3D), aErrNone);
    SystemClass system;
    ASSERT_EQ(system.init(&module, 0), aErrNone);
    uint32_t version = 0, serial = 0, build = 0;
    uint8_t model = 0;
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, kVersion);
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x0A1B2C3Du);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 19);
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4321u);
    // A set and a get back.
    EXPECT_EQ(system.setLED(1), aErrNone);
    uint8_t led = 0;
    EXPECT_EQ(system.getLED(&led), aErrNone);
    EXPECT_EQ(led, 1);
    // A byte array of more than one chunk, both ways.
    std::string name(60, 'x');
    for (size_t i = 0; i < name.size(); ++i) {
        name[i] = static_cast<char>('A' + i % 26);
    }
    ASSERT_EQ(system.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), aErrNone);
    uint8_t buffer[128] = {0};
    size_t length = 0;
    ASSERT_EQ(system.getName(buffer, sizeof buffer, &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), name);
    EXPECT_EQ(module.disconnect(), aErrNone);
}

TEST_F(StreamUsbTest, ModuleUnpluggedUnderARunningLink) {
    unsigned int id = aLink_CreateUSB(0x12345678);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(versionRoundTrip(id));
    ASSERT_TRUE(gSim->command("unplug 12345678 300"));
    ASSERT_TRUE(gSim->awaitLine("usb-unplugged", milliseconds(5000)));
    // The link reports the failure, and nothing hangs.
    EXPECT_TRUE(usbtest::eventually([&] { return aLink_GetStatus(id) == kLinkStatusIOError; },
                                    milliseconds(10000)));
    EXPECT_FALSE(versionRoundTrip(id));
    auto start = steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
    // Found again once it is back.
    ASSERT_TRUE(gSim->awaitLine("usb ", milliseconds(5000)));
    EXPECT_TRUE(usbtest::eventually(
        [&] {
            linkSpec* where = aDiscovery_FindModule(linkTypeUSB, 0x12345678, 0);
            bool found = where != nullptr;
            aLinkSpec_Destroy(&where);
            return found;
        },
        milliseconds(5000)));
    id = aLink_CreateUSB(0x12345678);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(versionRoundTrip(id));
    aLink_Destroy(&id);
}

// The kernel driver's node: a pseudo-terminal of a second simulator linked
// into an overridden node directory.
TEST(StreamUsbKernelNodeTest, LinkOverTheKernelNode) {
    testsupport::TempDir dir;
    std::string node = dir.file("corvantis.0C0FFEE0");
    testsupport::BackgroundProcess sim({testsupport::buildPath("corvantis-sim"), "--serial",
                                        "0C0FFEE0", "--pty-link", node, "--max-runtime", "120"});
    std::string line;
    bool ready = false;
    while (!ready && sim.readLine(line, std::chrono::seconds(10))) {
        ready = line == "ready";
    }
    ASSERT_TRUE(ready);
    setenv(CORVANTIS_NODE_DIR_ENV, dir.path().c_str(), 1);
    EXPECT_TRUE(sxusb_is_kernel_driver_installed(0x0C0FFEE0));
    unsigned int id = aLink_CreateUSB(0x0C0FFEE0);
    unsetenv(CORVANTIS_NODE_DIR_ENV);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(versionRoundTrip(id));
    // Stopping is prompt: reads wait for readiness only briefly.
    auto start = steady_clock::now();
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
}

} // namespace

USBTEST_MAIN
