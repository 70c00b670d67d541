// The UEI convention (entity class, option, index, value), the uei record
// that carries one request or reply, big-endian value helpers and the
// splitting of byte arrays over several packets.
//
// A UEI packet's data bytes:
//   0       command: the entity class (3 for the system entity, ...)
//   1       option byte: bits 0-5 option code, 0x40 get, 0x80 set
//   2       specifier byte: bits 0-4 entity index, 0x20 set by the host on
//           requests, 0x40 stream sample, 0x80 error reply
//   3...    the value, big-endian (a request may put a sub-index byte first)
//
// Requests and their replies:
//   get   option|0x40, index|0x20  ->  reply option, index
//   set   option|0x80, index|0x20  ->  reply option|0xC0, index
//   call  a set with no value      ->  as set
// An error reply has 0x80 in its specifier and the module's aErr code in data
// byte 3.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"
#include "devlib/aPacket.h"
#include "devlib/aProtocol.h"

// Option byte.
constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
// Option byte of a set's reply.
constexpr uint8_t ueiOPTION_SET_REPLY = ueiOPTION_GET | ueiOPTION_SET;

// Specifier byte.
constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
constexpr uint8_t ueiSPECIFIER_HOST = 0x20;   // set by the host on requests
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40; // stream sample
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;  // error reply

// Data positions.
constexpr uint8_t ueiPOS_COMMAND = 0;
constexpr uint8_t ueiPOS_OPTION = 1;
constexpr uint8_t ueiPOS_SPECIFIER = 2;
constexpr uint8_t ueiPOS_VALUE = 3;
// Data bytes of a UEI packet before its value.
constexpr uint8_t ueiHEADER_SIZE = 3;

// Data sizes of replies by value form.
constexpr uint8_t ueiSIZE_VOID = 3;
constexpr uint8_t ueiSIZE_BYTE = 4;
constexpr uint8_t ueiSIZE_SHORT = 5;
constexpr uint8_t ueiSIZE_INT = 7;

// Byte arrays: each chunk of at most 24 bytes travels as command, option,
// specifier, the chunk, then a trailer whose bit 7 is the continue flag and
// whose bits 0-6 are the sequence number (modulo 128).
constexpr size_t ueiBYTES_CHUNK = 24;
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
constexpr uint8_t ueiBYTES_SEQUENCE_MODULO = 128;
// Data bytes of a chunk packet besides the chunk itself.
constexpr uint8_t ueiBYTES_OVERHEAD = ueiHEADER_SIZE + 1;

// Form of a uei value.
typedef int32_t ueiType;
enum : ueiType {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// A byte-array value. When sending, data and length give the array. When
// receiving, data is the caller's buffer, length its capacity, count points
// at the number of bytes received so far (the write position), sequence is
// the sequence number expected next and cont the continue flag of the last
// accepted chunk. Nothing here is owned by the record.
struct ueiBytes {
    uint8_t* data;
    uint8_t sequence;
    uint8_t cont;
    size_t length;
    size_t* count;
};

// One UEI request or reply. Passed by value to send and by pointer to
// receive. On an error reply specifier has ueiSPECIFIER_ERROR set and
// value.byteVal holds the module's error code.
struct uei {
    uint8_t module;    // module address (even, non-zero)
    uint8_t command;   // entity class
    uint8_t option;    // option byte including the get and set bits
    uint8_t specifier; // specifier byte
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        ueiBytes bytes;
    } value;
    ueiType type;
};

// Big-endian reads and writes of 2 and 4 bytes at p. p must point at enough
// bytes; nothing is checked. Never block.
uint16_t aUEI_RetrieveShort(const uint8_t* p);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
void aUEI_StoreInt(uint8_t* p, uint32_t value);

// Converts count 32-bit words at buffer in place from big-endian byte order
// to host order. A null buffer does nothing.
void aUEI_ModifyIntBuffer(uint32_t* buffer, size_t count);

