// The link engine: link records, their reader and writer threads, byte-level
// synchronisation with a module, dispatch of incoming packets and the
// creation paths by transport.
#include "devlib/aLink.h"

#include <cstdio>
#include <cstring>

#include "devlib/aDefs.h"
#include "devlib/aLinkManagerInternal.h"
#include "devlib/unix_time.h"

namespace {

// Starting: poll for both threads running, every 10 ms, at most 200 times.
constexpr unsigned long kLinkStartPollMS = 10;
constexpr int kLinkStartPolls = 200;
// Synchronising: poll for the synchronised status, every 10 ms, 200 times.
constexpr unsigned long kLinkSyncPollMS = 10;
constexpr int kLinkSyncPolls = 200;
// After synchronising, leftover answers to the magic packets are given this
// long to arrive before the incoming FIFO is drained.
constexpr unsigned long kLinkSyncSettleMS = 100;
// Number of cmdMAGIC packets sent per synchronisation attempt.
constexpr int kLinkMagicCount = 6;
// While synchronising over a transport whose reads return at once, an empty
// read restarts synchronisation only when the current attempt is at least
// this old, so that a module answering within this time is not flooded with
// fresh magic packets.
constexpr uint64_t kLinkSyncRetryMS = 100;
// The reader waits at most this long for the transport to have a byte before
// it looks at its running flag again; an idle link thus sleeps in the kernel
// and stops promptly.
constexpr unsigned long kLinkReaderWaitMS = 20;
// After a failed read the reader pauses this long before reading again.
constexpr unsigned long kLinkReadErrorPauseMS = 100;
// The writer waits this long for a queued packet before it looks at its
// running flag again (this bounds how long stopping waits for the writer).
constexpr unsigned long kLinkWriterWaitMS = 100;
// Pooled writes: the batch buffer, and the fill level up to which further
// packets are appended (a packet is at most 30 wire bytes, so the buffer
// never overflows).
constexpr size_t kLinkPoolBufferBytes = 4096;
constexpr size_t kLinkPoolFillLimit = 4066;
// Resetting: attempts to re-create the stream, and the pause between them.
constexpr int kLinkResetAttempts = 20;
constexpr unsigned long kLinkResetRetryMS = 100;

// Wire form of a packet: address, data size, data.
constexpr size_t kPacketWireMax = aPACKET_MAXWIRE;
// Packet debug record types.
constexpr uint8_t kPacketLogOutgoing = 1;
constexpr uint8_t kPacketLogIncoming = 2;

// Heartbeats: data size 2, first data byte cmdHEARTBEAT; the answer carries
// the received counter plus this.
constexpr uint8_t kHeartbeatSize = 2;
constexpr uint8_t kHeartbeatAnswerStep = 2;

size_t sWireBytes(const aPacket* packet, uint8_t* out) {
    out[0] = packet->address;
    out[1] = packet->dataSize;
    memcpy(out + 2, packet->data, packet->dataSize);
    return static_cast<size_t>(packet->dataSize) + 2;
}

bool sAcceptAll(const aPacket*, const void*) {
    return true;
}

void sRecordPacket(aLinkRecord* link, uint8_t type, const aPacket* packet) {
    if (link->packetLog == nullptr || link->logMutex == nullptr || aPacketLog_Put == nullptr) {
        return;
    }
    uint8_t wire[kPacketWireMax];
    size_t length = sWireBytes(packet, wire);
    aMutex_Lock(link->logMutex);
    aPacketLog_Put(link->packetLog, type, static_cast<unsigned int>(length), wire);
    aMutex_Unlock(link->logMutex);
}

aErr sQueueAddressOnly(aLinkRecord* link, uint8_t address) {
    static const uint8_t kNoData = 0;
    aPacket* packet = aPacket_CreateWithData(address, 0, &kNoData);
    if (packet == nullptr) {
        return aErrMemory;
    }
    aErr err = aPacketFifo_Put(link->outgoing, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr sQueueForceRoute(aLinkRecord* link, uint8_t value) {
    aPacket* packet = aPacket_CreateWithData(cmdFORCEROUTE, 1, &value);
    if (packet == nullptr) {
        return aErrMemory;
    }
    aErr err = aPacketFifo_Put(link->outgoing, packet);
    aPacket_Destroy(&packet);
    return err;
}

// ---------------------------------------------------------------------------
// Synchronisation (reader thread).

void sSyncStart(aLinkRecord* link) {
    if (aCorvantisDebugging(aDEBUG_LIFECYCLE)) {
        aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, "syncStart\n");
    }
    link->status = kLinkStatusSyncing;
    link->syncState = kSyncStateStart;
    link->syncStartedMS = aTime_GetMSTicks();
    aPacket_Reset(link->assembling);
    aErr err = aErrNone;
    for (int i = 0; i < kLinkMagicCount; i++) {
        err = sQueueAddressOnly(link, cmdMAGIC);
    }
    if (err == aErrNone) {
        link->syncState = kSyncStateByte1;
    }
}

// Feeds one received byte to the synchronisation state machine. The module
// answers each cmdMAGIC with an empty packet from its own address, so two
// answers in a row read A 0 A 0.
void sSyncByte(aLinkRecord* link, uint8_t byte) {
    switch (link->syncState.load()) {
    case kSyncStateByte1:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncStateByte2;
        } else {
            sSyncStart(link);
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateNone;
            aPacket_Reset(link->assembling);
            link->status = kLinkStatusRunning;
            if (aCorvantisDebugging(aDEBUG_LIFECYCLE)) {
                aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, "synced\n");
            }
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default: // kSyncStateStart, kSyncStateNone: this byte restarts it
        sSyncStart(link);
        break;
    }
}

// ---------------------------------------------------------------------------
// Dispatch (reader thread).

aErr sDispatch(aLinkRecord* link, const aPacket* packet) {
    sRecordPacket(link, kPacketLogIncoming, packet);
    bool consumed = false;
    aMutex_Lock(link->userFilterMutex);
    if (link->userFilter != nullptr) {
        consumed = link->userFilter(packet, link->userFilterReference);
    }
    aMutex_Unlock(link->userFilterMutex);
    if (consumed) {
        return aErrNone;
    }
    if (packet->dataSize == kHeartbeatSize && packet->data[0] == cmdHEARTBEAT) {
        uint8_t answer[kHeartbeatSize] = {
            cmdHEARTBEAT,                                                 // heartbeat answer
            static_cast<uint8_t>(packet->data[1] + kHeartbeatAnswerStep), // counter + 2
        };
        aPacket* reply = aPacket_CreateWithData(packet->address, kHeartbeatSize, answer);
        if (reply == nullptr) {
            return aErrMemory;
        }
        aErr err = aPacketFifo_Put(link->outgoing, reply);
        aPacket_Destroy(&reply);
        return err;
    }
    return aPacketFifo_Put(link->incoming, packet);
}

// ---------------------------------------------------------------------------
// The threads.

void sReaderThread(aLinkRecord* link) {
    link->syncAddress = 1;
    link->readerStarted = true;
    link->status = kLinkStatusRunning;
    link->syncState = kSyncStateNone;
    while (link->running) {
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            if (aStream_Wait(link->stream, kLinkReaderWaitMS) == aErrNone) {
                continue; // something to read now
            }
            // An empty read.
            if (link->status == kLinkStatusSyncing &&
                (link->syncState == kSyncStateNone ||
                 aTime_GetMSTicks() - link->syncStartedMS >= kLinkSyncRetryMS)) {
                sSyncStart(link);
            }
            continue;
        }
        if (err != aErrNone) {
            link->status = kLinkStatusIOError;
            aTime_MSSleep(kLinkReadErrorPauseMS);
            continue;
        }
        if (link->status == kLinkStatusSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        if (aPacket_AddByte(link->assembling, byte) != aErrNone) {
            // Out of step with the module: the partial packet is dropped.
            if (aCorvantisDebugging(aDEBUG_LIFECYCLE)) {
                aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, "Out of sync\n");
            }
            sSyncStart(link);
            continue;
        }
        if (aPacket_IsComplete(link->assembling)) {
            if (sDispatch(link, link->assembling) != aErrNone) {
                link->status = kLinkStatusPacketError;
            }
            aPacket_Reset(link->assembling);
        }
    }
}

