// The USB walk of discovery over simulated modules on the emulated bus:
// which devices are listed, what their linkSpec says, the callback's control
// of the walk, the searches, and modules present only as kernel nodes.
#include "devlib/discover.h"

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "devlib/sxusb_driver.h"
#include "tests/devlib_usb/UsbSim.h"

namespace {

const char* const kConfig = R"({"modules": [
    {"serial": "40F5849A", "model": 4, "usb": true},
    {"serial": "11111111", "usb": {"vendor": "0x1234"}},
    {"serial": "22222222", "usb": {"product": "0x8001"}},
    {"serial": "33333333", "usb": {"serialString": "3333333"}},
    {"serial": "44444444", "usb": {"serialString": "444444444"}},
    {"serial": "0000ABCD", "usb": {"product": "0x0113"}},
    {"serial": "5555AAAA", "usb": {"serialString": "5555aaaa"}}
]})";

usbtest::UsbSim* gSim = nullptr;

struct Seen {
    std::map<uint32_t, linkSpec> found;
    int calls = 0;
    int stopAfter = 0; // 0: never stop
    bool take = true;
};

bool collect(const linkSpec* where, bool* taken, void* reference) {
    Seen* seen = static_cast<Seen*>(reference);
    seen->found[where->serialNumber] = *where;
    *taken = seen->take;
    ++seen->calls;
    return seen->stopAfter == 0 || seen->calls < seen->stopAfter;
}

class DiscoveryUsbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(usbtest::startShared(gSim, kConfig)); }
    static void TearDownTestSuite() { usbtest::stopShared(gSim); }
};

TEST_F(DiscoveryUsbTest, ListsFamilyModulesOnly) {
    Seen seen;
    uint8_t count = aDiscovery_EnumerateModules(linkTypeUSB, collect, &seen, 0);
    // 40F5849A, 0000ABCD and the lower-case 5555aaaa; not the foreign
    // vendor, product 0x8001, nor 7 or 9 characters.
    EXPECT_EQ(count, 3);
    ASSERT_EQ(seen.found.size(), 3u);
    ASSERT_TRUE(seen.found.count(0x40F5849A));
    const linkSpec& a = seen.found[0x40F5849A];
    EXPECT_EQ(a.type, linkTypeUSB);
    EXPECT_EQ(a.model, 4u);
    EXPECT_EQ(a.address, 0x40F5849Au);
    EXPECT_EQ(a.moduleAddress, 0u);
    EXPECT_EQ(a.routerAddress, 0u);
    EXPECT_EQ(a.routerSerialNumber, 0u);
    ASSERT_TRUE(seen.found.count(0x0000ABCD));
    EXPECT_EQ(seen.found[0x0000ABCD].model, 0x13u); // low byte of product 0x0113
    EXPECT_TRUE(seen.found.count(0x5555AAAA));      // "%X" reads either case
}

TEST_F(DiscoveryUsbTest, CallbackControlsTheWalk) {
    struct Case {
        int stopAfter;
        bool take;
        int calls;
        uint8_t count;
    } cases[] = {
        {1, true, 1, 1},
        {1, false, 1, 0},
        {0, false, 3, 0},
        {2, true, 2, 2},
    };
    for (const Case& c : cases) {
        Seen seen;
        seen.stopAfter = c.stopAfter;
        seen.take = c.take;
        EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeUSB, collect, &seen, 0), c.count);
        EXPECT_EQ(seen.calls, c.calls);
    }
    for (linkType t : {linkType(linkTypeInvalid), linkType(linkTypeSerial), linkType(9)}) {
        Seen seen;
        EXPECT_EQ(aDiscovery_EnumerateModules(t, collect, &seen, 0), 0);
        EXPECT_EQ(seen.calls, 0);
    }
}

TEST_F(DiscoveryUsbTest, FindModuleHitAndMiss) {
    linkSpec* hit = aDiscovery_FindModule(linkTypeUSB, 0x0000ABCD, 0);
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->serialNumber, 0x0000ABCDu);
    EXPECT_EQ(hit->model, 0x13u);
    EXPECT_EQ(aLinkSpec_Destroy(&hit), aErrNone);
    EXPECT_EQ(hit, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&hit), aErrParam);
    // A miss returns null; under AddressSanitizer a leak of the search
    // record would show when leak checking is on.
    EXPECT_EQ(aDiscovery_FindModule(linkTypeUSB, 0x33333333, 0), nullptr);
    EXPECT_EQ(aDiscovery_FindModule(linkTypeUSB, 0x11111111, 0), nullptr);
    linkSpec* first = aDiscovery_FindFirstModule(linkTypeUSB, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first->serialNumber, 0u);
    aLinkSpec_Destroy(&first);
}

TEST_F(DiscoveryUsbTest, KernelNodesAreListedWithModelZero) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("corvantis.0C0FFEE0"), "");
    testsupport::writeFile(dir.file("corvantis.40F5849A"), ""); // also on the bus: once
    testsupport::writeFile(dir.file("corvantis.12345"), "");    // not 8 digits
    testsupport::writeFile(dir.file("other.0C0FFEE1"), "");
    setenv(CORVANTIS_NODE_DIR_ENV, dir.path().c_str(), 1);
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeUSB, collect, &seen, 0), 4);
    unsetenv(CORVANTIS_NODE_DIR_ENV);
    ASSERT_TRUE(seen.found.count(0x0C0FFEE0));
    EXPECT_EQ(seen.found[0x0C0FFEE0].model, 0u);
    EXPECT_EQ(seen.found[0x40F5849A].model, 4u);
    EXPECT_EQ(seen.calls, 4);
}

} // namespace

USBTEST_MAIN
