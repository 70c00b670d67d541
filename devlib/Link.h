// The link object: how the module and entity classes talk to one module.
//
// A Link owns one link of the link engine (aLink) through its private
// implementation, keeps the linkSpec that says where its module is and the
// network configuration (aEtherConfig), connects from that specifier or by
// discovery, and offers the request/reply exchanges that run over a link:
// UEI requests and replies, raw command packets, store slots, factory data
// and the module-address query.
//
// Every exchange queues its request on the link's outgoing FIFO and waits
// for the reply on the incoming FIFO with a filter, so exchanges from several
// threads on one link work as long as their replies can be told apart.
// Nothing here throws or prints (except under the library's diagnostic
// switch). Results are aErr codes; a module's error reply is passed on as
// the module's own code.
//
// Unless stated otherwise an exchange needs a connected link (aErrConnection
// otherwise) and an even, non-zero module address (aErrPacket otherwise).
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aDefs.h"
#include "devlib/aError.h"
#include "devlib/aPacket.h"
#include "devlib/aUEI.h"

// A link's network configuration.
struct aEtherConfig {
    // Reach a USB module through a local link server instead of directly, and
    // allow client links to link servers.
    bool enabled = true;
    // When discovery or connection over USB or through a link server fails,
    // try the other of the two.
    bool fallback = true;
    // The link server serves and announces on this host only.
    bool localOnly = true;
    // The link server's port; filled in when a server is created.
    uint16_t port = 0;
    // IPv4 address of the interface used for discovery and for the server,
    // as stored in memory (0x0100007F is 127.0.0.1).
    uint32_t networkInterface = 0x0100007F;
};

namespace Halvern {
namespace Corvantis {

// Link status reported by getStatus() when the object holds no link.
constexpr int kLinkObjectNoLink = 8;

// Waits of the exchanges below, in milliseconds.
constexpr unsigned long kLinkReplyTimeoutMs = 1000; // UEI, raw packet, slot and factory replies
constexpr unsigned long kLinkLargeReplyTimeoutMs =
    4000;                                       // UEI replies of byte arrays above 1000 bytes
constexpr size_t kLinkLargePayloadBytes = 1000; // threshold for the longer wait
constexpr unsigned long kLinkSlotOpenTimeoutMs = 3000;      // opening a store slot
constexpr unsigned long kLinkModuleAddressTimeoutMs = 1000; // the cmdMAGIC answer
constexpr unsigned int kLinkWaitPollMs = 10;                // status polls while a link comes up
constexpr unsigned int kLinkWaitPolls = 200;                // at most this many polls

// The largest number of bytes a raw command packet carries after its command byte.
constexpr uint8_t kLinkMaxPacketArguments = 27;
// Bytes of one store-slot write or read chunk.
constexpr size_t kLinkSlotChunkBytes = 25;
// Bytes of one factory-data write chunk.
constexpr size_t kLinkFactoryChunkBytes = 26;

// The filter form of the link's waits: true when `packet` is the reply looked
// for. It may write what it decoded into the memory behind `reference`.
typedef bool (*LinkPacketFilter)(const aPacket* packet, const void* reference);

class Link {
public:
    // A link object for the module at `where`; `name` (at most 1024
    // characters are kept; null means "") labels it. No connection is made.
    Link(const linkSpec& where, const char* name);
    explicit Link(const char* name);
    // Releases the engine link (aLink_Destroy; the engine link ends with its
    // last user), the stored specifier and the name. Blocks while the link's
    // threads stop when this was its last user.
    virtual ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- Configuration -----------------------------------------------------

    // Copies the network configuration out. aErrParam for null.
    aErr getConfig(aEtherConfig* config) const;
    // Replaces the network configuration. aErrMode while connected.
    aErr setConfig(const aEtherConfig& config);
    // Copies the stored specifier out. aErrParam for null, aErrNotFound when
    // none is stored.
    aErr getLinkSpecifier(linkSpec* where) const;
    // Replaces the stored specifier. aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec& where);
    // The name given at construction; valid while the object lives.
    const char* getName() const;

    // --- Connection --------------------------------------------------------