void sTracePacket(const aLinkRecord* link, const aPacket* packet) {
    if (!aCorvantisDebugging(aDEBUG_PACKETS)) {
        return;
    }
    char text[3 * aPACKET_MAXDATA + 1] = "";
    for (uint8_t i = 0; i < packet->dataSize; i++) {
        snprintf(text + 3 * i, sizeof(text) - 3 * i, "%02X ", packet->data[i]);
    }
    aCorvantisDebugPrintf(aDEBUG_PACKETS, " sOutPipeProcess(%u) ADDR:%02X, LEN:%02X, [%s]\n",
                          link->id, packet->address, packet->dataSize, text);
}

aErr sWritePacket(aLinkRecord* link, const aPacket* packet) {
    sTracePacket(link, packet);
    uint8_t wire[kPacketWireMax];
    size_t length = sWireBytes(packet, wire);
    aErr err = aStream_Write(link->stream, wire, length);
    sRecordPacket(link, kPacketLogOutgoing, packet);
    return err;
}

void sWriterThread(aLinkRecord* link) {
    link->writerStarted = true;
    uint8_t* batch = nullptr;
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outgoing, kLinkWriterWaitMS);
        if (packet == nullptr) {
            continue;
        }
        if (!link->pooled) {
            sWritePacket(link, packet); // write errors are nobody's to handle
            aPacket_Destroy(&packet);
            continue;
        }
        if (batch == nullptr) {
            batch = new uint8_t[kLinkPoolBufferBytes];
        }
        sTracePacket(link, packet);
        size_t filled = sWireBytes(packet, batch);
        sRecordPacket(link, kPacketLogOutgoing, packet);
        aPacket_Destroy(&packet);
        while (filled <= kLinkPoolFillLimit) {
            aPacket* more = aPacketFifo_Get(link->outgoing);
            if (more == nullptr) {
                break;
            }
            filled += sWireBytes(more, batch + filled);
            aPacket_Destroy(&more);
        }
        aStream_Write(link->stream, batch, filled);
    }
    delete[] batch;
    // Send what is still queued (the force-route release among it), one
    // write each. A transport that refuses a write ends this at once, so a
    // broken connection cannot hold the stop for every queued packet.
    for (;;) {
        aPacket* packet = aPacketFifo_Get(link->outgoing);
        if (packet == nullptr) {
            break;
        }
        aErr err = sWritePacket(link, packet);
        aPacket_Destroy(&packet);
        if (err != aErrNone) {
            aPacketFifo_DrainPackets(link->outgoing, sAcceptAll, nullptr);
            break;
        }
    }
}

