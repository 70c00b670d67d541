// The I2C entity (command 8): reads and writes on a module's I2C bus.
//
// Each operation sends one cmdI2C request and waits up to 1000 ms for its
// reply. Results: aErrSize for more than 23 bytes, aErrPacket for a reply of
// 4 data bytes or fewer, the bus status with bit 7 cleared when the module
// reports a failure (status bit 7 set), aErrTimeout without a reply,
// aErrResource without a module or link.
#pragma once

#include <cstdint>

#include "devlib/Entity.h"
#include "devlib/aProtocol.h"

namespace Halvern {
namespace Corvantis {

// The most bytes one request reads or writes.
constexpr uint8_t kI2CMaxTransfer = 23;
// Speed settings run from 0 (slowest) to this value.
constexpr uint8_t kI2CMaxSpeed = 3;

class I2CClass : public EntityClass {
public:
    I2CClass() = default;
    ~I2CClass() override = default;

    // Binds to I2C bus `index` of `module` and resets the speed to 0.
    // Always aErrNone.
    aErr init(Module* module, uint8_t index);

    // Reads `length` bytes from the device at `address` (bit 0 is set for the
    // read) into `buffer`, which must hold `length` bytes; the reply's own
    // count of bytes is copied (never more than `length`).
    aErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    // Writes `length` bytes of `data` to the device at `address`.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    // Switches the bus pull-up resistors.
    aErr setPullup(bool enable);
    // Speed setting for later requests. aErrParam above 3.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

private:
    uint8_t m_speed = 0;
};

} // namespace Corvantis
} // namespace Halvern