    // Finds a module of `type` and connects to it: with a non-zero serial
    // number the module with that number, otherwise the first module whose
    // model code equals `model` (the first module of all for model 0). The
    // found specifier is stored. When that fails with aErrNotFound,
    // aErrInitialization or aErrConnection on USB or through a link server
    // (types 1 and 4) and the configuration allows fallback, the other of
    // the two types is tried. aErrNotFound when no module matches; otherwise
    // the result of connect(). Blocks for the discovery walk (about 2 s on
    // TCP/IP) and the connection.
    aErr discoverAndConnect(linkType type, unsigned int serialNumber, uint8_t model);
    // Connects from the stored specifier. aErrConnection when a link is
    // already held or the engine link cannot be made, aErrConfiguration
    // without a specifier (or for a link-server client without networking
    // enabled), aErrMode for an unknown link type, aErrBusy when the link is
    // stopping, aErrDuplicate for any other unexpected link status. Blocks
    // while the link is made and comes up (at most 2 s of status polls after
    // the engine's own creation time).
    aErr connect();
    // Shares `other`'s engine link and connects from the stored specifier
    // over it (reaching a module behind a router). aErrInitialization when
    // `other` holds no link; otherwise as connect().
    aErr connectThroughLinkModule(Link& other);
    // True when a link is held and its status is running (2).
    bool isConnected() const;
    // The engine link's status, or kLinkObjectNoLink without a link.
    int getStatus() const;
    // Gives the engine link back (the object holds none afterwards). Always
    // aErrNone. Blocks while the link's threads stop when this was its last user.
    aErr disconnect();
    // Resets the engine link (aLink_Reset). Always aErrNone.
    aErr reset();
    // Asks the module for its address with cmdMAGIC; waits up to 1000 ms for
    // the answer (a packet without data) and stores its address. *address is
    // 0 unless the result is aErrNone. aErrParam for null, aErrNotReady when
    // not connected or nothing answered.
    aErr getModuleAddress(uint8_t* address);
    // Switches pooled writes on the engine link. aErrConnection without a link.
    aErr enablePooledPackets(bool enable);

    // --- UEI requests and raw packets ------------------------------------

    // Queues a UEI request: command, option and specifier, then the value by
    // its type (void, byte, short, int, big-endian; a byte array is split into
    // chunk packets of at most 24 bytes). aErrParam for another type or a
    // byte array without data, aErrResource when a packet cannot be made;
    // the first queuing error ends the send. Never blocks.
    aErr sendUEI(const uei& request);
    // The same with a sub-index byte after the specifier; void, byte, short
    // and int values only (aErrParam otherwise).
    aErr sendUEI(const uei& request, uint8_t subindex);
    // Waits for the reply to a UEI request: a packet from `module` whose
    // command, option and index (specifier & 0x1F) are the given ones. The
    // reply is decoded into *reply (module, command, option and specifier
    // are set from the arguments first; the value and type fields keep what
    // the caller put there until a reply fills them). On an error reply the
    // specifier has bit 7 set and value.byteVal holds the module's code.
    // Waits 1000 ms, or 4000 ms for a byte-array record longer than 1000
    // bytes. aErrParam for null, aErrTimeout when nothing matched.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply);
    // The same with the caller's filter, which receives *reply as reference.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply,
                    LinkPacketFilter filter);
    // Removes from the incoming FIFO every reply that receiveUEI would match
    // for these values. aErrConnection without a link. Never blocks.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
    // Queues a packet to `module` whose data are `command` followed by
    // `length` bytes of `data`. aErrParam when length exceeds 27 or data is
    // null with a non-zero length; the queuing result otherwise. Never blocks.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for a packet from `module` whose first *length data
    // bytes equal `match`; then sets *length to its data size and copies all
    // its data bytes to `buffer`, which must hold 28 bytes. aErrParam for
    // null pointers, aErrTimeout when nothing matched.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // --- Store slots (cmdSLOT) ---------------------------------------------

    // Writes `length` bytes into a slot, 25 bytes per request, each
    // acknowledged with its 8-bit sum. aErrMedia when the slot cannot be
    // opened, aErrTimeout for a missing reply, aErrIO for a wrong sum, the
    // module's code for an error reply; otherwise the close result. Blocks
    // up to 3 s for the open and 1 s per chunk.
    aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                       size_t length);
    // Reads a slot into `buffer` (at most `capacity` bytes); *count is the
    // number of bytes read on success. aErrOverrun (with the bytes that fit)
    // when the slot holds more than the capacity; other codes as above and
    // aErrUnknown for a malformed reply.
    aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                         size_t capacity, size_t* count);
    // The number of bytes a slot holds / can hold. aErrTimeout without a
    // reply, the module's code for an error reply, aErrUnknown for a
    // malformed reply. Blocks up to 1 s.
    aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
    aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);

    // --- Factory data (cmdFACTORY) -----------------------------------------

    // Reads the factory data block `selector` into `buffer`; *length is the
    // byte count the module confirmed. aErrOverrun when it does not fit,
    // aErrUnknown for a malformed reply, aErrTimeout for a missing one, the
    // module's code for an error reply. Blocks up to 1 s per reply.
    aErr getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t capacity,
                        size_t* length);
    // Writes `length` bytes as factory data block `selector`, 26 per request.
    // aErrSize for a reply of the wrong size; other codes as above.
    aErr setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length);

    // --- Streamed values ---------------------------------------------------

    // The latest streamed value of (module, command, option, index, subindex).
    // aErrNotFound while nothing of it is streamed; aErrNone for a fresh
    // value (it is then marked read), aErrStreamStale for one already read.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);

    // --- Packet log --------------------------------------------------------

    // The packet debug log of this link. aErrConfiguration without a link;
    // aErrUnimplemented: this build keeps no packet log.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    struct impl;

private:
    impl* m_impl;
};

} // namespace Corvantis
} // namespace Halvern
