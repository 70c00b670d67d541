#include "devlib/aPacket.h"

#include <cstring>
#include <new>

aPacket* aPacket_Create() {
    aPacket* packet = new (std::nothrow) aPacket;
    if (packet == nullptr) {
        return nullptr;
    }
    std::memset(packet, 0, sizeof(*packet));
    packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (data == nullptr || length > aPACKET_MAXDATA) {
        return nullptr;
    }
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->address = address;
    packet->dataSize = length;
    packet->index = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* source) {
    if (!aVALIDPACKET(source)) {
        return nullptr;
    }
    return aPacket_CreateWithData(source->address, source->dataSize, source->data);
}

namespace {

// Reads data byte position of a packet that must hold more than position
// data bytes; shared by the three header-field getters.
aErr sDataByte(const aPacket* packet, uint8_t position, uint8_t mask, uint8_t* out) {
    if (out == nullptr) {
        return aErrParam;
    }
    if (!aVALIDPACKET(packet) || packet->dataSize <= position ||
        packet->dataSize > aPACKET_MAXDATA) {
        return aErrPacket;
    }
    *out = packet->data[position] & mask;
    return aErrNone;
}

} // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) {
    return sDataByte(packet, 0, 0xFF, out);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) {
    return sDataByte(packet, 1, 0x3F, out);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) {
    return sDataByte(packet, 2, 0x1F, out);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    packet->index = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) {
        return aErrParam;
    }
    // The index may sit at its limit after a rejected byte; stop it there
    // instead of letting it wrap round to a value that looks fresh.
    if (packet->index >= aPACKET_MAXWIRE) {
        packet->index = aPACKET_MAXWIRE + 1;
        return aErrOverrun;
    }
    packet->index++;
    if (packet->address == 0) {
        // Module addresses are even and non-zero.
        if (byte == 0 || (byte & 1) != 0) {
            return aErrPacket;
        }
        packet->address = byte;
        return aErrNone;
    }
    if (packet->index == 2) {
        packet->dataSize = byte;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (packet->index > packet->dataSize + 2) {
        return aErrPacket;
    }
    packet->data[packet->index - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->index == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (packet == nullptr || *packet == nullptr || !aVALIDPACKET(*packet)) {
        return aErrParam;
    }
    // Clear the check word so that a stale pointer to the freed record is
    // less likely to pass for a live packet.
    (*packet)->check = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}
