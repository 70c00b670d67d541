// The USB device layer against simulated modules on the emulated bus, under
// the real libusb: opening and claiming, chunked writes, bulk IN time-outs,
// stalled endpoints, the error tolerance, and a device that goes away while
// it is open.
#include "devlib/sxusb_driver.h"

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/devlib_usb/UsbSim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const char* const kConfig = R"({"modules": [
    {"serial": "40F5849A", "usb": true},
    {"serial": "0A1B2C3D", "usb": {"maxPacket": 512}},
    {"serial": "12345678", "usb": true},
    {"serial": "0BADF00D", "usb": {"interface": [255, 136, 17]}}
]})";

// cmdMAGIC, answered by the module with an empty packet from its address.
const uint8_t kMagic[2] = {0xAD, 0x00};

usbtest::UsbSim* gSim = nullptr;

class SxusbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(usbtest::startShared(gSim, kConfig)); }
    static void TearDownTestSuite() { usbtest::stopShared(gSim); }
    void TearDown() override { sxusb_destroy(&dev_); }

    aErr open(const char* serial) {
        dev_ = sxusb_create_usb(kUsbModeLibusb);
        return sxusb_open_corvantis_device(dev_, serial);
    }
    // Reads bytes until `count` came or a bound passes.
    std::string readBytes(size_t count, milliseconds bound = milliseconds(3000)) {
        std::string got;
        auto deadline = steady_clock::now() + bound;
        while (got.size() < count && steady_clock::now() < deadline) {
            uint8_t b = 0;
            if (sxusb_get_from_device(dev_, &b) == aErrNone) {
                got.push_back(static_cast<char>(b));
            }
        }
        return got;
    }
    sxusb_device* dev_ = nullptr;
};

TEST_F(SxusbTest, OpensAndClaimsTheLinkInterface) {
    ASSERT_EQ(open("40F5849A"), aErrNone);
    EXPECT_EQ(dev_->state, kUsbStateReady);
    EXPECT_EQ(dev_->inEndpoint, 0x81);
    EXPECT_EQ(dev_->outEndpoint, 0x02);
    EXPECT_EQ(dev_->inMaxPacket, 64);
    EXPECT_EQ(dev_->outMaxPacket, 64);
    EXPECT_STREQ(dev_->serial, "40F5849A");
    // A round trip: the magic request gets the module's address back.
    ASSERT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrNone);
    EXPECT_EQ(readBytes(2), std::string("\x02\x00", 2));
    EXPECT_EQ(sxusb_close_corvantis_device(dev_), aErrNone);
    EXPECT_EQ(dev_->state, kUsbStateClosed);
    uint8_t b;
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrConnection);
    EXPECT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrConnection);
}

TEST_F(SxusbTest, OpenFailures) {
    struct Case {
        const char* serial;
        aErr expected;
    } cases[] = {
        {"40f5849a", aErrNotFound},      // the text is compared exactly
        {"DEADBEEF", aErrNotFound},      // no such module
        {"0BADF00D", aErrConfiguration}, // no interface FF/88/10
    };
    for (const Case& c : cases) {
        sxusb_device* d = sxusb_create_usb(kUsbModeLibusb);
        EXPECT_EQ(sxusb_open_corvantis_device(d, c.serial), c.expected) << c.serial;
        EXPECT_EQ(d->handle, nullptr) << c.serial;
        sxusb_destroy(&d);
        EXPECT_EQ(d, nullptr);
    }
    EXPECT_EQ(sxusb_create_usb(7), nullptr);
    EXPECT_EQ(sxusb_destroy(nullptr), aErrParam);
    sxusb_device* kernel = sxusb_create_usb(kUsbModeKernel);
    EXPECT_EQ(sxusb_open_corvantis_USBlib_device(kernel, "40F5849A"), aErrMode);
    uint8_t b;
    EXPECT_EQ(sxusb_get_from_USBlib_device(kernel, &b), aErrMode);
    sxusb_destroy(&kernel);
}

TEST_F(SxusbTest, WriteOf1024BytesGoesOutAs511And511And2) {
    ASSERT_EQ(open("0A1B2C3D"), aErrNone);
    ASSERT_EQ(dev_->outMaxPacket, 512);
    // 1024 bytes of magic requests: the module answers each of the 512.
    std::vector<uint8_t> data;
    for (int i = 0; i < 512; ++i) {
        data.insert(data.end(), kMagic, kMagic + 2);
    }
    aCorvantisDebuggingLevel = aDEBUG_USB;
    aCorvantisDebuggingEnable = true;
    testing::internal::CaptureStdout();
    aErr err = sxusb_write_to_device(dev_, data.data(), static_cast<int>(data.size()));
    std::string trace = testing::internal::GetCapturedStdout();
    aCorvantisDebuggingEnable = false;
    ASSERT_EQ(err, aErrNone);
    EXPECT_EQ(trace, "libusb lenSent: 511 - nSize: 511\n"
                     "libusb lenSent: 511 - nSize: 511\n"
                     "libusb lenSent: 2 - nSize: 2\n");
    std::string replies = readBytes(1024);
    EXPECT_EQ(replies.size(), 1024u);
}

