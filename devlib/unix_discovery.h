// The operating-system side of TCP/IP discovery: the UDP multicast query
// that modules with their own network interface answer, and the decoding of
// their replies.
//
// The query is one 16-byte datagram (byte 0 = 1, the rest 0) sent to
// 232.2.2.2:9888 from every local IPv4 interface other than 0.0.0.0 and
// 127.0.0.1. Each module answers with a 16-byte datagram to UDP port 9889 of
// the asking host (multi-byte fields little-endian):
//
//   byte 0       not used
//   byte 1       module address
//   bytes 2-3    TCP port of the module
//   bytes 4-7    serial number
//   bytes 8-11   not used
//   byte 12      model code
//   bytes 13-15  not used
//
// The walk itself is aDiscovery_EnumerateTCPIPModules (devlib/discover.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aDefs.h"

// Wire constants of the TCP/IP discovery exchange.
constexpr const char* kDiscoveryTCPIPGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryTCPIPQueryPort = 9888;
constexpr uint16_t kDiscoveryTCPIPReplyPort = 9889;
constexpr size_t kDiscoveryTCPIPDatagramBytes = 16;
constexpr uint8_t kDiscoveryTCPIPQueryMarker = 1;
// The listener gives up this long after the last reply.
constexpr int kDiscoveryTCPIPReceiveTimeoutMs = 2000;
// A walk takes at most this many replies, so a flood cannot keep it going.
constexpr int kDiscoveryTCPIPMaxReplies = 255;

// Fills `where` from one discovery reply of `length` bytes received from
// `sourceAddress` (IPv4, network byte order as received): link type TCP/IP,
// serial number, module address, router address = module address, router
// serial number = serial number, model code, address, port; every other
// field 0. Returns false, leaving `where` untouched, for a null pointer or a
// reply shorter than 16 bytes (its fields would not be defined). Never blocks.
bool aDiscovery_DecodeTCPIPReply(const uint8_t* reply, size_t length, uint32_t sourceAddress,
                                 linkSpec* where);
