#include "devlib/aUEI.h"

#include <cstring>

uint16_t aUEI_RetrieveShort(const uint8_t* p) {
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void aUEI_StoreInt(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count) {
    if (buffer == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        std::memcpy(bytes, &buffer[i], sizeof(bytes));
        buffer[i] = aUEI_RetrieveInt(bytes);
    }
}

namespace {

// The trailer byte of a chunk, or false when the packet has none.
bool sTrailer(const aPacket* packet, uint8_t* trailer) {
    if (!aVALIDPACKET(packet) || packet->dataSize == 0 || packet->dataSize > aPACKET_MAXDATA) {
        return false;
    }
    *trailer = packet->data[packet->dataSize - 1];
    return true;
}

// True for first data bytes that are commands outside the UEI scheme.
bool sIsNotUEICommand(uint8_t command) {
    switch (command) {
    case cmdHEARTBEAT:
    case cmdRESERVED1:
    case cmdRESERVED2:
    case cmdSLOT:
    case cmdI2C:
    case cmdRESERVED9:
    case cmdDEBUG:
    case cmdRESERVED24:
    case cmdMODULEINFO:
    case cmdFACTORY:
    case cmdUPGRADE:
    case cmdMAGIC:
    case cmdFORCEROUTE:
        return true;
    default:
        return false;
    }
}

} // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) ? static_cast<uint8_t>(trailer & ueiBYTES_SEQUENCE_MASK) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
    uint8_t trailer = 0;
    return sTrailer(packet, &trailer) && (trailer & ueiBYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) &&
           (packet->dataSize == aPACKET_MAXDATA || packet->dataSize == aPACKET_MAXDATA - 1);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    // The first data byte is read whatever dataSize says: a record always
    // holds its 28 data bytes, cleared when unused.
    return aVALIDPACKET(packet) && sIsNotUEICommand(packet->data[ueiPOS_COMMAND]);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->dataSize > 4 && packet->dataSize <= aPACKET_MAXDATA &&
           aUEI_isUEIPayload(packet) &&
           (packet->data[ueiPOS_OPTION] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 &&
           (packet->data[ueiPOS_SPECIFIER] & ueiSPECIFIER_STREAM) != 0;
}

namespace {

// Appends the value of u in its wire form at p; returns the byte count, or
// -1 for a type that has no single-packet form.
int sStoreValue(const uei& u, uint8_t* p) {
    switch (u.type) {
    case ueiTypeVoid:
        return 0;
    case ueiTypeByte:
        p[0] = u.value.byteVal;
        return 1;
    case ueiTypeShort:
        aUEI_StoreShort(p, u.value.shortVal);
        return 2;
    case ueiTypeInt:
        aUEI_StoreInt(p, u.value.intVal);
        return 4;
    default:
        return -1;
    }
}

aErr sBuild(const uei& u, bool withSubindex, uint8_t subindex, aPacket** out) {
    if (out == nullptr) {
        return aErrParam;
    }
    uint8_t data[aPACKET_MAXDATA] = {u.command, u.option, u.specifier};
    uint8_t size = ueiHEADER_SIZE;
    if (withSubindex) {
        data[size++] = subindex;
    }
    const int valueSize = sStoreValue(u, &data[size]);
    if (valueSize < 0) {
        return aErrParam;
    }
    size = static_cast<uint8_t>(size + valueSize);
    *out = aPacket_CreateWithData(u.module, size, data);
    return *out != nullptr ? aErrNone : aErrResource;
}

} // namespace

aErr aUEI_BuildPacket(const uei& u, aPacket** out) {
    return sBuild(u, false, 0, out);
}

aErr aUEI_BuildPacketSubindex(const uei& u, uint8_t subindex, aPacket** out) {
    return sBuild(u, true, subindex, out);
}

aErr aUEI_DecodeReply(const aPacket* packet, uei* u) {
    if (u == nullptr || !aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAXDATA) {
        return aErrParam;
    }
    if (packet->dataSize < ueiHEADER_SIZE) {
        return aErrPacket;
    }
    const uint8_t* value = &packet->data[ueiPOS_VALUE];
    if ((packet->data[ueiPOS_SPECIFIER] & ueiSPECIFIER_ERROR) != 0) {
        u->specifier = packet->data[ueiPOS_SPECIFIER];
        u->value.byteVal = packet->dataSize > ueiHEADER_SIZE ? value[0] : 0;
        return aErrNone;
    }
    switch (packet->dataSize) {
    case ueiSIZE_VOID:
        u->type = ueiTypeVoid;
        break;
    case ueiSIZE_BYTE:
        u->type = ueiTypeByte;
        u->value.byteVal = value[0];
        break;
    case ueiSIZE_SHORT:
        u->type = ueiTypeShort;
        u->value.shortVal = aUEI_RetrieveShort(value);
        break;
    case ueiSIZE_INT:
        u->type = ueiTypeInt;
        u->value.intVal = aUEI_RetrieveInt(value);
        break;
    default:
        // Other lengths still answer the request; the value is left alone.
        break;
    }
    return aErrNone;
}

aErr aUEI_BytesWriterInit(aUEIBytesWriter* w, uint8_t module, uint8_t command, uint8_t option,
                          uint8_t specifier, const uint8_t* data, size_t length) {
    if (w == nullptr || (data == nullptr && length != 0)) {
        return aErrParam;
    }
    w->module = module;
    w->command = command;
    w->option = option;
    w->specifier = specifier;
    w->data = data;
    w->length = length;
    w->offset = 0;
    w->counter = 0;
    w->done = false;
    return aErrNone;
}

aErr aUEI_BytesNextChunk(aUEIBytesWriter* w, aPacket** out, bool* last) {
    if (w == nullptr || out == nullptr || last == nullptr) {
        return aErrParam;
    }
    if (w->done) {
        return aErrEOF;
    }
    const size_t remaining = w->length - w->offset;
    const size_t chunk = remaining < ueiBYTES_CHUNK ? remaining : ueiBYTES_CHUNK;
    const bool more = w->offset + chunk < w->length;

    uint8_t data[aPACKET_MAXDATA] = {w->command, w->option, w->specifier};
    if (chunk > 0) {
        std::memcpy(&data[ueiHEADER_SIZE], w->data + w->offset, chunk);
    }
    data[ueiHEADER_SIZE + chunk] = static_cast<uint8_t>((more ? ueiBYTES_CONTINUE : 0) |
                                                        (w->counter % ueiBYTES_SEQUENCE_MODULO));

    aPacket* packet =
        aPacket_CreateWithData(w->module, static_cast<uint8_t>(chunk + ueiBYTES_OVERHEAD), data);
    if (packet == nullptr) {
        return aErrResource;
    }
    w->offset += chunk;
    w->counter++;
    w->done = !more;
    *out = packet;
    *last = !more;
    return aErrNone;
}

size_t aUEI_BytesChunkCount(size_t length) {
    return length == 0 ? 1 : (length + ueiBYTES_CHUNK - 1) / ueiBYTES_CHUNK;
}

aErr aUEI_BytesAcceptChunk(const aPacket* packet, uei* u) {
    if (u == nullptr || !aVALIDPACKET(packet) || u->value.bytes.count == nullptr ||
        packet->dataSize > aPACKET_MAXDATA) {
        return aErrParam;
    }
    if (packet->dataSize < ueiBYTES_OVERHEAD) {
        return aErrPacket;
    }
    ueiBytes& bytes = u->value.bytes;
    if (aUEI_getBytesSequence(packet) != (bytes.sequence & ueiBYTES_SEQUENCE_MASK)) {
        return aErrNotReady;
    }
    const size_t chunk = packet->dataSize - ueiBYTES_OVERHEAD;
    const size_t count = *bytes.count;
    if (count > bytes.length || chunk > bytes.length - count) {
        u->specifier |= ueiSPECIFIER_ERROR;
        return aErrMemory;
    }
    if (chunk > 0) {
        if (bytes.data == nullptr) {
            return aErrParam;
        }
        std::memcpy(bytes.data + count, &packet->data[ueiPOS_VALUE], chunk);
    }
    *bytes.count = count + chunk;
    bytes.cont = aUEI_getBytesContinue(packet) ? 1 : 0;
    if (bytes.cont != 0) {
        bytes.sequence = static_cast<uint8_t>((bytes.sequence + 1) % ueiBYTES_SEQUENCE_MODULO);
    }
    return aErrNone;
}