void* sReaderEntry(void* argument) {
    sReaderThread(static_cast<aLinkRecord*>(argument));
    return nullptr;
}

void* sWriterEntry(void* argument) {
    sWriterThread(static_cast<aLinkRecord*>(argument));
    return nullptr;
}

// ---------------------------------------------------------------------------
// Records.

// Initialises the link record of a registered id over a stream (which may be
// null). Returns the id, or 0 when the entry, its record or a part of it is
// missing.
unsigned int aLink_Init(unsigned int id, aStream* stream) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr || entry->link == nullptr) {
        return 0;
    }
    aLinkRecord* link = entry->link;
    link->id = id;
    link->check = aLINKCHECK;
    link->running = false;
    link->status = stream != nullptr ? kLinkStatusStopped : kLinkStatusInvalid;
    link->stream = stream;
    link->incoming = aPacketFifo_Create();
    link->outgoing = aPacketFifo_Create();
    link->reader = nullptr;
    link->writer = nullptr;
    link->readerStarted = false;
    link->writerStarted = false;
    link->syncState = kSyncStateNone;
    link->syncStartedMS = 0;
    link->packetLog = nullptr;
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    link->pooled = false;
    link->assembling = aPacket_Create();
    char name[64];
    snprintf(name, sizeof(name), "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterMutex = aMutex_Create(name);
    if (link->incoming == 0 || link->outgoing == 0 || link->assembling == nullptr ||
        link->userFilterMutex == nullptr) {
        return 0;
    }
    return id;
}

// Frees what aLink_Init made (not the stream).
void sReleaseParts(aLinkRecord* link) {
    if (link->incoming != 0) {
        aPacketFifo_Destroy(&link->incoming);
    }
    if (link->outgoing != 0) {
        aPacketFifo_Destroy(&link->outgoing);
    }
    if (link->assembling != nullptr) {
        aPacket_Destroy(&link->assembling);
    }
    if (link->userFilterMutex != nullptr) {
        aMutex_Destroy(&link->userFilterMutex);
    }
    if (link->packetLog != nullptr && aPacketLog_Destroy != nullptr) {
        aPacketLog_Destroy(&link->packetLog);
    }
    link->packetLog = nullptr;
}

