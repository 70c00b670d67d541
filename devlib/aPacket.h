// The packet record: one packet to or from a module, assembled byte by byte
// as it arrives or created whole for sending.
//
// Wire form on every byte transport: address, dataSize, then dataSize data
// bytes; at most 30 bytes, no other framing, no checksum, no escapes. Packet
// boundaries are found only from the length byte. Module addresses are even
// and non-zero; an odd or zero byte is not a packet start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"
#include "devlib/aProtocol.h"

// Check word of a live packet record.
constexpr uint16_t aPACKET_CHECK = 0xBEEF;
// Most data bytes a packet carries.
constexpr uint8_t aPACKET_MAXDATA = 28;
// Most wire bytes of one packet: address, length and the data.
constexpr uint8_t aPACKET_MAXWIRE = aPACKET_MAXDATA + 2;

// One packet. Allocated on the heap by the functions below and owned by
// whoever holds the pointer; freed with aPacket_Destroy.
struct aPacket {
    uint16_t check;                // aPACKET_CHECK while the record is alive
    uint8_t index;                 // wire bytes accumulated so far (address, length, data)
    uint8_t address;               // destination when sending, source when received
    uint8_t dataSize;              // number of data bytes, 0 to 28
    uint8_t data[aPACKET_MAXDATA]; // the data bytes
};

// True for a non-null pointer to a live record.
#define aVALIDPACKET(p) ((p) != nullptr && (p)->check == aPACKET_CHECK)

// A new valid record with every other field 0 (ready for aPacket_AddByte).
// Null when memory is exhausted. The caller frees it with aPacket_Destroy.
aPacket* aPacket_Create();

// A new complete packet (index = length + 2) to address with length data
// bytes copied from data. Null when data is null (even for length 0), when
// length exceeds 28 or when memory is exhausted. The address is not checked,
// so the special addresses cmdMAGIC and cmdFORCEROUTE may be used. The caller
// frees it with aPacket_Destroy.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new complete packet with the address, length and data of source; null
// for an invalid source (or a source claiming more than 28 data bytes) or
// when memory is exhausted. The caller frees it with aPacket_Destroy.
aPacket* aPacket_Copy(const aPacket* source);

// The command (first data byte). aErrParam for a null out; aErrPacket for an
// invalid packet or one without data bytes. out is untouched on failure.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);

// The option code: the second data byte masked with 0x3F. aErrParam for a
// null out; aErrPacket for an invalid packet or fewer than 2 data bytes.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);

// The entity index: the third data byte masked with 0x1F. aErrParam for a
// null out; aErrPacket for an invalid packet or fewer than 3 data bytes.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

// Clears index, address, dataSize and the data bytes, keeping the record
// valid, so that it can assemble the next packet. aErrParam for an invalid
// record.
aErr aPacket_Reset(aPacket* packet);

// Appends one received wire byte to a record being assembled (start from a
// reset record and ask aPacket_IsComplete after every byte):
//   - the first byte is the address: 0 or odd gives aErrPacket and leaves
//     the address 0;
//   - the second is the length: above 28 gives aErrPacket; a length of 0
//     completes the packet at once;
//   - the rest are data bytes; a byte past the announced length gives
//     aErrPacket; more than 30 bytes in one record gives aErrOverrun.
// aErrParam for an invalid record. A rejected byte leaves the record partly
// filled; the caller resets it and resynchronises.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True for a valid record whose index equals dataSize + 2.
bool aPacket_IsComplete(const aPacket* packet);

// Frees the record and sets *packet to null. aErrParam when packet or
// *packet is null; a record without its check word is also rejected with
// aErrParam and left alone (it is not ours to free).
aErr aPacket_Destroy(aPacket** packet);

// Deleter for owning smart pointers, for example
// std::unique_ptr<aPacket, aPacketDeleter>.
struct aPacketDeleter {
    void operator()(aPacket* packet) const {
        if (packet != nullptr) {
            aPacket_Destroy(&packet);
        }
    }
};
