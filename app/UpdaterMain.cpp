#include "app/UpdaterMain.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Display.h"
#include "app/Log.h"
#include "app/ParseParameters.h"
#include "app/Parameters.h"
#include "app/Usage.h"
#include "devlib/aDirectory.h"
#include "updater/Updater.h"

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;

// Room for the home directory; a longer one counts as not found.
constexpr size_t kHomeDirectorySize = 4096;
constexpr unsigned kUpdaterDirectoryMode = 0755;
constexpr const char* kDefaultBaseName = ".halvern";
constexpr const char* kUpdaterDirectoryName = "updater";

// The chip's serial number is not known before recovery.
constexpr unsigned int kFingerprintSerial = kNoSerialNumber;
constexpr bool kFingerprintResetLoader = true;

// A build text as a number: 0 (no particular build) unless it is all digits
// and fits in 32 bits.
unsigned int sBuildNumber(const std::string& build) {
    if (build.empty()) {
        return 0;
    }
    uint64_t value = 0;
    for (char c : build) {
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return 0;
        }
    }
    return static_cast<unsigned int>(value);
}

// The updater directory: below -i when given, else below ~/.halvern.
// Returns false (after the debug line) when the home directory is unknown.
bool sUpdaterDirectory(const Parameters& params, std::string& directory) {
    if (!params.baseDirectory.empty()) {
        directory = BuildPath(params.baseDirectory.c_str(), kUpdaterDirectoryName, nullptr);
        return true;
    }
    char home[kHomeDirectorySize];
    aErr error = aDirectory_GetHomeDirectory(home, sizeof home);
    if (error != aErrNone) {
        Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
                 static_cast<int>(error));
        return false;
    }
    directory = BuildPath(home, kDefaultBaseName, kUpdaterDirectoryName, nullptr);
    return true;
}

void sFingerprint(Updater& updater, const Parameters& params, UpdaterDisplayInterface& display,
                  int& status) {
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, kFingerprintSerial, params.birdFile,
                                params.baudRate, kFingerprintResetLoader)) {
        _display_fingerprint(display, fingerprint);
    } else {
        display.message(kError, "Got no response from chip");
        status = kExitFailure;
    }
}

void sGet(Updater& updater, Parameters& params, UpdaterDisplayInterface& display, int& status) {
    display.message(kInfo, "Retrieving firmware for device with serial number %08X",
                    params.deviceSerial);
    if (params.build.empty()) {
        display.message(kInfo, "No build specified");
        display.message(kInfo, "Using Latest build");
    } else {
        display.message(kInfo, "Retrieving firmware build %s", params.build.c_str());
    }
    unsigned int build =
        updater.Download_Firmware(params.deviceSerial, params.build, params.override, false);
    if (build != 0) {
        // A following update uses the build just fetched.
        params.build = std::to_string(build);
        status = kExitSuccess;
    } else {
        status = kExitFailure;
    }
}

int sDiscover(Updater& updater, const Parameters& params, UpdaterDisplayInterface& display) {
    linkType transport = params.transportGiven && params.transport != kTransportRecover
                             ? static_cast<linkType>(params.transport)
                             : linkTypeInvalid;
    if (params.routerSerial != 0) {
        display.message(kInfo, "Searching for Corvantis Network devices connected to %08X",
                        params.routerSerial);
        std::vector<DeviceInfo> devices =
            updater.Discover_SXNetwork_Devices(params.routerSerial, transport);
        _display_device_list(display, devices, transport);
        return kExitSuccess;
    }
    display.message(kInfo, "Searching for Corvantis devices");
    if (transport == linkTypeInvalid) {
        transport = linkTypeUSB;
    }
    std::vector<DeviceInfo> devices = updater.Discover_Devices(transport);
    _display_device_list(display, devices, transport);
    return kExitSuccess;
}