// Waits, in polls, for a condition; true when it came.
template <typename Condition> bool sPoll(unsigned long everyMS, int times, Condition condition) {
    for (int i = 0; i < times; i++) {
        if (condition()) {
            return true;
        }
        aTime_MSSleep(everyMS);
    }
    return condition();
}

// Registers a link over a stream that has just been made. On failure the
// entry and the stream are destroyed and 0 is returned.
unsigned int sRegisterWithStream(unsigned int id, aStream* stream) {
    if (aLink_Init(id, stream) != id) {
        unsigned int doomed = id;
        aLink_Destroy(&doomed);
        return 0;
    }
    return id;
}

} // namespace

// ---------------------------------------------------------------------------
// Life cycle.

aErr aLink_Start(unsigned int id) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr) {
        return aErrParam;
    }
    if (link->running) {
        return aErrNone;
    }
    link->running = true;
    link->status = kLinkStatusStarting;
    link->readerStarted = false;
    link->writerStarted = false;
    link->reader = aThread_Create(sReaderEntry, link);
    if (link->reader == nullptr) {
        link->running = false;
        link->status = kLinkStatusStopped;
        return aErrResource;
    }
    link->writer = aThread_Create(sWriterEntry, link);
    if (link->writer == nullptr) {
        link->running = false;
        aThread_Destroy(&link->reader);
        link->readerStarted = false;
        link->status = kLinkStatusStopped;
        return aErrResource;
    }
    bool up = sPoll(kLinkStartPollMS, kLinkStartPolls, [link] {
        return link->readerStarted && link->writerStarted && link->status == kLinkStatusRunning;
    });
    if (!up) {
        return aErrIndexRange;
    }
    return aLink_ForceRoute(id, 1);
}

aErr aLink_Stop(aLinkRecord* link) {
    if (link == nullptr) {
        return aErrParam;
    }
    int status = link->status;
    if (status == kLinkStatusStopping || status == kLinkStatusStopped) {
        return aErrNone;
    }
    link->status = kLinkStatusStopping;
    aErr err = aErrNone;
    if (link->reader != nullptr && link->writer != nullptr) {
        sQueueForceRoute(link, 0);
        link->running = false;
        (void)aStream_Wake(link->stream);
        if (aThread_Destroy(&link->reader) != 0) {
            err = aErrUnknown;
        }
        if (aThread_Destroy(&link->writer) != 0) {
            err = aErrUnknown;
        }
    }
    link->running = false;
    link->readerStarted = false;
    link->writerStarted = false;
    if (link->assembling != nullptr) {
        aPacket_Reset(link->assembling);
    }
    link->status = kLinkStatusStopped;
    return err;
}

aErr aLink_Sync(unsigned int id) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr) {
        return aErrParam;
    }
    if (aCorvantisDebugging(aDEBUG_LIFECYCLE)) {
        aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, " aLink_Sync(%u)\n", id);
    }
    // The reader restarts synchronisation at its next byte or empty read.
    link->syncState = kSyncStateNone;
    link->status = kLinkStatusSyncing;
    // A reader waiting in a long transport read (USB) returns at once.
    (void)aStream_Wake(link->stream);
    bool synced = sPoll(kLinkSyncPollMS, kLinkSyncPolls,
                        [link] { return link->status == kLinkStatusRunning; });
    // Discard the magic packets not yet sent, then the answers to those sent.
    aPacketFifo_DrainPackets(link->outgoing, sAcceptAll, nullptr);
    aTime_MSSleep(kLinkSyncSettleMS);
    aPacketFifo_DrainPackets(link->incoming, sAcceptAll, nullptr);
    return synced ? aErrNone : aErrNotReady;
}

aErr aLink_Reset(unsigned int id) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr || entry->link == nullptr) {
        return aErrParam;
    }
    // Only USB and TCP/IP streams can be made again from what the registry
    // knows. Other links are left as they are rather than torn down into a
    // link without a stream.
    if (entry->linkType != linkTypeUSB && entry->linkType != linkTypeTCPIP) {
        return aErrParam;
    }
    aLinkRecord* link = entry->link;
    aLink_Stop(link);
    // The user filter goes with the old record's parts.
    aMutex_Lock(link->userFilterMutex);
    link->userFilter = nullptr;
    link->userFilterReference = nullptr;
    aMutex_Unlock(link->userFilterMutex);
    sReleaseParts(link);
    if (link->stream != nullptr) {
        aStream_Destroy(&link->stream);
    }
    aStream* stream = nullptr;
    for (int attempt = 0; attempt < kLinkResetAttempts; attempt++) {
        aErr err = entry->linkType == linkTypeUSB
                       ? aStream_CreateUSB(entry->identifier, &stream)
                       : aStream_CreateSocket(entry->identifier,
                                              static_cast<unsigned short>(entry->port), &stream);
        if (err == aErrNone && stream != nullptr) {
            break;
        }
        stream = nullptr;
        aTime_MSSleep(kLinkResetRetryMS);
    }
    // A link whose stream could not be made again is initialised without
    // one (kLinkStatusInvalid): its FIFOs work, its reader reports errors.
    aLink_Init(id, stream);
    return aLink_Start(id);
}

