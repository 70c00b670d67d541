// What the command line asks for: the commands (a word of COMMANDS bits) and
// every parameter value, with their defaults.
#pragma once

#include <cstdint>
#include <string>

#include "devlib/aDefs.h"

// Command bits. Several may be set; the entry point runs them in a fixed order.
enum COMMANDS : uint32_t {
    COMMAND_DISCOVER = 0x1,            // -D: discover and list devices
    COMMAND_UPDATE = 0x2,              // -U: update (or recover) a device's firmware
    COMMAND_LIST_BUILDS = 0x4,         // -B: builds the update server offers for a device
    COMMAND_GET = 0x8,                 // -G: fetch a build into the local store
    COMMAND_INFO = 0x10,               // -I: counts as a command, runs nothing
    COMMAND_CHECK = 0x20,              // -C: counts as a command, runs nothing
    COMMAND_FINGERPRINT = 0x40,        // -N: read a chip fingerprint through a serial port
    COMMAND_Z = 0x80,                  // -Z: counts as a command, runs nothing
    COMMAND_JWT = 0x100,               // -J: fetch the device's feature token
    COMMAND_LIST_LOCAL_BUILDS = 0x200, // -L: builds held in the local store for a device
    COMMAND_HELP = 0x80000000,         // -h, -H, --help: show the usage text
};

// A command is present when any of these bits is set (help is not a command).
constexpr uint32_t kCommandMask = 0x307FF;

// One word of COMMANDS bits.
class CommandsClass {
public:
    // ORs the bits into the word.
    void Set(uint32_t commands) { m_commands |= commands; }
    // True when any of the given bits is set.
    bool IsSet(uint32_t commands) const { return (m_commands & commands) != 0; }
    uint32_t Value() const { return m_commands; }

private:
    uint32_t m_commands = 0;
};

// Transport values of -t: the link types for USB and TCP/IP, and recovery
// through the chip's ROM bootloader. An invalid value leaves 0.
constexpr uint32_t kTransportInvalid = linkTypeInvalid;
constexpr uint32_t kTransportUSB = linkTypeUSB;
constexpr uint32_t kTransportTCPIP = linkTypeTCPIP;
constexpr uint32_t kTransportRecover = 255;

constexpr uint32_t kDefaultBaudRate = 115200;

struct Parameters {
    CommandsClass commands;
    uint32_t deviceSerial = 0; // -d; 0: none
    uint32_t routerSerial = 0; // -r; 0: none
    uint32_t transport = kTransportUSB;
    bool transportGiven = false;          // -t seen, valid or not
    std::string serialPort;               // -s
    uint32_t baudRate = kDefaultBaudRate; // -o
    uint8_t moduleAddress = 0;            // no option; passed to the update as is
    std::string birdFile;                 // -f
    std::string build;                    // -b as decimal text; the build fetched by -G
    std::string serverURL;                // -u; the default server when not given
    std::string baseDirectory;            // -i: parent of the updater directory
    std::string appName;                  // the program's file name without its directory
    bool override = false;                // -OVERRIDE
    bool ueiBytesLoad = true;             // -m
    uint32_t logMask = 0;                 // -X, all of them ORed together
    bool logMaskGiven = false;
    bool helpRequested = false;
};
