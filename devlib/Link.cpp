#include "devlib/Link.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "devlib/aLink.h"
#include "devlib/aProtocol.h"
#include "devlib/discover.h"
#include "devlib/unix_time.h"

namespace Halvern {
namespace Corvantis {

namespace {

// Serialises the creation of engine links by all Link objects.
std::mutex linkCreateHelperSerializer;

constexpr size_t kLinkNameMaxLength = 1024;

// UEI packet layout.
constexpr uint8_t kUEIHeaderBytes = 3;     // command, option, specifier
constexpr uint8_t kUEIMaxChunkBytes = 24;  // chunk bytes of one byte-array packet
constexpr uint8_t kUEIContinueFlag = 0x80; // trailer bit: more chunks follow
constexpr uint8_t kUEISequenceMask = 0x7F;
constexpr uint8_t kUEIErrorBit = 0x80;
constexpr uint8_t kUEIIndexMask = 0x1F;

// Store-slot sub-commands (data byte 1 of a cmdSLOT packet).
enum : uint8_t {
    kSlotCapacity = 1,
    kSlotSize = 2,
    kSlotOpenRead = 3,
    kSlotOpenWrite = 4,
    kSlotRead = 6,
    kSlotWrite = 7,
    kSlotClose = 8,
};
constexpr uint8_t kSlotErrorBit = 0x80;

// Factory-data selector bits (data byte 1 of a cmdFACTORY request).
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactorySelectorMask = 0x0F;
constexpr uint8_t kFactoryErrorBit = 0x80;
constexpr uint8_t kMaxDataBytes = 28;

bool sValidModuleAddress(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

// A packet to `address` with `length` data bytes; null when it cannot be made.
aPacket* sMakePacket(uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t kNoData = 0;
    return aPacket_CreateWithData(address, length, length == 0 ? &kNoData : data);
}

aErr sQueue(unsigned int linkId, uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket* packet = sMakePacket(address, length, data);
    if (packet == nullptr) {
        return aErrResource;
    }
    aErr result = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return result;
}

// Stores the value of a void, byte, short or int request at `out` (big-endian)
// and returns its byte count; -1 for any other type.
int sStoreScalar(const uei& request, uint8_t* out) {
    switch (request.type) {
    case ueiTypeVoid:
        return 0;
    case ueiTypeByte:
        out[0] = request.value.byteVal;
        return 1;
    case ueiTypeShort:
        aUEI_StoreShort(out, request.value.shortVal);
        return 2;
    case ueiTypeInt:
        aUEI_StoreInt(out, request.value.intVal);
        return 4;
    default:
        return -1;
    }
}

// Matches UEI replies against the record behind the reference: address,
// command, option and index; on a match the value is decoded into it.
bool sUEIFilter(const aPacket* packet, const void* reference) {
    uei* record = static_cast<uei*>(const_cast<void*>(reference));
    if (packet == nullptr || record == nullptr || packet->address != record->module ||
        packet->dataSize < kUEIHeaderBytes || packet->data[0] != record->command ||
        packet->data[1] != record->option ||
        (packet->data[2] & kUEIIndexMask) != record->specifier) {
        return false;
    }
    if (packet->data[2] & kUEIErrorBit) {
        record->specifier = packet->data[2];
        record->value.byteVal =
            packet->dataSize > kUEIHeaderBytes ? aErr{packet->data[3]} : aErrUnknown;
        return true;
    }
    switch (packet->dataSize) {
    case 3:
        record->type = ueiTypeVoid;
        break;
    case 4:
        record->type = ueiTypeByte;
        record->value.byteVal = packet->data[3];
        break;
    case 5:
        record->type = ueiTypeShort;
        record->value.shortVal = aUEI_RetrieveShort(&packet->data[3]);
        break;
    case 7:
        record->type = ueiTypeInt;
        record->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
        break;
    default:
        break;
    }
    return true;
}

// Raw replies: the first `length` data bytes equal the wanted ones.
struct CommandMatch {
    const uint8_t* match;
    uint8_t length;
};

bool sCommandFilter(const aPacket* packet, const void* reference) {
    const CommandMatch* wanted = static_cast<const CommandMatch*>(reference);
    return packet != nullptr && wanted != nullptr && packet->dataSize >= wanted->length &&
           std::memcmp(packet->data, wanted->match, wanted->length) == 0;
}

// The answer to cmdMAGIC: a packet without data.
bool MatchMagic(const aPacket* packet, const void*) {
    return packet != nullptr && packet->dataSize == 0;
}

// Store-slot replies: command 4, the request's sub-command with or without
// the error bit, and the same store and slot (sub-commands 1-4) or handle.
struct SlotMatch {
    uint8_t subCommand;
    uint8_t store;
    uint8_t slot;
    uint8_t handle;
};

bool sSlotFilter(const aPacket* packet, const void* reference) {
    const SlotMatch* wanted = static_cast<const SlotMatch*>(reference);
    if (packet == nullptr || wanted == nullptr || packet->dataSize <= 3 ||
        packet->data[0] != cmdSLOT ||
        (packet->data[1] & static_cast<uint8_t>(~kSlotErrorBit)) != wanted->subCommand) {
        return false;
    }
    if (wanted->subCommand <= kSlotOpenWrite) {
        return packet->data[2] == wanted->store && packet->data[3] == wanted->slot;
    }
    return packet->data[2] == wanted->handle;
}

// Factory-data replies: command 94 and the selector's low bits, with or
// without the error bit.
bool sFactoryFilter(const aPacket* packet, const void* reference) {
    const uint8_t* selector = static_cast<const uint8_t*>(reference);
    return packet != nullptr && selector != nullptr && packet->dataSize >= 2 &&
           packet->data[0] == cmdFACTORY &&
           (packet->data[1] & static_cast<uint8_t>(~kFactoryErrorBit)) ==
               (*selector & kFactorySelectorMask);
}

// Discovery callback of a connection by model: the first module of the
// wanted model, or the first of all for model 0.
struct ModelSearch {
    uint8_t model;
    linkSpec found;
};

bool cbModelCallback(const linkSpec* where, bool* taken, void* reference) {
    ModelSearch* search = static_cast<ModelSearch*>(reference);
    if (where == nullptr || taken == nullptr || search == nullptr) {
        return true;
    }
    if (search->model != 0 && where->model != search->model) {
        return true;
    }
    search->found = *where;
    *taken = true;
    return false;
}

// Whether a failed discovery and connection should be tried on the other of
// USB and link-server links.
bool _fallbackHelper(aErr error, linkType type, bool fallback) {
    bool retryable =
        error == aErrNotFound || error == aErrInitialization || error == aErrConnection;
    return retryable && (type == linkTypeUSB || type == linkTypeAEther) && fallback;
}

} // namespace

struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    uint32_t value = 0;
};

struct Link::impl {
    Link* owner = nullptr;
    unsigned int linkId = 0;
    void* logger = nullptr;
    aEtherConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::mutex streamsMutex;
    std::string name;
    linkSpec* specifier = nullptr;