aErr aLink_Destroy(unsigned int* id) {
    if (id == nullptr) {
        return aErrParam;
    }
    unsigned int which = *id;
    *id = 0;
    aLinkEntry* entry = sLookupEntryByID(which);
    if (entry == nullptr) {
        return aErrParam;
    }
    if (sChangeUseCount(entry, -1) > 0) {
        return aErrNone;
    }
    if (entry->link != nullptr && entry->link->userFilterMutex != nullptr) {
        aLink_InstallUserPacketFilter(which, nullptr, nullptr);
    }
    entry = sExtractEntry(which);
    if (entry == nullptr) {
        return aErrParam; // destroyed by another thread meanwhile
    }
    aLinkRecord* link = entry->link;
    if (link == nullptr) {
        sFreeEntry(&entry);
        return aErrUnknown;
    }
    aErr err = aLink_Stop(link);
    // Link servers are not part of this build, so no entry has one attached.
    if (entry->servedLinkId != 0) {
        unsigned int served = entry->servedLinkId;
        aLink_Destroy(&served);
    }
    sReleaseParts(link);
    if (link->logMutex != nullptr) {
        aMutex_Destroy(&link->logMutex);
    }
    if (link->stream != nullptr) {
        aStream_Destroy(&link->stream);
    }
    link->check = 0;
    delete link;
    sFreeEntry(&entry);
    return err;
}

int aLink_GetStatus(unsigned int id) {
    aLinkRecord* link = sGetLink(id);
    return link == nullptr ? kLinkStatusInvalid : link->status.load();
}

// ---------------------------------------------------------------------------
// Packets.

aErr aLink_PutPacket(unsigned int id, const aPacket* packet) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr || !aVALIDPACKET(packet)) {
        return aErrParam;
    }
    return aPacketFifo_Put(link->outgoing, packet);
}

aPacket* aLink_GetPacket(unsigned int id) {
    aLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : aPacketFifo_Get(link->incoming);
}

aPacket* aLink_AwaitPacket(unsigned int id, unsigned long milliseconds) {
    aLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : aPacketFifo_Await(link->incoming, milliseconds);
}

aPacket* aLink_GetFirst(unsigned int id, aLinkPacketFilter filter, const void* reference) {
    aLinkRecord* link = sGetLink(id);
    return link == nullptr ? nullptr : aPacketFifo_GetFirst(link->incoming, filter, reference);
}

aPacket* aLink_AwaitFirst(unsigned int id, aLinkPacketFilter filter, const void* reference,
                          unsigned long milliseconds) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr) {
        return nullptr;
    }
    uint64_t deadline = static_cast<uint64_t>(aTime_GetMSTicks()) + milliseconds;
    aPacket* found = nullptr;
    while (found == nullptr && link->running && link->status == kLinkStatusRunning) {
        uint64_t now = aTime_GetMSTicks();
        if (now >= deadline) {
            break;
        }
        found = aPacketFifo_AwaitFirst(link->incoming, filter, reference,
                                       static_cast<unsigned long>(deadline - now));
    }
    return found;
}

size_t aLink_DrainPackets(unsigned int id, aLinkPacketFilter filter, const void* reference) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr) {
        return 0;
    }
    return static_cast<size_t>(aPacketFifo_DrainPackets(link->incoming, filter, reference));
}

aErr aLink_InstallUserPacketFilter(unsigned int id, aLinkPacketFilter filter,
                                   const void* reference) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr || link->userFilterMutex == nullptr) {
        return aErrParam;
    }
    aMutex_Lock(link->userFilterMutex);
    link->userFilter = filter;
    link->userFilterReference = filter != nullptr ? reference : nullptr;
    aMutex_Unlock(link->userFilterMutex);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(unsigned int id, bool enable) {
    aLinkRecord* link = sGetLink(id);
    if (link == nullptr) {
        return aErrParam;
    }
    link->pooled = enable;
    return aErrNone;
}