int sUpdate(Updater& updater, const Parameters& params, UpdaterDisplayInterface& display) {
    unsigned int build = sBuildNumber(params.build);
    updater.Set_UEIBytes_Load(params.ueiBytesLoad);
    bool done;
    if (params.transport == kTransportRecover) {
        done = updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                        params.deviceSerial, params.birdFile, params.override);
    } else if (params.deviceSerial != 0) {
        done = updater.Update_Firmware(params.deviceSerial, build, params.birdFile,
                                       params.moduleAddress, params.routerSerial, params.override);
    } else {
        display.message(kError, "Must specify the specific device to be updated");
        return kExitFailure;
    }
    return done ? kExitSuccess : kExitFailure;
}

// Without a serial number: the error and the short usage.
int sMissingSerial(UpdaterDisplayInterface& display, const char* error) {
    display.message(kError, "%s", error);
    _display_usage(display, false, false);
    return kExitFailure;
}

// Runs the commands in their fixed order: fingerprint, get, then the first
// of discover, update, list builds, list local builds and token.
int sRunCommands(Updater& updater, Parameters& params, UpdaterDisplayInterface& display) {
    int status = kExitSuccess;

    if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(kError, "Must specify the serial port used for connecting");
            return kExitFailure;
        }
        sFingerprint(updater, params, display, status);
    }
    if (params.commands.IsSet(COMMAND_GET)) {
        if (params.deviceSerial == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return kExitFailure;
        }
        sGet(updater, params, display, status);
    }

    if (params.commands.IsSet(COMMAND_DISCOVER)) {
        return sDiscover(updater, params, display);
    }
    if (params.commands.IsSet(COMMAND_UPDATE)) {
        return sUpdate(updater, params, display);
    }
    if (params.commands.IsSet(COMMAND_LIST_BUILDS)) {
        if (params.deviceSerial == 0) {
            return sMissingSerial(display,
                                  "Error must supply a serial number for the List Builds command");
        }
        // A query the server did not answer is a failure, not an empty list.
        bool answered = false;
        auto builds = updater.Get_BuildList(params.deviceSerial, &answered);
        if (!answered) {
            return kExitFailure;
        }
        _display_builds(display, builds, params.deviceSerial);
        return kExitSuccess;
    }
    if (params.commands.IsSet(COMMAND_LIST_LOCAL_BUILDS)) {
        if (params.deviceSerial == 0) {
            return sMissingSerial(
                display, "Error must supply a serial number for the List Local Builds command");
        }
        _display_builds(display, updater.Get_BuildListLocal(params.deviceSerial),
                        params.deviceSerial);
        return kExitSuccess;
    }
    if (params.commands.IsSet(COMMAND_JWT)) {
        if (params.deviceSerial == 0) {
            return sMissingSerial(display,
                                  "Error must supply a serial number for the Get JWT command");
        }
        std::string token = updater.Get_JWT(params.deviceSerial);
        if (token.empty()) {
            // No token is a failed query (already reported), not an empty one.
            return kExitFailure;
        }
        _display_jwt(display, token);
        return kExitSuccess;
    }
    return status;
}

} // namespace

int UpdaterMain(int argc, char* argv[]) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (ParseParameters(argc, argv, params, display) != 0) {
        _display_app_version(display);
        _display_usage(display, false, false);
        return kExitFailure;
    }
    _display_app_version(display);
    if (params.helpRequested || !params.commands.IsSet(kCommandMask)) {
        _display_usage(display, params.helpRequested, params.helpRequested && params.logMaskGiven);
        return kExitSuccess;
    }

    std::string directory;
    if (!sUpdaterDirectory(params, directory)) {
        return kExitFailure;
    }
    if (aDirectory_Ensure(directory.c_str(), kUpdaterDirectoryMode) != aErrNone) {
        display.message(kError, "Could not find updater directory at %s", directory.c_str());
        return kExitFailure;
    }

    try {
        Updater updater(params.serverURL.c_str(), directory.c_str(), display);
        return sRunCommands(updater, params, display);
    } catch (const std::exception& error) {
        // The operations report their own failures; an exception that still
        // gets here must end the run as a failure, not abort the process.
        display.message(kError, "%s", error.what());
        return kExitFailure;
    }
}
