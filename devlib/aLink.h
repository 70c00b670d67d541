// The link engine: one open connection to a module.
//
// A link is a byte stream (aStream) with two packet FIFOs, a reader thread
// that turns incoming bytes into packets and a writer thread that sends the
// queued ones. The reader answers the module's heartbeats by itself, offers
// every packet to an optional user filter and files the rest into the
// incoming FIFO, where callers search for their replies. Links are known to
// their users only by a positive integer id, looked up in a process-wide
// registry; creating a link to a module that already has one shares it, and
// the link ends when its last user destroys it.
//
// No function here prints (unless the library's diagnostic switch is on),
// throws or exits. Ids that are not registered are refused with the result
// named at each function (aErrParam, null, 0 or kLinkStatusInvalid).
//
// Threads: any thread may call any function. A link's packets travel through
// its FIFOs, which are thread-safe; the user filter runs on the reader thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"
#include "devlib/aPacket.h"
#include "devlib/aStream.h"

// Link status values (aLink_GetStatus).
enum : int {
    kLinkStatusStopped = 0,     // initialised with a stream, threads not running
    kLinkStatusStarting = 1,    // threads being started
    kLinkStatusRunning = 2,     // running and synchronised: replies can be awaited
    kLinkStatusStopping = 3,    // being stopped
    kLinkStatusSyncing = 4,     // synchronising with the module
    kLinkStatusInvalid = 5,     // no stream, or no such link
    kLinkStatusIOError = 6,     // the last stream read failed
    kLinkStatusPacketError = 8, // an incoming packet was refused by the incoming FIFO
};

// A packet filter: true when the packet is the one looked for. It may record
// what it found in the memory behind `reference`. The same form as the FIFO
// filters.
typedef bool (*aLinkPacketFilter)(const aPacket* packet, const void* reference);

// ---------------------------------------------------------------------------
// Creation. Each returns the link id, or 0 on failure (the failing step's
// code is not passed on). Creating a link to a module that already has one
// shares it: the use count rises and the same id comes back. Every id handed
// out must be given back with aLink_Destroy.

// A link to a module attached by USB, by its serial number. Creates the USB
// stream, starts the link, synchronises with the module and forces routing
// through this link. Fails (0) when the module's existing link has a link
// server attached (the module must then be reached as a client of that
// server) or when the USB stream cannot be opened. Blocks while the link
// starts and synchronises: at most about 4.5 seconds.
unsigned int aLink_CreateUSB(unsigned int serialNumber);

// A link to a module with its own network interface: ipAddress in network
// byte order (as in a linkSpec), port in host order. Connects a socket
// stream and starts the link; no synchronisation is done. Fails (0) when
// the connection cannot be made. Links are shared by address and port. Blocks while
// connecting (a few seconds at most) and starting (2 seconds at most).
unsigned int aLink_CreateTCPIP(unsigned int ipAddress, unsigned short port);

// A link over a serial port (8 data bits, no parity, one stop bit). The rate
// must be one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400; any
// other fails the creation and registers nothing. Links are shared by
// serial number. No synchronisation is done. Blocks while starting (2
// seconds at most).
unsigned int aLink_CreateSerial(unsigned int serialNumber, const char* portName,
                                unsigned int baudRate);

// A client link through a link server. With a non-zero existingLinkId, shares
// that link (0 when it does not exist). Link-server clients are not part of
// this build: a new client link cannot be made and the result is 0.
unsigned int aLink_CreateClient(unsigned int ipAddress, unsigned short port,
                                unsigned int existingLinkId);

// A USB link shared through a local link server, used through a client link.
// Link servers are not part of this build: the result is 0 and nothing is
// registered. Both pointers must be non-null.
unsigned int aLink_CreateServer(unsigned int serialNumber, unsigned short* port,
                                unsigned int* interfaceAddress, bool localOnly);

// A link over a caller-made stream, registered under no identifier (it is
// never shared by the create functions above). The link takes ownership of
// the stream, also on failure (the stream is destroyed then). The link is
// initialised (status kLinkStatusStopped) with a use count of 1 but not
// started: call aLink_Start. Returns the id, or 0 for an invalid stream or
// when memory is exhausted. Does not block.
unsigned int aLink_Create(aStream* stream);

// ---------------------------------------------------------------------------
// Life cycle.

