// Command codes and special addresses of the module packet protocol.
//
// A packet on the wire is an address byte, a length byte and at most 28 data
// bytes. For every ordinary packet the first data byte is the command. Two
// odd address values are commands in their own right and are sent with the
// command value in the address byte.
#pragma once

#include <cstdint>

// Special addresses.
// Synchronisation and address query, sent with no data; a module answers
// with a packet of length 0 from its own address.
constexpr uint8_t cmdMAGIC = 0xAD;
// One data byte: 1 forces routing through this link, 0 releases it; sent
// when a link starts and when it stops.
constexpr uint8_t cmdFORCEROUTE = 0xAF;
constexpr uint8_t val_FORCEROUTE_ON = 1;
constexpr uint8_t val_FORCEROUTE_OFF = 0;

// Command codes (first data byte).
constexpr uint8_t cmdHEARTBEAT = 0;   // heartbeat between module and host, not UEI
constexpr uint8_t cmdSYSTEM = 3;      // the system entity (UEI)
constexpr uint8_t cmdSLOT = 4;        // store slots, not UEI
constexpr uint8_t cmdI2C = 8;         // the I2C entity, not UEI
constexpr uint8_t cmdDEBUG = 23;      // echo test, not UEI
constexpr uint8_t cmdMODULEINFO = 73; // build number, entity presence and quantities, not UEI
constexpr uint8_t cmdSTREAM = 93;     // value streaming (UEI)
constexpr uint8_t cmdFACTORY = 94;    // factory data, not UEI
constexpr uint8_t cmdUPGRADE = 95;    // the upgrade entity, not UEI except its option 10

// Command bytes that are not UEI payloads although they carry no code of
// their own in this system.
constexpr uint8_t cmdRESERVED1 = 1;
constexpr uint8_t cmdRESERVED2 = 2;
constexpr uint8_t cmdRESERVED9 = 9;
constexpr uint8_t cmdRESERVED24 = 24;
