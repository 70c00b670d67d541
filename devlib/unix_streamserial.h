// The serial-port transport behind aStream_CreateSerial (declared in
// devlib/aStream.h): termios settings, one-byte reads that never wait, whole
// buffer writes drained to the wire, and a readiness wait on the descriptor.
#pragma once

#include <cstdint>

#include <termios.h>

// Check word of a live serial stream record.
#define aSERIALSTREAMCHECK 0xBEEF
// Longest port name kept, in characters.
#define aSERIALPORTNAMEMAX 4096

// The transport's reference record, owned by its stream and freed by the
// stream's delete operation.
struct aSerialStream {
    int baudIndex;                     // index into the baud table of aStream_CreateSerial
    char portName[aSERIALPORTNAMEMAX]; // the device path
    int fd;                            // the open descriptor, -1 when closed
    struct termios saved;              // the settings found at open, restored at close
    struct termios applied;            // the settings in force
    bool savedValid;                   // `saved` holds settings to restore
    uint16_t check;                    // aSERIALSTREAMCHECK while alive
};

// True for a live serial stream record.
#define aVALIDSS(s) ((s) != nullptr && (s)->check == aSERIALSTREAMCHECK)

// The termios speed constant of a baud index (B0 for an index without one).
speed_t aSerial_SpeedOfIndex(int baudIndex);
