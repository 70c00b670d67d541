#include "devlib/Entity.h"

#include <cstring>

#include "devlib/Link.h"
#include "devlib/Module.h"

namespace Halvern {
namespace Corvantis {

namespace {

constexpr uint8_t kUEIHeaderBytes = 3;
constexpr uint8_t kChunkTrailerBytes = 1;
constexpr uint8_t kSequenceModulus = 128;

// The record of a byte-array read: the UEI record handed to the link's wait
// (it must stay the first member), and what the chunk filter found.
struct BytesRead {
    uei record;
    uint8_t* buffer;
    size_t capacity;
    size_t* count;
    uint8_t expectedSequence;
    bool more;
    aErr error;
};

// Matches the next chunk of a byte array (by sequence number) and appends
// its bytes; an error reply, or a chunk that would overflow the buffer,
// matches with the error recorded.
bool sUEIBytesFilter(const aPacket* packet, const void* reference) {
    BytesRead* read = static_cast<BytesRead*>(const_cast<void*>(reference));
    const uei& record = read->record;
    if (packet == nullptr || packet->address != record.module ||
        packet->dataSize < kUEIHeaderBytes || packet->data[0] != record.command ||
        packet->data[1] != record.option ||
        (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != record.specifier) {
        return false;
    }
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        read->record.specifier = packet->data[2];
        read->error = packet->dataSize > kUEIHeaderBytes ? aErr{packet->data[3]} : aErrUnknown;
        return true;
    }
    if (packet->dataSize < kUEIHeaderBytes + kChunkTrailerBytes) {
        // A reply without a trailer is no chunk at all.
        read->error = aErrSize;
        return true;
    }
    if (aUEI_getBytesSequence(packet) != read->expectedSequence) {
        return false; // an early chunk stays queued until its turn
    }
    size_t bytes = packet->dataSize - (kUEIHeaderBytes + kChunkTrailerBytes);
    if (*read->count + bytes > read->capacity) {
        read->error = aErrMemory;
        return true;
    }
    std::memcpy(read->buffer + *read->count, &packet->data[kUEIHeaderBytes], bytes);
    *read->count += bytes;
    read->more = aUEI_getBytesContinue(packet);
    return true;
}

} // namespace

struct EntityClass::impl {
    EntityClass* owner = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    // The module's link, or null (the entity then answers aErrResource).
    Link* link() const { return module == nullptr ? nullptr : module->getLink(); }
    uei request(uint8_t option, uint8_t specifier) const {
        uei record{};
        record.module = module->getModuleAddress();
        record.command = command;
        record.option = option;
        record.specifier = specifier;
        record.type = ueiTypeVoid;
        return record;
    }
    aErr set(uint8_t option, bool withSubindex, uint8_t subindex, uei* value);
};

EntityClass::EntityClass() : m_impl(new impl) {
    m_impl->owner = this;
}

EntityClass::~EntityClass() {
    delete m_impl;
}

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
    return aErrNone;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

Module* EntityClass::module() const {
    return m_impl->module;
}

uint8_t EntityClass::command() const {
    return m_impl->command;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    if (length == nullptr || buffer == nullptr) {
        return aErrParam;
    }
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::getUEI(uint8_t option, uei* value) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    if (value == nullptr) {
        return aErrParam;
    }
    uint8_t module = m_impl->module->getModuleAddress();
    bool withSubindex = value->type == ueiTypeByte;
    uint8_t subindex = withSubindex ? value->value.byteVal : 0;

    uint32_t streamed = 0;
    aErr result =
        link->getStreamValue(module, m_impl->command, option, m_impl->index, subindex, &streamed);
    if (result != aErrNotFound) {
        switch (value->type) {
        case ueiTypeByte:
            value->value.byteVal = static_cast<uint8_t>(streamed);
            break;
        case ueiTypeShort:
            value->value.shortVal = static_cast<uint16_t>(streamed);
            break;
        default:
            value->value.intVal = streamed;
            break;
        }
        return result;
    }

    uei request = m_impl->request(option | ueiOPTION_GET, m_impl->index | ueiSPECIFIER_HOST);
    result = withSubindex ? link->sendUEI(request, subindex) : link->sendUEI(request);
    if (result != aErrNone) {
        return result;
    }
    result = link->receiveUEI(module, m_impl->command, option, m_impl->index, value);
    if (result != aErrNone) {
        return result;
    }
    if (value->specifier & ueiSPECIFIER_ERROR) {
        return value->value.byteVal;
    }
    return aErrNone;
}

aErr EntityClass::impl::set(uint8_t option, bool withSubindex, uint8_t subindex, uei* value) {
    Link* target = link();
    if (target == nullptr) {
        return aErrResource;
    }
    if (value == nullptr) {
        return aErrParam;
    }
    uei request = this->request(option | ueiOPTION_SET, index | ueiSPECIFIER_HOST);
    request.type = value->type;
    request.value = value->value;
    aErr result = withSubindex ? target->sendUEI(request, subindex) : target->sendUEI(request);
    if (result != aErrNone) {
        return result;
    }
    uei reply{};
    reply.type = ueiTypeVoid;
    result = target->receiveUEI(module->getModuleAddress(), command,
                                option | ueiOPTION_GET | ueiOPTION_SET, index, &reply);
    if (result != aErrNone) {
        return result;
    }
    if (reply.specifier & ueiSPECIFIER_ERROR) {
        return reply.value.byteVal;
    }
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* value) {
    return m_impl->set(option, false, 0, value);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value) {
    return m_impl->set(option, true, subindex, value);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei value{};
    value.type = ueiTypeVoid;
    return setUEI(option, &value);
}

namespace {

// Runs a get and hands out the value of the width asked for.
template <typename T>
aErr sTypedGet(EntityClass& entity, uint8_t option, bool withSubindex, uint8_t subindex, T* out) {
    if (out == nullptr) {
        return aErrParam;
    }
    uei value{};
    value.type = withSubindex ? ueiTypeByte : ueiTypeVoid;
    value.value.byteVal = subindex;
    aErr result = entity.getUEI(option, &value);
    if (result == aErrNone || result == aErrStreamStale) {
        switch (value.type) {
        case ueiTypeByte:
            *out = static_cast<T>(value.value.byteVal);
            break;
        case ueiTypeShort:
            *out = static_cast<T>(value.value.shortVal);
            break;
        default:
            *out = static_cast<T>(value.value.intVal);
            break;
        }
    }
    return result;
}

} // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, false, 0, value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, true, subindex, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, false, 0, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, true, subindex, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, false, 0, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    if (m_impl->link() == nullptr) {
        return aErrResource;
    }
    return sTypedGet(*this, option, true, subindex, value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei record{};
    record.type = ueiTypeByte;
    record.value.byteVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei record{};
    record.type = ueiTypeByte;
    record.value.byteVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei record{};
    record.type = ueiTypeShort;
    record.value.shortVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei record{};
    record.type = ueiTypeShort;
    record.value.shortVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei record{};
    record.type = ueiTypeInt;
    record.value.intVal = value;
    return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei record{};
    record.type = ueiTypeInt;
    record.value.intVal = value;
    return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (data == nullptr && length != 0) {
        return aErrParam;
    }
    static const uint8_t kNoBytes = 0;
    uei record{};
    record.type = ueiTypeBytes;
    record.value.bytes.data = const_cast<uint8_t*>(data == nullptr ? &kNoBytes : data);
    record.value.bytes.length = length;
    return setUEI(option, &record);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    if (buffer == nullptr || count == nullptr || capacity == 0) {
        return aErrParam;
    }
    *count = 0;
    uint8_t module = m_impl->module->getModuleAddress();
    uei request = m_impl->request(option | ueiOPTION_GET, m_impl->index | ueiSPECIFIER_HOST);
    aErr result = link->sendUEI(request);
    if (result != aErrNone) {
        return result;
    }
    BytesRead read{};
    read.record.type = ueiTypeVoid;
    read.buffer = buffer;
    read.capacity = capacity;
    read.count = count;
    read.expectedSequence = 0;
    // A value of `capacity` bytes takes at most this many chunks (plus the
    // empty or error reply); the bound keeps a misbehaving module from
    // holding the caller forever.
    size_t maxChunks = capacity + 2;
    for (size_t chunk = 0; chunk < maxChunks; ++chunk) {
        read.more = false;
        read.error = aErrNone;
        result = link->receiveUEI(module, m_impl->command, option, m_impl->index, &read.record,
                                  sUEIBytesFilter);
        if (result != aErrNone) {
            return result;
        }
        if (read.error != aErrNone) {
            return read.error;
        }
        if (!read.more) {
            return aErrNone;
        }
        read.expectedSequence =
            static_cast<uint8_t>((read.expectedSequence + 1) % kSequenceModulus);
    }
    return aErrMemory;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (count == nullptr || unitSize == 0) {
        return aErrParam;
    }
    if (*count % unitSize != 0) {
        return aErrMemory;
    }
    *count /= unitSize;
    return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) {
    return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet) {
    return aUEI_getBytesContinue(packet);
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, unsigned int) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    if (value == nullptr) {
        return aErrParam;
    }
    uei reply{};
    reply.type = ueiTypeVoid;
    aErr result = link->receiveUEI(m_impl->module->getModuleAddress(), m_impl->command, option,
                                   m_impl->index, &reply);
    if (result != aErrNone) {
        return result;
    }
    if (reply.specifier & ueiSPECIFIER_ERROR) {
        return reply.value.byteVal;
    }
    *value = reply.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* link = m_impl->link();
    if (link == nullptr) {
        return aErrResource;
    }
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index);
}

} // namespace Corvantis
} // namespace Halvern
