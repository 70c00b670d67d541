// The Updater: one object per run that carries out every command of the
// command line (discover, update, get, list builds, JWT, fingerprint and
// recovery). Every message goes to the display it was given; diagnostics go
// to Log.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/aDefs.h"

class BirdFile;

// One discovered module. It begins with the fields of a linkSpec, in the
// linkSpec's own order and widths, and adds its own after them. A new record
// has every numeric field 0 and an empty model name.
struct DeviceInfo : linkSpec {
    uint16_t networkAddress = 0; // I2C address at which it answered behind a router
    uint32_t build = 0;          // firmware build number; 0 when not read
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName; // aDefs_GetModelName of the model code
    uint32_t error = 0;    // aErr of the first query that failed; 0: all succeeded

    DeviceInfo() : linkSpec{} {}
    explicit DeviceInfo(const linkSpec& where) : linkSpec(where) {}
    DeviceInfo(const DeviceInfo&) = default;
    DeviceInfo(DeviceInfo&&) = default;
    DeviceInfo& operator=(const DeviceInfo&) = default;
    DeviceInfo& operator=(DeviceInfo&&) = default;
};

// Four 32-bit words identifying one chip in its ROM bootloader.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// Serial number that stands for "no serial number".
constexpr unsigned int kNoSerialNumber = 0xDEADDEAD;

class Updater {
public:
    Updater(const char* serverURL, const char* updaterDirectory, UpdaterDisplayInterface& display);
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool enable);

    // Discovery: the modules found on the given link type (USB then TCP/IP for
    // 0), or those behind the router with the given serial number.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_SXNetwork_Devices(unsigned int routerSerial, linkType type);

    // Update: build 0 means no particular build, an empty birdFile means an
    // image from the store, moduleAddress 0 means look it up, routerSerial 0
    // means a direct connection, override skips the image validation.
    bool Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                         unsigned char moduleAddress, unsigned int routerSerial, bool override);
    // Loads the image to use; throws std::runtime_error when it cannot be read.
    BirdFile load_bird(const char* label, std::string birdFile, unsigned int serial,
                       unsigned int build, bool download);

    // Downloads and queries: the build now in the store (0 on failure), the
    // server's or the store's build list (build text to version text), the
    // feature token (empty on failure).
    unsigned int Download_Firmware(unsigned int serial, std::string build, bool override,
                                   bool noCal);
    // answered (optional) becomes true only when the server answered the
    // query, even with an empty list, so callers can tell failure from "none".
    std::map<std::string, std::string> Get_BuildList(unsigned int serial, bool* answered = nullptr);
    std::map<std::string, std::string> Get_BuildListLocal(unsigned int serial);
    std::string Get_JWT(unsigned int serial);

    // Recovery through a ROM bootloader.
    bool Recover_Firmware(std::string serialPort, unsigned int build, unsigned int baudRate,
                          unsigned int serial, std::string birdFile, bool override);
    bool Get_Fingerprint(Fingerprint& fingerprint, std::string serialPort, unsigned int serial,
                         std::string birdFile, unsigned int baudRate, bool resetLoader);
    unsigned int Download_Firmware(Fingerprint fingerprint, std::string build, bool override);

    // Read by the flows of the other units.
    const std::string& serverURL() const { return m_serverURL; }
    const std::string& updaterDirectory() const { return m_updaterDirectory; }
    UpdaterDisplayInterface& display() { return m_display; }
    bool uei_bytes_load() const { return m_useUEIBytes; }

private:
    std::string m_serverURL;
    std::string m_updaterDirectory;
    UpdaterDisplayInterface& m_display;
    uint8_t m_recoveryChip = 0; // 1: i.MX, 2: LPC; set by Get_Fingerprint
    bool m_useUEIBytes = false;
};
