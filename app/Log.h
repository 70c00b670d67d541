// The process-wide debug log. Lines are written only for the packages (bit
// flags) switched on with -X; package 0 is always written. Texts go out
// unchanged, in one write each: callers' formats carry their own line breaks.
#pragma once

#include <cstdint>
#include <cstdio>

// Package bits, as the usage text lists them for -X.
enum LogPackage : uint32_t {
    DEBUG_Updater = 0x00000001,      // update, download and discovery flow, store, recovery flows
    DEBUG_History = 0x00000002,      // (unused)
    DEBUG_Attributes = 0x00000004,   // attribute files
    DEBUG_BirdFile = 0x00000008,     // BIRD files
    DEBUG_ServerComm = 0x00000020,   // update server client
    DEBUG_Network = 0x00000100,      // upgrade reconnection, link-type search, LPC recovery
    DEBUG_Network_SR = 0x00000200,   // (unused)
    DEBUG_Network_FIRM = 0x00000400, // upgrade protocol steps
    DEBUG_NXPSerial = 0x00001000,    // LPC serial bootloader client
    DEBUG_NXPSerial_E = 0x00002000,  // LPC echo and response handling
    DEBUG_NXPSerial_SR = 0x00004000, // LPC bytes sent and received
    DEBUG_APP = 0x00010000,          // entry point, download flow, fingerprint flows
    DEBUG_iMXSerial = 0x10000000,    // i.MX serial download protocol
};

class Log {
public:
    // Writes the formatted text (cut to 2047 characters) to the output stream
    // when package is 0 or shares a bit with the active mask.
    static void log(uint32_t package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* stream);
    static void ActivatePackage(uint32_t mask);
    static void DeactivatePackage(uint32_t mask);
    static uint32_t ActivePackages();
    // True when a line of this package would be written.
    static bool IsActive(uint32_t package);

private:
    static uint32_t s_mask;
    static FILE* s_output;
};
