// Discovery: which modules can be reached on a link type, and with which
// linkSpec each one is connected; and the functions that create, copy and
// free linkSpec records.
//
// A walk hands every module it finds, as a linkSpec, to the caller's
// callback. The walks run on the caller's thread and never report errors: a
// walk that cannot open its sockets or devices simply finds nothing.
//
// Network safety: the TCP/IP walk sends a UDP multicast query (232.2.2.2,
// port 9888) from every IPv4 interface but loopback, and listens on UDP port
// 9889 for two seconds after the last reply.
#pragma once

#include <cstdint>

#include "devlib/aDefs.h"
#include "devlib/aError.h"

// The callback of a walk. `where` is the module found, valid only during the
// call (copy it to keep it); `taken` is cleared before the call and set by a
// callback that takes the entry; `reference` is the caller's. Return true to
// go on, false to stop the walk.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* where, bool* taken, void* reference);

// The loopback address as stored in memory, the interface callers pass.
constexpr unsigned int kDiscoveryLoopbackInterface = 0x0100007F;

// Walks the modules of one link type: 1 USB, 2 TCP/IP (multicast query), 4
// link servers; any other type walks nothing. Returns how many entries the
// callback took (8 bits). `networkInterface` (an IPv4 address as stored in
// memory) is used by the link-server walk only. Blocks for the walk: the
// TCP/IP walk takes at least 2 seconds when a query went out.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* reference, unsigned int networkInterface);

// The module with this serial number on the link type, as a newly allocated
// linkSpec owned by the caller (free it with aLinkSpec_Destroy), or null when
// none answered. Blocks as aDiscovery_EnumerateModules (it stops at the
// module found).
linkSpec* aDiscovery_FindModule(linkType type, unsigned int serialNumber,
                                unsigned int networkInterface);

// The first module found with a non-zero serial number, as above, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, unsigned int networkInterface);

// A new linkSpec with every field zero except the link type; null when memory
// is exhausted. Freed with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(linkType type);

// A newly allocated copy of `where` (freed with aLinkSpec_Destroy); null when
// memory is exhausted.
linkSpec* aLinkSpec_Copy(linkSpec where);

// Frees *where and sets it to null. aErrParam for a null pointer or a
// pointer that is already null.
aErr aLinkSpec_Destroy(linkSpec** where);

// ---------------------------------------------------------------------------
// The walks behind aDiscovery_EnumerateModules, one per transport. Each has
// the contract of aDiscovery_EnumerateModules for its link type.

// USB: the family's devices on the library's libusb context (vendor 0x24FF,
// product IDs below 0x8000), each opened only to read its serial number.
uint8_t aDiscovery_EnumerateUSBModules(linkType type, aDiscoveryModuleFoundProc callback,
                                       void* reference);

// TCP/IP: the multicast query and its replies.
uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void* reference);

// Link servers (beacons on a network interface, or the loopback multicast
// channel for interface 0 or 127.0.0.1).
uint8_t aDiscovery_Enumerate_aEtherModules(aDiscoveryModuleFoundProc callback, void* reference,
                                           unsigned int networkInterface);