// Starts the reader and writer threads, waits until both run (at most 2
// seconds, in 10 ms polls) and queues a force-route packet with value 1.
// Success at once when the link already runs. aErrParam for an id that is
// not registered, aErrResource when a thread cannot be created,
// aErrIndexRange when the threads did not come up in time; otherwise the
// result of queuing the force-route packet.
aErr aLink_Start(unsigned int id);

// Synchronises with the module: sends cmdMAGIC packets until the module's
// answers (A 0 A 0 from its address A) come in order, waiting at most 2
// seconds (10 ms polls), then discards the leftover magic packets and their
// answers (which takes a further 100 ms). aErrParam for an id that is not
// registered, aErrNotReady when synchronisation did not come in time.
aErr aLink_Sync(unsigned int id);

// Stops the link and starts it again over a fresh stream: USB by serial
// number, TCP/IP by address and port, up to 20 attempts 100 ms apart. The
// FIFOs are made anew (queued packets are lost), the user filter is removed
// and pooling is switched off. When no stream could be made, the link is
// started without one (status kLinkStatusInvalid, then kLinkStatusIOError).
// Links of other types (serial, caller-made) cannot re-create their stream:
// aErrParam, and the link is left untouched. aErrParam also for an id that is
// not registered. Otherwise the result of starting again. Blocks up to about
// 5 seconds.
aErr aLink_Reset(unsigned int id);

// Gives one use of the link back and sets *id to 0. While other users remain
// the link keeps running. The last use stops the threads (after the writer
// has sent what is queued, the force-route release among it) and frees the
// stream, the FIFOs and the record. aErrParam for a null pointer or an id that
// is not registered. Blocks while the threads stop (about a second at most).
aErr aLink_Destroy(unsigned int* id);

// The link's status (kLinkStatus...), kLinkStatusInvalid for an id that is
// not registered. Never blocks.
int aLink_GetStatus(unsigned int id);

// ---------------------------------------------------------------------------
// Packets. Packets handed out are new records owned by the caller, who frees
// them with aPacket_Destroy.

// Queues a copy of the packet for the writer. aErrParam for an id that is not
// registered or an invalid packet; otherwise the FIFO's result. Never blocks.
aErr aLink_PutPacket(unsigned int id, const aPacket* packet);

// Takes the oldest incoming packet without waiting; null when none.
aPacket* aLink_GetPacket(unsigned int id);

// Takes the oldest incoming packet, waiting at most `milliseconds`; null on
// time-out or for an id that is not registered.
aPacket* aLink_AwaitPacket(unsigned int id, unsigned long milliseconds);

// Takes the oldest incoming packet the filter accepts, without waiting.
aPacket* aLink_GetFirst(unsigned int id, aLinkPacketFilter filter, const void* reference);

// Waits, at most `milliseconds`, for an incoming packet the filter accepts,
// while the link runs and is synchronised (status kLinkStatusRunning). A
// link in any other status makes the wait return null at once. Null also on
// time-out and for an id that is not registered. Each packet is offered to
// the filter at most once.
aPacket* aLink_AwaitFirst(unsigned int id, aLinkPacketFilter filter, const void* reference,
                          unsigned long milliseconds);

// Removes every incoming packet the filter accepts; returns how many (0 for
// an id that is not registered).
size_t aLink_DrainPackets(unsigned int id, aLinkPacketFilter filter, const void* reference);

// Installs the user filter, which sees every complete incoming packet first,
// on the reader thread; returning true consumes the packet (it reaches
// neither the heartbeat responder nor the incoming FIFO). A null filter
// removes it. Installing waits for a filter call in progress to end.
// aErrParam for an id that is not registered.
aErr aLink_InstallUserPacketFilter(unsigned int id, aLinkPacketFilter filter,
                                   const void* reference);

// Switches pooling: the writer then sends as many queued packets as fit in
// 4096 bytes with one transport write. aErrParam for an id that is not
// registered.
aErr aLink_EnablePooledPackets(unsigned int id, bool enable);

// Queues a cmdFORCEROUTE packet (address 0xAF, one data byte `value`: 1
// forces routing through this link, 0 releases it). aErrNotFound for an id
// that is not registered, aErrParam when the link has no record,
// aErrMemory when the packet cannot be made; otherwise the queuing result.
aErr aLink_ForceRoute(unsigned int id, uint8_t value);