TEST_F(SxusbTest, BulkInTimeOutWithoutBytesIsNotReady) {
    ASSERT_EQ(open("40F5849A"), aErrNone);
    uint8_t b = 0;
    auto start = steady_clock::now();
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrNotReady);
    auto took = steady_clock::now() - start;
    EXPECT_GE(took, milliseconds(kUsbReadTimeoutMS - 50));
    EXPECT_LT(took, milliseconds(kUsbReadTimeoutMS * 3));
    EXPECT_EQ(dev_->ioErrors, 0);
}

// A wake from another thread ends a read waiting in its bulk transfer, as a
// time-out would but long before one; a wake with no read waiting makes the
// next read return at once; and reading goes on normally afterwards.
TEST_F(SxusbTest, WakeEndsAWaitingReadLikeATimeOut) {
    ASSERT_EQ(open("40F5849A"), aErrNone);
    uint8_t b = 0;
    aErr result = aErrUnknown;
    auto start = steady_clock::now();
    std::thread reader([&] { result = sxusb_get_from_device(dev_, &b); });
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(sxusb_wake(dev_), aErrNone);
    reader.join();
    EXPECT_EQ(result, aErrNotReady);
    EXPECT_LT(steady_clock::now() - start, milliseconds(kUsbReadTimeoutMS - 200));

    EXPECT_EQ(sxusb_wake(dev_), aErrNone);
    start = steady_clock::now();
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrNotReady);
    EXPECT_LT(steady_clock::now() - start, milliseconds(kUsbReadTimeoutMS - 200));
    EXPECT_EQ(dev_->ioErrors, 0);

    ASSERT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrNone);
    EXPECT_EQ(readBytes(2), std::string("\x02\x00", 2));
    EXPECT_EQ(sxusb_wake(nullptr), aErrParam);
}

TEST_F(SxusbTest, StalledEndpointsAreCleared) {
    ASSERT_EQ(open("40F5849A"), aErrNone);
    ASSERT_TRUE(gSim->command("stall-in 40F5849A"));
    ASSERT_TRUE(gSim->command("stall-out 40F5849A"));
    std::this_thread::sleep_for(milliseconds(100)); // let the loop read the FIFO
    uint8_t b = 0;
    // The IN stall: no byte, the halt is cleared.
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrNotReady);
    // The OUT stall: cleared and the chunk retried, so the write goes out.
    EXPECT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrNone);
    EXPECT_EQ(readBytes(2), std::string("\x02\x00", 2));
    EXPECT_EQ(dev_->state, kUsbStateReady);
}

TEST_F(SxusbTest, FourIOErrorsAreForgivenTheFifthFailsTheDevice) {
    ASSERT_EQ(open("12345678"), aErrNone);
    ASSERT_TRUE(gSim->command("in-errors 12345678 5"));
    std::this_thread::sleep_for(milliseconds(100));
    uint8_t b = 0xEE;
    for (int i = 0; i < 4; ++i) {
        // Forgiven, and no byte handed out.
        EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrNotReady) << i;
        EXPECT_EQ(b, 0xEE);
    }
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrIO);
    EXPECT_EQ(dev_->state, kUsbStateFailed);
    EXPECT_EQ(sxusb_get_from_device(dev_, &b), aErrIO);
    EXPECT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrIO);
    // Reopening brings it back.
    sxusb_destroy(&dev_);
    ASSERT_EQ(open("12345678"), aErrNone);
    ASSERT_EQ(sxusb_write_to_device(dev_, kMagic, 2), aErrNone);
    EXPECT_EQ(readBytes(2), std::string("\x02\x00", 2));
}

TEST_F(SxusbTest, DeviceThatDisappearsWhileOpenFails) {
    ASSERT_EQ(open("12345678"), aErrNone);
    ASSERT_TRUE(gSim->command("unplug 12345678 200"));
    ASSERT_TRUE(gSim->awaitLine("usb-unplugged", milliseconds(5000)));
    uint8_t b = 0;
    aErr err = aErrNone;
    auto start = steady_clock::now();
    for (int i = 0; i < 10 && err != aErrIO; ++i) {
        err = sxusb_get_from_device(dev_, &b);
    }
    EXPECT_EQ(err, aErrIO);
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
    EXPECT_EQ(dev_->state, kUsbStateFailed);
    // Back under a new address: it opens again.
    ASSERT_TRUE(gSim->awaitLine("usb ", milliseconds(5000)));
    sxusb_destroy(&dev_);
    EXPECT_TRUE(usbtest::eventually([&] {
        sxusb_destroy(&dev_);
        return open("12345678") == aErrNone;
    }));
}

TEST(SxusbNodeTest, NodePathFollowsTheEnvironment) {
    testsupport::TempDir dir;
    setenv(CORVANTIS_NODE_DIR_ENV, dir.path().c_str(), 1);
    char path[256];
    ASSERT_TRUE(sxusb_node_path(0x0A1B2C3D, path, sizeof path));
    EXPECT_EQ(std::string(path), dir.path() + "/corvantis.0A1B2C3D");
    EXPECT_FALSE(sxusb_is_kernel_driver_installed(0x0A1B2C3D));
    testsupport::writeFile(path, "");
    EXPECT_TRUE(sxusb_is_kernel_driver_installed(0x0A1B2C3D));
    unsetenv(CORVANTIS_NODE_DIR_ENV);
    EXPECT_STREQ(sxusb_node_directory(), "/dev");
    EXPECT_FALSE(sxusb_node_path(1, path, 8));
}

} // namespace

USBTEST_MAIN
