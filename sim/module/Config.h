// Configuration of the simulator: the modules it hosts, their firmware values,
// transports and fault switches, read from a JSON file and/or command-line
// flags (the flags are turned into JSON and merged, so both share one reader).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace csim {

// A UEI request answered with an error code instead of its value.
struct ErrorFault {
    uint8_t cmd = 0;
    uint8_t option = 0; // option code, without the get/set bits
    uint8_t code = 0;
};

struct Faults {
    uint64_t silentAfter = 0; // 0: never go silent
    std::vector<ErrorFault> errors;
    unsigned delayMs = 0;
    uint64_t dropAfter = 0; // 0: never drop
    std::vector<uint8_t> garbage;
    unsigned garbageEvery = 1;
    unsigned garbageTimes = 0; // 0: no limit
    bool reorderChunks = false;
    // Data bytes of the build-number reply (49 FF and the build, big-endian):
    // 6 is right; fewer cut it short, more pad it with 0xAA.
    unsigned buildReplyBytes = 6;
};

struct SlotConfig {
    uint16_t capacity = 1024;
    std::vector<uint8_t> data;
};

struct StoreConfig {
    uint8_t store = 0;
    std::vector<SlotConfig> slots;
};

struct ModuleConfig {
    uint32_t serial = 0x40F5849A;
    uint8_t model = 4;
    uint8_t address = 2;
    int routerAddress = -1; // -1: the module's own address
    uint32_t version = 0x2F020B05;
    uint32_t build = 1000;
    unsigned heartbeatMs = 0;
    uint32_t protocolFeatures = 0;

    std::string tcp; // "ADDR:PORT", empty for none
    bool pty = false;
    std::string ptyLink; // symlink to the slave, empty for none
    bool discovery = false;
    uint16_t discoveryQueryPort = 9888;
    uint16_t discoveryReplyPort = 9889;

    std::map<int, uint32_t> options;                 // scalar system options
    std::map<int, std::vector<uint8_t>> byteOptions; // byte-array system options
    std::array<uint32_t, 4> uniqueId{};
    std::vector<StoreConfig> stores;
    std::map<int, std::vector<uint8_t>> factory;
    std::size_t factoryCapacity = 512;
    bool hasSupportedUEI = false;
    std::vector<std::array<uint8_t, 3>> supportedUEI; // command, option, index
    std::map<int, int> classQuantity;
    std::vector<uint8_t> i2c; // addresses that acknowledge I2C traffic
    Faults faults;

    // The module's whole JSON object, for units that read their own keys.
    nlohmann::json raw;
};

struct SimConfig {
    std::vector<ModuleConfig> modules;
    std::string logPath;
    std::string statePath;
    unsigned maxRuntimeS = 600;
};

// Reads the command line (and the file it names). On failure returns false
// with a message; --help sets `help` and returns true.
bool parseCommandLine(int argc, char** argv, SimConfig& out, bool& help, std::string& error);

// Reads one module object; throws std::runtime_error with a message.
ModuleConfig moduleFromJson(const nlohmann::json& j);

// Integer from a JSON number or a string ("0x" prefix for hex); `hexDefault`
// reads strings without prefix as hex.
uint64_t jsonInt(const nlohmann::json& v, bool hexDefault = false);
// Bytes from text, "hex:..." or an array of numbers.
std::vector<uint8_t> jsonBytes(const nlohmann::json& v);
// The inverse of jsonBytes for the state dump: always "hex:...".
std::string bytesToJson(const std::vector<uint8_t>& v);

extern const char* const kUsage;

} // namespace csim
