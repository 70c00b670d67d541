// The listings that the commands print: version line, device list, build
// list, fingerprint and feature token. Each line is one information-level
// message of the display, so muting the display hides them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/aDefs.h"
#include "updater/Updater.h"

// The program's name and version, as the version line shows them.
constexpr const char* kAppName = "Updater";
constexpr const char* kAppVersion = "Version: 2.11.2 Apr 29 2025";

// "Updater (Version: ...)".
void _display_app_version(UpdaterDisplayInterface& display);

// "Discovered Devices: (USB|TCPIP|Unknown)", then either "No devices found."
// or a header and one row per device. The header has an IP address column for
// every link type but USB; a row shows the address only for a TCP/IP entry,
// and an entry of another type with a nonzero error code shows the error.
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          linkType type);

// The builds (build text to version text) of the device, newest version
// first, each column cut or padded to 15 characters; or "No builds found".
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, unsigned int serial);

// "[ %08X %08X %08X %08X ]" with the four words.
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);

// The token as one line.
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
