#include "app/Display.h"

#include <cstdint>
#include <cstring>

#include "server/UpdateServerRequest.h"

namespace {
constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

const char* sLinkTypeName(linkType type) {
    switch (type) {
    case linkTypeUSB:
        return "USB";
    case linkTypeTCPIP:
        return "TCPIP";
    default:
        return "Unknown";
    }
}
} // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(kInfo, "%s (%s)", kAppName, kAppVersion);
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type) {
    display.message(kInfo, "Discovered Devices: (%s)", sLinkTypeName(type));
    if (devices.empty()) {
        display.message(kInfo, "    No devices found.");
        return;
    }
    if (type == linkTypeUSB) {
        display.message(kInfo,
                        "    Device    Module   Router  Model          Firmware Version (Build)");
    } else {
        display.message(kInfo, "    Device    Module   Router  Model          Firmware Version "
                               "(Build)   [IP address]");
    }
    for (const DeviceInfo& device : devices) {
        const char* model = aDefs_GetModelName(device.model);
        if (device.type == linkTypeTCPIP) {
            // The address is kept in network byte order: its bytes in memory
            // are the dotted parts, first part first.
            uint8_t octets[sizeof device.address];
            memcpy(octets, &device.address, sizeof octets);
            char address[32];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", octets[0], octets[1], octets[2],
                     octets[3]);
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s",
                            device.serialNumber, device.moduleAddress, device.routerAddress, model,
                            device.versionMajor, device.versionMinor,
                            static_cast<int>(device.versionPatch), device.build, address);
        } else if (device.error != 0) {
            display.message(kInfo,
                            "    %08X  [Error (%d): Is someone else connected to this device?]",
                            device.serialNumber, static_cast<int>(device.error));
        } else {
            display.message(kInfo, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)",
                            device.serialNumber, device.moduleAddress, device.routerAddress, model,
                            device.versionMajor, device.versionMinor,
                            static_cast<int>(device.versionPatch), device.build);
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, unsigned int serial) {
    if (builds.empty()) {
        display.message(kInfo, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(kInfo, "Build List for device [%08X]:\n", serial);
    display.message(kInfo, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const UpdateServerRequest::BuildEntry& entry :
         UpdateServerRequest::SortBuildsByVersion(builds)) {
        display.message(kInfo, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
    }
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(kInfo, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(kInfo, "%s", token.c_str());
}
