// Definitions shared by the whole device library and its users: link types,
// the link specifier record that says where a module is, and the table of
// model names.
#pragma once

#include <cstdint>

// How a module is reached. The values travel inside linkSpec records and on
// the command line (-t), so they are fixed.
typedef uint32_t linkType;
enum : linkType {
    linkTypeInvalid = 0, // none
    linkTypeUSB = 1,     // USB bulk endpoints or the kernel driver node
    linkTypeTCPIP = 2,   // direct TCP connection to a module with its own network interface
    linkTypeSerial = 3,  // serial port
    linkTypeAEther = 4,  // client connection to a link server sharing a USB-attached module
};

// Where a module is and how to reach it. A fixed 128-byte record, copied
// whole and also sent whole over the network by link servers, so its layout
// never changes. Integer fields are in the host's byte order, except the IPv4
// address, which is in network byte order.
struct linkSpec {
    linkType type;               //  0: linkType
    uint32_t serialNumber;       //  4: the module's serial number
    uint32_t moduleAddress;      //  8: address on its I2C network (0: not yet known)
    uint32_t routerAddress;      // 12: address of the router module (0: none)
    uint32_t routerSerialNumber; // 16: serial number of the router module (0: none)
    uint32_t model;              // 20: model code
    // 24: by link type: IPv4 address in network byte order (TCP/IP, aEther),
    // the serial number again (USB), the baud rate (serial).
    uint32_t address;
    union {
        uint32_t port;      // 28: TCP port, a 16-bit value (TCP/IP, aEther)
        char portName[100]; // 28: serial links: device name, zero-terminated
    };
};
static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed 128-byte record");

// Display name of a model code, "Unknown" for codes without one. The returned
// text is static and never freed.
const char* aDefs_GetModelName(uint32_t model);
