// The link engine's insides: the link record, the process-wide registry of
// links and its entries. Used by the link engine itself and by units that
// extend a link (the packet debug log, the link server); users of links go
// through devlib/aLink.h.
//
// The registry (list head, next id and the mutex "aLink_Managed", made on
// first use) guards the entry list, the ids and the use counts only. Each
// registry function takes the mutex for its own duration and never while a
// link operation runs, so an entry pointer handed out stays valid only as
// long as the caller holds a use of the link.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"
#include "devlib/aLink.h"
#include "devlib/aPacket.h"
#include "devlib/aStream.h"
#include "devlib/packetfifo.h"
#include "devlib/unix_mutex.h"
#include "devlib/unix_thread.h"

// Check word of an initialised link record.
#define aLINKCHECK 0xCEED

// Synchronisation states of the reader.
enum : int {
    kSyncStateNone = 0,  // synchronised, or not begun
    kSyncStateStart = 1, // restarting: the next byte restarts synchronisation
    kSyncStateByte1 = 2, // waiting for the module's address
    kSyncStateByte2 = 3, // waiting for the zero length after it
    kSyncStateByte3 = 4, // waiting for the same address again
    kSyncStateByte4 = 5, // waiting for the second zero length
};

// The FIFO handle type, as the packet FIFO hands it out.
typedef decltype(aPacketFifo_Create()) aLinkFifo;

// The packet debug ring (kept by the packet debug log unit).
struct aPacketLog;

// One link. Fields polled across threads are atomic; the rest are written
// only while the threads are not running, or under the mutex named beside
// them.
struct aLinkRecord {
    uint16_t check;                   // aLINKCHECK once initialised
    unsigned int id;                  // the link id
    std::atomic<bool> running;        // the threads keep going while true
    std::atomic<int> status;          // kLinkStatus...
    aLinkFifo incoming;               // packets from the module
    aPacket* assembling;              // the packet the reader is assembling (reader only)
    aLinkFifo outgoing;               // packets for the module
    aThread* reader;                  // the reader thread
    aThread* writer;                  // the writer thread
    std::atomic<bool> readerStarted;  // set by the reader when it runs
    std::atomic<bool> writerStarted;  // set by the writer when it runs
    aStream* stream;                  // the transport, owned by the link
    std::atomic<int> syncState;       // kSyncState...
    std::atomic<uint8_t> syncAddress; // address seen in the first answer while synchronising
    aPacketLog* packetLog;            // the packet debug ring, or null
    uint32_t packetLogSize;           // its size, 0 for the default
    aMutex* logMutex;                 // guards packetLog once made
    aLinkPacketFilter userFilter;     // sees every incoming packet first (under userFilterMutex)
    const void* userFilterReference;  // passed to the user filter
    aMutex* userFilterMutex;          // "aLink(%p)->userFilterSema"
    std::atomic<bool> pooled;         // the writer batches queued packets
    uint64_t syncStartedMS;           // when synchronisation last (re)started (reader only)
};

// One registry entry.
struct aLinkEntry {
    unsigned int id;           // the link id, from 1
    unsigned int servedLinkId; // the USB link a client link's server shares, or 0
    void* server;              // the link server attached to this USB link, or null
    unsigned int identifier;   // serial number (USB, serial) or IPv4 address (TCP/IP, aEther)
    unsigned int port;         // TCP port (TCP/IP, aEther), else 0
    unsigned int clientNumber; // aEther client links: which client this is
    unsigned int linkType;     // linkType of devlib/aDefs.h
    int16_t useCount;          // users sharing the link
    aLinkRecord* link;         // the link record
    aLinkEntry* next;          // next entry (newest first)
};

// Registers a new entry with a fresh, zeroed link record; use count 0.
// Returns the new id, or 0 when memory is exhausted.
unsigned int sCreate(unsigned int identifier, unsigned int port, unsigned int linkType);
unsigned int sCreate2(unsigned int identifier, unsigned int port, unsigned int clientNumber,
                      unsigned int linkType);
// Lookups; null when nothing matches. By identifier: the first (newest)
// entry with it; links over caller-made streams (link type 0) are never found
// this way.
aLinkEntry* sLookupEntryByID(unsigned int id);
aLinkEntry* sLookupEntryByIdentifier(unsigned int identifier);
aLinkEntry* sLookupEntryByTrident(unsigned int identifier, unsigned int port,
                                  unsigned int clientNumber);
// Unlinks the entry from the registry and hands it to the caller (who frees
// it with sFreeEntry); null when not registered.
aLinkEntry* sExtractEntry(unsigned int id);
// Frees an extracted entry (not its link record's contents).
void sFreeEntry(aLinkEntry** entry);
// Adds delta to the use count and returns the new count.
int sChangeUseCount(aLinkEntry* entry, int delta);
// The link record of a registered id, or null.
aLinkRecord* sGetLink(unsigned int id);
// Number of registered links (for tests and diagnostics).
size_t sRegistrySize();

// Stops a link's threads: queues the force-route release, lets the writer
// send everything queued, joins both threads. A link already stopped (or
// stopping) is left alone. aErrParam for a null record, aErrUnknown when a
// join fails. Blocks until the threads end (about a second at most).
aErr aLink_Stop(aLinkRecord* link);

// Packet debug log hooks, provided by the packet debug log unit. The link
// threads record packets only when a ring exists, and a ring can only exist
// when that unit is linked in; until then these stay unresolved (weak).
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, unsigned int length, const uint8_t* payload)
    __attribute__((weak));
aErr aPacketLog_Destroy(aPacketLog** log) __attribute__((weak));
