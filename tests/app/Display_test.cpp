// The listings: version line, device list, build list, fingerprint, token.
#include "app/Display.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "devlib/aDefs.h"

namespace {

using Lines = std::vector<std::string>;

DeviceInfo sDevice(linkType type, uint32_t serial, uint32_t model, uint32_t error = 0) {
    DeviceInfo device;
    device.type = type;
    device.serialNumber = serial;
    device.moduleAddress = 2;
    device.routerAddress = 0x0A;
    device.model = model;
    device.versionMajor = 2;
    device.versionMinor = 11;
    device.versionPatch = 2;
    device.build = 1234;
    device.error = error;
    return device;
}

void sSetAddress(DeviceInfo& device, const char* dotted) {
    in_addr address;
    ASSERT_EQ(inet_pton(AF_INET, dotted, &address), 1);
    memcpy(&device.address, &address, sizeof device.address);
}

const char kUsbHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)";
const char kIpHeader[] =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]";

TEST(Display, AppVersion) {
    RecordingDisplay display;
    _display_app_version(display);
    EXPECT_EQ(display.infos(), Lines{"Updater (Version: 2.11.2 Apr 29 2025)"});
    EXPECT_TRUE(display.errors().empty());
}

TEST(Display, EmptyDeviceListsByLinkType) {
    struct Case {
        linkType type;
        const char* heading;
    };
    const Case cases[] = {{0, "Discovered Devices: (Unknown)"},
                          {1, "Discovered Devices: (USB)"},
                          {2, "Discovered Devices: (TCPIP)"},
                          {255, "Discovered Devices: (Unknown)"}};
    for (const Case& c : cases) {
        RecordingDisplay display;
        _display_device_list(display, {}, c.type);
        EXPECT_EQ(display.infos(), (Lines{c.heading, "    No devices found."})) << c.type;
    }
}

TEST(Display, UsbListHasNoAddressColumn) {
    RecordingDisplay display;
    std::vector<DeviceInfo> devices = {sDevice(linkTypeUSB, 0x40F5849A, 0x13),
                                       sDevice(linkTypeUSB, 0x2181F0EE, 0x13, 25),
                                       sDevice(linkTypeUSB, 0x1, 0xEE)};
    devices[2].versionMajor = 123;
    devices[2].versionPatch = 70000;
    _display_device_list(display, devices, linkTypeUSB);
    Lines expected = {
        "Discovered Devices: (USB)",
        kUsbHeader,
        "    40F5849A  02       0A      CV-PWR4        2.11.2 (1234)",
        "    2181F0EE  [Error (25): Is someone else connected to this device?]",
        "    00000001  02       0A      Unknown      123.11.70000 (1234)",
    };
    EXPECT_EQ(display.infos(), expected);
}

TEST(Display, TcpipRowsShowTheirAddressWhateverTheError) {
    for (linkType listType : {linkTypeTCPIP, linkTypeInvalid}) {
        RecordingDisplay display;
        std::vector<DeviceInfo> devices = {
            sDevice(linkTypeTCPIP, 0x12345678, 0x07), sDevice(linkTypeTCPIP, 0x12345679, 0x07, 3),
            sDevice(linkTypeUSB, 0x40F5849A, 0x13), sDevice(linkTypeUSB, 0x40F5849B, 0x13, 7)};
        sSetAddress(devices[0], "192.168.1.20");
        sSetAddress(devices[1], "10.0.255.1");
        // A USB entry keeps its serial number in the address field; it is
        // never shown as an address.
        devices[2].address = devices[2].serialNumber;
        _display_device_list(display, devices, listType);
        Lines expected = {
            listType == linkTypeTCPIP ? "Discovered Devices: (TCPIP)"
                                      : "Discovered Devices: (Unknown)",
            kIpHeader,
            "    12345678  02       0A      CV-NET2        2.11.2 (1234) [192.168.1.20]",
            "    12345679  02       0A      CV-NET2        2.11.2 (1234) [10.0.255.1]",
            "    40F5849A  02       0A      CV-PWR4        2.11.2 (1234)",
            "    40F5849B  [Error (7): Is someone else connected to this device?]",
        };
        EXPECT_EQ(display.infos(), expected) << listType;
    }
}

TEST(Display, ModelNames) {
    EXPECT_STREQ(aDefs_GetModelName(0x13), "CV-PWR4");
    EXPECT_STREQ(aDefs_GetModelName(0), "Unknown");
    EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFF), "Unknown");
    // Every name fits the model column of the device list.
    for (uint32_t model = 0; model < 0x100; ++model) {
        EXPECT_LE(strlen(aDefs_GetModelName(model)), 12u) << model;
    }
}

TEST(Display, EmptyBuildList) {
    RecordingDisplay display;
    _display_builds(display, {}, 0xABCD);
    EXPECT_EQ(display.infos(), Lines{"No builds found for device [0000ABCD]"});
}

TEST(Display, BuildListNewestFirstWithUnreadableVersionsLast) {
    RecordingDisplay display;
    std::map<std::string, std::string> builds = {
        {"100", "1.2.3"},   {"200", "1.10.0"}, {"300", "2.0.0"},
        {"050", "1.2"},     {"400", ""},       {"1234567890123456789", "2.11.2-very-long-text"},
        {"500", "1.300.0"}, // 300 counts as 44
    };
    _display_builds(display, builds, 0x40F5849A);
    Lines expected = {
        "Build List for device [40F5849A]:\n", "Build          \tVersion        ",
        "300            \t2.0.0          ",    "500            \t1.300.0        ",
        "200            \t1.10.0         ",    "100            \t1.2.3          ",
        "050            \t1.2            ",    "123456789012345\t2.11.2-very-lon",
        "400            \t               ",
    };
    EXPECT_EQ(display.infos(), expected);
}

TEST(Display, FingerprintAndToken) {
    RecordingDisplay display;
    Fingerprint fingerprint;
    fingerprint.words[0] = 0x1;
    fingerprint.words[1] = 0xDEADBEEF;
    fingerprint.words[2] = 0xABCDEF;
    fingerprint.words[3] = 0xFFFFFFFF;
    _display_fingerprint(display, fingerprint);
    _display_jwt(display, "aa.bb.cc");
    _display_jwt(display, "100%s%d");
    EXPECT_EQ(display.infos(),
              (Lines{"[ 00000001 DEADBEEF 00ABCDEF FFFFFFFF ]", "aa.bb.cc", "100%s%d"}));
}

TEST(Display, MutedListingsShowNothing) {
    RecordingDisplay display;
    display.mute_messages(true);
    _display_app_version(display);
    _display_device_list(display, {sDevice(linkTypeUSB, 1, 1)}, linkTypeUSB);
    _display_builds(display, {{"1", "1.0.0"}}, 1);
    _display_jwt(display, "aa.bb.cc");
    EXPECT_TRUE(display.lines.empty());
}

} // namespace