// The trailer of a byte-array chunk is its last data byte (position
// dataSize - 1). Sequence number: its low 7 bits; continue: its bit 7.
// A null, invalid or empty packet gives 0 / false.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// True when the chunk is full: dataSize 27 or 28. False for null.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when the packet's first data byte is a non-UEI command: 0, 1, 2, 4,
// 8, 9, 23, 24, 73, 94, 95, 173 or 175. Reads the first data byte without
// looking at dataSize. False for a null or invalid packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// The negation of aUEI_isNotUEIPayload, so true for a null packet.
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a stream sample: a valid packet, dataSize above 4, a UEI payload,
// option bits 6 and 7 clear, specifier bit 6 set. False for null.
bool aUEI_isStreamPacket(const aPacket* packet);

// Builds the request packet of a uei of type void, byte, short or int:
// command, option, specifier, then the value big-endian (data sizes 3, 4, 5,
// 7), addressed to u.module. With a sub-index (the second form) the
// sub-index byte follows the specifier (data sizes 4, 5, 6, 8). The bytes are
// taken as given: the caller sets the get/set and host bits. Result: a new
// packet in *out, freed by the caller with aPacket_Destroy. aErrParam for a
// null out or another type (byte arrays go through aUEI_BytesNextChunk);
// aErrResource when the packet cannot be made. Never blocks.
aErr aUEI_BuildPacket(const uei& u, aPacket** out);
aErr aUEI_BuildPacketSubindex(const uei& u, uint8_t subindex, aPacket** out);

// Decodes the value of a UEI reply into *u by data size: 3 void, 4 byte,
// 5 short big-endian, 7 int big-endian; any other size leaves value and type
// untouched. An error reply (specifier bit 7) sets u->specifier to the
// reply's specifier and u->value.byteVal to the module's code (data byte 3,
// 0 when absent) and leaves type alone. Neither matches nor checks address,
// command or option (the caller's filter does). aErrParam for a null u or an
// invalid packet; aErrPacket for fewer than 3 data bytes.
aErr aUEI_DecodeReply(const aPacket* packet, uei* u);

// Sender side of a byte array. Keeps the offset and chunk counter; start it
// with aUEI_BytesWriterInit and call aUEI_BytesNextChunk until it reports
// the last chunk. An array of L bytes is always sent as at least one packet:
// chunks of min(L - offset, 24) bytes, each with trailer
// (more follows ? 0x80 : 0) | (counter mod 128). An empty array is one packet
// of dataSize 4 with trailer 0.
struct aUEIBytesWriter {
    uint8_t module;
    uint8_t command;
    uint8_t option;
    uint8_t specifier;
    const uint8_t* data;
    size_t length;
    size_t offset;
    uint32_t counter;
    bool done;
};

// Prepares w to send length bytes at data (data may be null only when length
// is 0). The array is not copied: it must stay valid while chunks are made.
// aErrParam for a null w or a null data with a non-zero length.
aErr aUEI_BytesWriterInit(aUEIBytesWriter* w, uint8_t module, uint8_t command, uint8_t option,
                          uint8_t specifier, const uint8_t* data, size_t length);

// Makes the next chunk packet into *out (freed by the caller with
// aPacket_Destroy) and sets *last when it is the final one. aErrParam for
// null arguments; aErrEOF when the last chunk was already made; aErrResource
// when a packet cannot be made. Never blocks.
aErr aUEI_BytesNextChunk(aUEIBytesWriter* w, aPacket** out, bool* last);

// Number of packets an array of length bytes takes (at least 1).
size_t aUEI_BytesChunkCount(size_t length);

// Receiver side of a byte array: offers one chunk packet to a bytes record
// (u->value.bytes with data, capacity in length, count and the expected
// sequence number). The caller has already matched address, command, option
// and index. Results:
//   aErrNone      accepted: the chunk's dataSize - 4 bytes were appended at
//                 *count, *count grew, cont holds the chunk's continue flag
//                 and, when it is set, sequence advanced by one modulo 128;
//   aErrNotReady  its sequence number is not the expected one: nothing
//                 changed and the packet should stay queued;
//   aErrMemory    the bytes would exceed the capacity: nothing appended, and
//                 u->specifier gets the error bit and value.bytes keeps its
//                 pointers (the read ends with aErrMemory);
//   aErrPacket    a packet too short to be a chunk (dataSize below 4);
//   aErrParam     null or invalid arguments (null u, data or count).
// An error reply is not a chunk: check the specifier first.
aErr aUEI_BytesAcceptChunk(const aPacket* packet, uei* u);