    bool connected() const { return linkId != 0 && aLink_GetStatus(linkId) == kLinkStatusRunning; }
    aErr discoveryAndConnectHelper(linkType type, unsigned int serialNumber, uint8_t model);
    aErr connectHelper();
    aErr linkCreateHelper();
    aErr waitForLink(unsigned int polls);
    aErr exchange(uint8_t module, uint8_t length, const uint8_t* data, LinkPacketFilter filter,
                  const void* reference, unsigned long timeoutMs, aPacket** reply);
    aErr sOpenSlot(uint8_t module, uint8_t subCommand, uint8_t store, uint8_t slot,
                   uint8_t* handle);
    aErr sCloseSlot(uint8_t module, uint8_t handle);
    aErr slotQuery(uint8_t module, uint8_t subCommand, uint8_t store, uint8_t slot, size_t* value);
    aErr factoryEnd(uint8_t module, size_t count);
};

aErr Link::impl::discoveryAndConnectHelper(linkType type, unsigned int serialNumber,
                                           uint8_t model) {
    linkSpec found;
    if (serialNumber != 0) {
        linkSpec* where = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
        if (where == nullptr) {
            return aErrNotFound;
        }
        found = *where;
        aLinkSpec_Destroy(&where);
    } else {
        ModelSearch search{model, {}};
        if (aDiscovery_EnumerateModules(type, cbModelCallback, &search, config.networkInterface) ==
            0) {
            return aErrNotFound;
        }
        found = search.found;
    }
    aErr result = owner->setLinkSpecifier(found);
    if (result != aErrNone) {
        return result;
    }
    return owner->connect();
}

aErr Link::impl::linkCreateHelper() {
    std::lock_guard<std::mutex> serialized(linkCreateHelperSerializer);
    switch (specifier->type) {
    case linkTypeUSB:
        if (config.enabled) {
            unsigned short port = config.port;
            unsigned int networkInterface = config.networkInterface;
            linkId = aLink_CreateServer(specifier->serialNumber, &port, &networkInterface,
                                        config.localOnly);
            if (linkId != 0) {
                config.port = port;
                config.networkInterface = networkInterface;
            }
        } else {
            linkId = aLink_CreateUSB(specifier->serialNumber);
        }
        return aErrNone;
    case linkTypeTCPIP:
        linkId =
            aLink_CreateTCPIP(specifier->address, static_cast<unsigned short>(specifier->port));
        return aErrNone;
    case linkTypeSerial:
        linkId =
            aLink_CreateSerial(specifier->serialNumber, specifier->portName, specifier->address);
        return aErrNone;
    case linkTypeAEther:
        if (!config.enabled) {
            return aErrConfiguration;
        }
        linkId = aLink_CreateClient(specifier->address,
                                    static_cast<unsigned short>(specifier->port), linkId);
        return aErrNone;
    default:
        return aErrMode;
    }
}

aErr Link::impl::waitForLink(unsigned int polls) {
    for (unsigned int poll = 0;; ++poll) {
        switch (aLink_GetStatus(linkId)) {
        case kLinkStatusRunning:
            return aErrNone;
        case kLinkStatusStopped:
        case kLinkStatusStarting:
        case kLinkStatusSyncing:
            if (poll >= polls) {
                return aErrConnection;
            }
            aTime_MSSleep(kLinkWaitPollMs);
            break;
        case kLinkStatusStopping:
            return aErrBusy;
        case kLinkStatusInvalid:
        case kLinkStatusIOError:
        case kLinkStatusPacketError:
            return aErrConnection;
        default:
            return aErrDuplicate;
        }
    }
}

aErr Link::impl::connectHelper() {
    if (specifier == nullptr) {
        return aErrConfiguration;
    }
    aErr result = linkCreateHelper();
    if (result != aErrNone) {
        linkId = 0;
        return result;
    }
    if (linkId == 0) {
        return aErrConnection;
    }
    result = waitForLink(kLinkWaitPolls);
    if (result != aErrNone) {
        // Keeping a link that never came up would make every later connect
        // attempt fail with aErrConnection, so it is given back.
        aLink_Destroy(&linkId);
        linkId = 0;
    }
    return result;
}

// Sends one request to `module` and waits for the reply that the filter
// accepts. *reply is the reply (owned by the caller) or null.
aErr Link::impl::exchange(uint8_t module, uint8_t length, const uint8_t* data,
                          LinkPacketFilter filter, const void* reference, unsigned long timeoutMs,
                          aPacket** reply) {
    *reply = nullptr;
    aErr result = sQueue(linkId, module, length, data);
    if (result != aErrNone) {
        return result;
    }
    *reply = aLink_AwaitFirst(linkId, filter, reference, timeoutMs);
    return *reply == nullptr ? aErrTimeout : aErrNone;
}

Link::Link(const linkSpec& where, const char* name) : Link(name) {
    m_impl->specifier = aLinkSpec_Copy(where);
}

Link::Link(const char* name) : m_impl(new impl) {
    m_impl->owner = this;
    if (name != nullptr) {
        m_impl->name.assign(name, strnlen(name, kLinkNameMaxLength));
    }
}

Link::~Link() {
    if (m_impl->linkId != 0) {
        aLink_Destroy(&m_impl->linkId);
    }
    aLinkSpec_Destroy(&m_impl->specifier);
    delete m_impl;
}

aErr Link::getConfig(aEtherConfig* config) const {
    if (config == nullptr) {
        return aErrParam;
    }
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(const aEtherConfig& config) {
    if (isConnected()) {
        return aErrMode;
    }
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* where) const {
    if (where == nullptr) {
        return aErrParam;
    }
    if (m_impl->specifier == nullptr) {
        return aErrNotFound;
    }
    *where = *m_impl->specifier;
    return aErrNone;
}

aErr Link::setLinkSpecifier(const linkSpec& where) {
    if (isConnected()) {
        return aErrBusy;
    }
    linkSpec* copy = aLinkSpec_Copy(where);
    if (copy == nullptr) {
        return aErrMemory;
    }
    aLinkSpec_Destroy(&m_impl->specifier);
    m_impl->specifier = copy;
    return aErrNone;
}

const char* Link::getName() const {
    return m_impl->name.c_str();
}

aErr Link::discoverAndConnect(linkType type, unsigned int serialNumber, uint8_t model) {
    aErr result = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    if (result != aErrNone && _fallbackHelper(result, type, m_impl->config.fallback)) {
        linkType other = type == linkTypeAEther ? linkTypeUSB : linkTypeAEther;
        aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, "Executing Fallback: %s\n",
                              other == linkTypeUSB ? "USB" : "aEther");
        result = m_impl->discoveryAndConnectHelper(other, serialNumber, model);
    }
    return result;
}

aErr Link::connect() {
    if (m_impl->linkId != 0) {
        return aErrConnection;
    }
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (other.m_impl->linkId == 0) {
        return aErrInitialization;
    }
    if (m_impl->linkId != 0) {
        return aErrConnection;
    }
    m_impl->linkId = other.m_impl->linkId;
    aErr result = m_impl->connectHelper();
    if (m_impl->linkId == other.m_impl->linkId && result != aErrNone) {
        // The id was only borrowed for the client creation; it is not ours.
        m_impl->linkId = 0;
    }
    return result;
}

bool Link::isConnected() const {
    return m_impl->connected();
}

int Link::getStatus() const {
    return m_impl->linkId == 0 ? kLinkObjectNoLink : aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect() {
    if (m_impl->linkId != 0) {
        aLink_Destroy(&m_impl->linkId);
    }
    m_impl->linkId = 0;
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl->linkId != 0) {
        aLink_Reset(m_impl->linkId);
    }
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (address == nullptr) {
        return aErrParam;
    }
    *address = 0;
    if (!isConnected()) {
        return aErrNotReady;
    }
    aPacket* reply = nullptr;
    aErr result = m_impl->exchange(cmdMAGIC, 0, nullptr, MatchMagic, nullptr,
                                   kLinkModuleAddressTimeoutMs, &reply);
    if (result == aErrResource || reply == nullptr) {
        return aErrNotReady;
    }
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    if (m_impl->linkId == 0) {
        return aErrConnection;
    }
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

aErr Link::sendUEI(const uei& request) {
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(request.module)) {
        return aErrPacket;
    }
    uint8_t data[kMaxDataBytes] = {request.command, request.option, request.specifier};
    if (request.type != ueiTypeBytes) {
        int n = sStoreScalar(request, &data[3]);
        return n < 0 ? aErrParam
                     : sQueue(m_impl->linkId, request.module, static_cast<uint8_t>(3 + n), data);
    }
    // A byte array: chunks of at most kUEIMaxChunkBytes, each with its
    // continuation flag and sequence number.
    const uint8_t* bytes = request.value.bytes.data;
    size_t length = request.value.bytes.length;
    if (bytes == nullptr && length != 0) {
        return aErrParam;
    }
    size_t offset = 0;
    unsigned int counter = 0;
    bool more = true;
    while (more) {
        size_t chunk = length - offset < kUEIMaxChunkBytes ? length - offset : kUEIMaxChunkBytes;
        more = offset + chunk < length;
        if (chunk != 0) {
            std::memcpy(&data[3], bytes + offset, chunk);
        }
        data[3 + chunk] =
            static_cast<uint8_t>((more ? kUEIContinueFlag : 0) | (counter & kUEISequenceMask));
        aErr result = sQueue(m_impl->linkId, request.module, static_cast<uint8_t>(chunk + 4), data);
        if (result != aErrNone) {
            return result;
        }
        offset += chunk;
        ++counter;
    }
    return aErrNone;
}

aErr Link::sendUEI(const uei& request, uint8_t subindex) {
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(request.module)) {
        return aErrPacket;
    }
    uint8_t data[kMaxDataBytes] = {request.command, request.option, request.specifier, subindex};
    // Byte arrays take no sub-index.
    int n = sStoreScalar(request, &data[4]);
    return n < 0 ? aErrParam
                 : sQueue(m_impl->linkId, request.module, static_cast<uint8_t>(4 + n), data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* reply) {
    return receiveUEI(module, command, option, specifier, reply, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* reply, LinkPacketFilter filter) {
    if (reply == nullptr || filter == nullptr) {
        return aErrParam;
    }
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    reply->module = module;
    reply->command = command;
    reply->option = option;
    reply->specifier = specifier;
    unsigned long timeout = kLinkReplyTimeoutMs;
    if (reply->type == ueiTypeBytes && reply->value.bytes.length > kLinkLargePayloadBytes) {
        timeout = kLinkLargeReplyTimeoutMs;
        aCorvantisDebugPrintf(aDEBUG_PACKETS,
                              "receiveUEI - Expanding timeout for large payload: %lu\n", timeout);
    }
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, reply, timeout);
    if (packet == nullptr) {
        return aErrTimeout;
    }
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t specifier) {
    if (m_impl->linkId == 0) {
        return aErrConnection;
    }
    uei scratch{};
    scratch.module = module;
    scratch.command = command;
    scratch.option = option;
    scratch.specifier = specifier;
    aLink_DrainPackets(m_impl->linkId, sUEIFilter, &scratch);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    if (length > kLinkMaxPacketArguments || (data == nullptr && length != 0)) {
        return aErrParam;
    }
    uint8_t bytes[kMaxDataBytes] = {command};
    if (length != 0) {
        std::memcpy(&bytes[1], data, length);
    }
    // A packet that could not be queued never reaches the module: report it.
    return sQueue(m_impl->linkId, module, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    if (length == nullptr || buffer == nullptr || (match == nullptr && *length != 0) ||
        *length > kMaxDataBytes) {
        return aErrParam;
    }
    CommandMatch wanted{match, *length};
    aPacket* packet =
        aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &wanted, kLinkReplyTimeoutMs);
    if (packet == nullptr) {
        return aErrTimeout;
    }
    *length = packet->dataSize;
    std::memcpy(buffer, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

// --- Store slots -----------------------------------------------------------

aErr Link::impl::sOpenSlot(uint8_t module, uint8_t subCommand, uint8_t store, uint8_t slot,
                           uint8_t* handle) {
    const uint8_t request[] = {cmdSLOT, subCommand, store, slot};
    SlotMatch wanted{subCommand, store, slot, 0};
    aPacket* reply = nullptr;
    aErr result = exchange(module, sizeof(request), request, sSlotFilter, &wanted,
                           kLinkSlotOpenTimeoutMs, &reply);
    if (result != aErrNone) {
        return result;
    }
    bool opened = (reply->data[1] & kSlotErrorBit) == 0 && reply->dataSize >= 5;
    if (opened) {
        *handle = reply->data[4];
    }
    aPacket_Destroy(&reply);
    return opened ? aErrNone : aErrMedia;
}

aErr Link::impl::sCloseSlot(uint8_t module, uint8_t handle) {
    const uint8_t request[] = {cmdSLOT, kSlotClose, handle};
    SlotMatch wanted{kSlotClose, 0, 0, handle};
    aPacket* reply = nullptr;
    aErr result = exchange(module, sizeof(request), request, sSlotFilter, &wanted,
                           kLinkReplyTimeoutMs, &reply);
    if (reply == nullptr) {
        // A lost close acknowledgement does not undo the transfer.
        return result == aErrTimeout ? aErrNone : result;
    }
    if (reply->dataSize != 4) {
        result = aErrIO;
    } else if (reply->data[1] & kSlotErrorBit) {
        result = reply->data[3];
    }
    aPacket_Destroy(&reply);
    return result;
}

aErr Link::impl::slotQuery(uint8_t module, uint8_t subCommand, uint8_t store, uint8_t slot,
                           size_t* value) {
    if (value == nullptr) {
        return aErrParam;
    }
    if (!connected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    const uint8_t request[] = {cmdSLOT, subCommand, store, slot};
    SlotMatch wanted{subCommand, store, slot, 0};
    aPacket* reply = nullptr;
    aErr result = exchange(module, sizeof(request), request, sSlotFilter, &wanted,
                           kLinkReplyTimeoutMs, &reply);
    if (result != aErrNone) {
        return result;
    }
    if (reply->data[1] & kSlotErrorBit) {
        result = reply->data[4];
    } else if (reply->dataSize == 6) {
        *value = aUEI_RetrieveShort(&reply->data[4]);
    } else {
        result = aErrUnknown;
    }
    aPacket_Destroy(&reply);
    return result;
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
    return m_impl->slotQuery(module, kSlotSize, store, slot, size);
}

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
    return m_impl->slotQuery(module, kSlotCapacity, store, slot, capacity);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    if (data == nullptr && length != 0) {
        return aErrParam;
    }
    uint8_t handle = 0;
    if (m_impl->sOpenSlot(module, kSlotOpenWrite, store, slot, &handle) != aErrNone) {
        return aErrMedia;
    }
    aErr result = aErrNone;
    for (size_t offset = 0; offset < length && result == aErrNone;) {
        size_t chunk =
            length - offset < kLinkSlotChunkBytes ? length - offset : kLinkSlotChunkBytes;
        uint8_t request[kMaxDataBytes] = {cmdSLOT, kSlotWrite, handle};
        uint8_t sum = 0;
        for (size_t i = 0; i < chunk; ++i) {
            request[3 + i] = data[offset + i];
            sum = static_cast<uint8_t>(sum + data[offset + i]);
        }
        SlotMatch wanted{kSlotWrite, 0, 0, handle};
        aPacket* reply = nullptr;
        result = m_impl->exchange(module, static_cast<uint8_t>(3 + chunk), request, sSlotFilter,
                                  &wanted, kLinkReplyTimeoutMs, &reply);
        if (reply != nullptr) {
            if (reply->dataSize == 4 && (reply->data[1] & kSlotErrorBit)) {
                result = reply->data[3];
            } else if (reply->dataSize == 4 && reply->data[3] != sum) {
                result = aErrIO;
            }
            aPacket_Destroy(&reply);
        }
        offset += chunk;
    }
    aErr closed = m_impl->sCloseSlot(module, handle);
    return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t capacity, size_t* count) {
    if (buffer == nullptr || count == nullptr) {
        return aErrParam;
    }
    *count = 0;
    size_t size = 0;
    aErr result = storeSlotSize(module, store, slot, &size);
    if (result != aErrNone) {
        return result;
    }
    uint8_t handle = 0;
    if (m_impl->sOpenSlot(module, kSlotOpenRead, store, slot, &handle) != aErrNone) {
        return aErrMedia;
    }
    size_t wanted = capacity < size ? capacity : size;
    while (*count < wanted && result == aErrNone) {
        const uint8_t request[] = {cmdSLOT, kSlotRead, handle};
        SlotMatch match{kSlotRead, 0, 0, handle};
        aPacket* reply = nullptr;
        result = m_impl->exchange(module, sizeof(request), request, sSlotFilter, &match,
                                  kLinkReplyTimeoutMs, &reply);
        if (reply == nullptr) {
            break;
        }
        if (reply->dataSize <= 3) {
            result = aErrUnknown;
        } else if (reply->data[1] & kSlotErrorBit) {
            result = reply->data[3];
        } else {
            // Never more than the caller's buffer holds, whatever the reply says.
            size_t bytes = reply->dataSize - 3u;
            if (bytes > wanted - *count) {
                bytes = wanted - *count;
            }
            std::memcpy(buffer + *count, &reply->data[3], bytes);
            *count += bytes;
        }
        aPacket_Destroy(&reply);
    }
    aErr closed = m_impl->sCloseSlot(module, handle);
    if (result != aErrNone) {
        return result;
    }
    if (closed != aErrNone) {
        return closed;
    }
    return capacity < size ? aErrOverrun : aErrNone;
}

// --- Factory data ----------------------------------------------------------

aErr Link::impl::factoryEnd(uint8_t module, size_t count) {
    const uint8_t request[] = {cmdFACTORY, kFactoryEnd, static_cast<uint8_t>(count >> 8),
                               static_cast<uint8_t>(count)};
    uint8_t selector = kFactoryEnd;
    aPacket* reply = nullptr;
    aErr result = exchange(module, sizeof(request), request, sFactoryFilter, &selector,
                           kLinkReplyTimeoutMs, &reply);
    if (reply == nullptr) {
        return result;
    }
    if ((reply->data[1] & kFactoryErrorBit) && reply->dataSize >= 3) {
        result = reply->data[2];
    }
    aPacket_Destroy(&reply);
    return result;
}

aErr Link::getFactoryData(uint8_t module, uint8_t selector, uint8_t* buffer, size_t capacity,
                          size_t* length) {
    if (buffer == nullptr || length == nullptr) {
        return aErrParam;
    }
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    size_t count = 0;
    bool first = true;
    bool more = true;
    aErr result = aErrNone;
    while (more && result == aErrNone) {
        uint8_t request[] = {cmdFACTORY,
                             static_cast<uint8_t>(selector | (first ? kFactoryFirst : 0))};
        first = false;
        aPacket* reply = nullptr;
        result = m_impl->exchange(module, sizeof(request), request, sFactoryFilter, &request[1],
                                  kLinkReplyTimeoutMs, &reply);
        if (reply == nullptr) {
            break;
        }
        more = reply->dataSize == kMaxDataBytes;
        if (reply->dataSize < 2) {
            result = aErrUnknown;
        } else if (reply->data[1] & kFactoryErrorBit) {
            result = reply->dataSize > 2 ? aErr{reply->data[2]} : aErrUnknown;
        } else if (count + (reply->dataSize - 2u) > capacity) {
            result = aErrOverrun;
        } else {
            std::memcpy(buffer + count, &reply->data[2], reply->dataSize - 2u);
            count += reply->dataSize - 2u;
        }
        aPacket_Destroy(&reply);
    }
    if (result == aErrNone) {
        result = m_impl->factoryEnd(module, count);
        if (result == aErrNone) {
            *length = count;
        }
    }
    return result;
}

aErr Link::setFactoryData(uint8_t module, uint8_t selector, const uint8_t* data, size_t length) {
    if (data == nullptr && length != 0) {
        return aErrParam;
    }
    if (!isConnected()) {
        return aErrConnection;
    }
    if (!sValidModuleAddress(module)) {
        return aErrPacket;
    }
    aErr result = aErrNone;
    bool first = true;
    for (size_t offset = 0; offset < length && result == aErrNone;) {
        size_t chunk =
            length - offset < kLinkFactoryChunkBytes ? length - offset : kLinkFactoryChunkBytes;
        uint8_t request[kMaxDataBytes] = {
            cmdFACTORY,
            static_cast<uint8_t>(selector | kFactoryWrite | (first ? kFactoryFirst : 0))};
        first = false;
        std::memcpy(&request[2], data + offset, chunk);
        aPacket* reply = nullptr;
        result = m_impl->exchange(module, static_cast<uint8_t>(2 + chunk), request, sFactoryFilter,
                                  &request[1], kLinkReplyTimeoutMs, &reply);
        if (reply != nullptr) {
            if (reply->data[1] & kFactoryErrorBit) {
                result = reply->dataSize > 2 ? aErr{reply->data[2]} : aErrUnknown;
            } else if (reply->dataSize != 2) {
                result = aErrSize;
            }
            aPacket_Destroy(&reply);
        }
        offset += chunk;
    }
    if (result == aErrNone) {
        result = m_impl->factoryEnd(module, length);
    }
    return result;
}

// --- Streamed values -------------------------------------------------------

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
    uint64_t key = (static_cast<uint64_t>(subindex) << 32) | (static_cast<uint64_t>(module) << 24) |
                   (static_cast<uint64_t>(command) << 16) |
                   (static_cast<uint64_t>(option & 0x3F) << 8) | index;
    std::lock_guard<std::mutex> lock(m_impl->streamsMutex);
    auto entry = m_impl->streams.find(key);
    if (entry == m_impl->streams.end()) {
        return aErrNotFound;
    }
    if (value != nullptr) {
        *value = entry->second.value;
    }
    bool fresh = entry->second.fresh;
    entry->second.fresh = false;
    return fresh ? aErrNone : aErrStreamStale;
}

// --- Packet log --------------------------------------------------------------

aErr Link::enablePacketLog(const char*) {
    return m_impl->linkId == 0 ? aErrConfiguration : aErrUnimplemented;
}

aErr Link::disablePacketLog() {
    return m_impl->linkId == 0 ? aErrConfiguration : aErrUnimplemented;
}

} // namespace Corvantis
} // namespace Halvern