aErr aLink_ForceRoute(unsigned int id, uint8_t value) {
    aLinkEntry* entry = sLookupEntryByID(id);
    if (entry == nullptr) {
        return aErrNotFound;
    }
    if (entry->link == nullptr) {
        return aErrParam;
    }
    return sQueueForceRoute(entry->link, value);
}

// ---------------------------------------------------------------------------
// Creation.

unsigned int aLink_Create(aStream* stream) {
    if (!aVALIDSTREAM(stream)) {
        return 0;
    }
    unsigned int id = sCreate(0, 0, linkTypeInvalid);
    if (id == 0) {
        aStream_Destroy(&stream);
        return 0;
    }
    if (sRegisterWithStream(id, stream) == 0) {
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

unsigned int aLink_CreateUSB(unsigned int serialNumber) {
    aLinkEntry* existing = sLookupEntryByIdentifier(serialNumber);
    if (existing != nullptr) {
        if (existing->server != nullptr) {
            return 0; // shared through its link server: reach it as a client
        }
        sChangeUseCount(existing, 1);
        return existing->id;
    }
    unsigned int id = sCreate(serialNumber, 0, linkTypeUSB);
    if (id == 0) {
        return 0;
    }
    aStream* stream = nullptr;
    if (aStream_CreateUSB(serialNumber, &stream) != aErrNone || stream == nullptr) {
        aLink_Destroy(&id);
        return 0;
    }
    if (sRegisterWithStream(id, stream) == 0) {
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    if (aLink_Start(id) != aErrNone || aLink_Sync(id) != aErrNone ||
        aLink_ForceRoute(id, 1) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

unsigned int aLink_CreateTCPIP(unsigned int ipAddress, unsigned short port) {
    // A link is shared only with the same address and port: two modules
    // behind one address (simulators on one host, a forwarding router) are
    // different modules.
    aLinkEntry* existing = sLookupEntryByTrident(ipAddress, port, 0);
    if (existing != nullptr) {
        sChangeUseCount(existing, 1);
        return existing->id;
    }
    unsigned int id = sCreate(ipAddress, port, linkTypeTCPIP);
    if (id == 0) {
        return 0;
    }
    // Without a connection there is no link: a link started without a
    // stream would only report read errors.
    aStream* stream = nullptr;
    if (aStream_CreateSocket(ipAddress, port, &stream) != aErrNone || stream == nullptr) {
        aLink_Destroy(&id);
        return 0;
    }
    if (sRegisterWithStream(id, stream) == 0) {
        return 0;
    }
    if (aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    return id;
}

unsigned int aLink_CreateSerial(unsigned int serialNumber, const char* portName,
                                unsigned int baudRate) {
    aLinkEntry* existing = sLookupEntryByIdentifier(serialNumber);
    if (existing != nullptr) {
        sChangeUseCount(existing, 1);
        return existing->id;
    }
    int baudIndex = aStream_SerialBaudIndex(baudRate);
    if (baudIndex < 0 || portName == nullptr) {
        return 0;
    }
    unsigned int id = sCreate(serialNumber, 0, linkTypeSerial);
    if (id == 0) {
        return 0;
    }
    aStream* stream = nullptr;
    if (aStream_CreateSerial(portName, baudIndex, false, 0, 0, &stream) != aErrNone ||
        stream == nullptr) {
        aLink_Destroy(&id);
        return 0;
    }
    if (sRegisterWithStream(id, stream) == 0) {
        return 0;
    }
    sChangeUseCount(sLookupEntryByID(id), 1);
    if (aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

unsigned int aLink_CreateClient(unsigned int ipAddress, unsigned short port,
                                unsigned int existingLinkId) {
    (void)ipAddress;
    (void)port;
    if (existingLinkId == 0) {
        return 0; // link-server clients are not part of this build
    }
    aLinkEntry* existing = sLookupEntryByID(existingLinkId);
    if (existing == nullptr) {
        return 0;
    }
    sChangeUseCount(existing, 1);
    return existing->id;
}

unsigned int aLink_CreateServer(unsigned int serialNumber, unsigned short* port,
                                unsigned int* interfaceAddress, bool localOnly) {
    (void)serialNumber;
    (void)port;
    (void)interfaceAddress;
    (void)localOnly;
    return 0; // link servers are not part of this build
}
