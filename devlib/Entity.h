// Entities: one command class and index on one module.
//
// EntityClass turns get, set and call operations on the options of one
// entity into UEI exchanges over the module's link, including byte arrays
// split over several packets. Derived classes (SystemClass, I2CClass, the
// updater's upgrade entity) add named operations on top of it.
//
// An entity holds a plain pointer to its Module, which must outlive it.
// Every operation returns an aErr: aErrResource when the entity has no
// module or the module has no link, aErrParam for null output pointers, the
// module's own code for an error reply, aErrTimeout when the reply does not
// come within 1000 ms. Operations run on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"
#include "devlib/aPacket.h"
#include "devlib/aUEI.h"

namespace Halvern {
namespace Corvantis {

class Module;

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity to `module` (not owned), entity class `command` and
    // `index`. Always aErrNone; a null module makes later operations answer
    // aErrResource.
    aErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // A raw packet to the module: `command` followed by `length` bytes
    // (Link::sendPacket). Never blocks.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for a packet from the module whose first *length
    // data bytes equal `match` (Link::receivePacket); `buffer` holds 28 bytes.
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Get: the streamed value when the option is streamed (aErrNone, or
    // aErrStreamStale for a value already read), else a get request; the
    // reply's value and type land in *value. A byte-typed record's value is
    // sent as the sub-index.
    aErr getUEI(uint8_t option, uei* value);
    // Set with the record's value and type, and wait for the acknowledgement.
    aErr setUEI(uint8_t option, uei* value);
    // The same with a sub-index byte (void, byte, short and int values).
    aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
    // A set without a value.
    aErr callUEI(uint8_t option);

    // Typed gets: the output is written only for aErrNone and aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // Typed sets.
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // Sets a byte-array value of `length` bytes (several packets of at most
    // 24 bytes; an empty array is one packet). aErrParam for null data with
    // a non-zero length.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Gets a byte-array value into `buffer`; *count is the number of bytes
    // received (0 unless chunks came). aErrParam for a null buffer or count
    // or a zero capacity, aErrMemory when the value does not fit, aErrTimeout
    // when a chunk does not come within 1000 ms. Chunks are taken in their
    // sequence order; one that arrives early waits in the FIFO.
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of `unitSize`-byte units. aErrParam for
    // null or a zero unit, aErrMemory when the count is not a multiple.
    aErr getUEIBytesCheck(size_t* count, size_t unitSize);
    // The sequence number and continue flag of a byte-array chunk.
    static uint8_t getUEIBytesSequence(const aPacket* packet);
    static bool getUEIBytesContinue(const aPacket* packet);

    // Waits up to 1000 ms for a 32-bit value of `option` that the module
    // sends by itself (in reply form). The third argument does not change the
    // wait. An error reply gives the module's code.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, unsigned int timeout);
    // Discards queued replies for `option` of this entity. Never blocks.
    aErr drainUEI(uint8_t option);

    struct impl;

protected:
    // The module, or null; and its command and index.
    Module* module() const;
    uint8_t command() const;

private:
    impl* m_impl;
};

} // namespace Corvantis
} // namespace Halvern
