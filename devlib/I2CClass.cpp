#include "devlib/I2CClass.h"

#include <cstring>

namespace Halvern {
namespace Corvantis {

namespace {

constexpr uint8_t kMaxDataBytes = 28;
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupSelector = 1;
// Reply layout: count in byte 3, status in byte 4, read bytes from byte 5.
constexpr uint8_t kReplyCount = 3;
constexpr uint8_t kReplyStatus = 4;
constexpr uint8_t kReplyData = 5;
constexpr uint8_t kStatusErrorBit = 0x80;

// Waits for the reply that begins with `match` and checks its status byte.
aErr sI2CReply(EntityClass& entity, const uint8_t* match, uint8_t matchLength, uint8_t* reply,
               uint8_t* replyLength) {
    *replyLength = matchLength;
    aErr result = entity.receivePacket(match, replyLength, reply);
    if (result != aErrNone) {
        return result;
    }
    if (*replyLength <= kReplyStatus) {
        return aErrPacket;
    }
    if (reply[kReplyStatus] & kStatusErrorBit) {
        return reply[kReplyStatus] & static_cast<uint8_t>(~kStatusErrorBit);
    }
    return aErrNone;
}

} // namespace

aErr I2CClass::init(Module* module, uint8_t index) {
    m_speed = 0;
    return EntityClass::init(module, cmdI2C, index);
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > kI2CMaxTransfer) {
        return aErrSize;
    }
    if (buffer == nullptr && length != 0) {
        return aErrParam;
    }
    uint8_t device = address | kReadBit;
    const uint8_t request[] = {getIndex(), device, length, m_speed};
    aErr result = sendPacket(cmdI2C, sizeof(request), request);
    if (result != aErrNone) {
        return result;
    }
    const uint8_t match[] = {cmdI2C, getIndex(), device};
    uint8_t reply[kMaxDataBytes];
    uint8_t replyLength = 0;
    result = sI2CReply(*this, match, sizeof(match), reply, &replyLength);
    if (result != aErrNone) {
        return result;
    }
    // Never more than asked for, nor more than the reply carries.
    size_t count = reply[kReplyCount];
    if (count > length) {
        count = length;
    }
    if (count > static_cast<size_t>(replyLength - kReplyData)) {
        count = replyLength - kReplyData;
    }
    if (count != 0) {
        std::memcpy(buffer, &reply[kReplyData], count);
    }
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kI2CMaxTransfer) {
        return aErrSize;
    }
    if (data == nullptr && length != 0) {
        return aErrParam;
    }
    uint8_t request[kMaxDataBytes] = {getIndex(), address, length, m_speed};
    if (length != 0) {
        std::memcpy(&request[4], data, length);
    }
    aErr result = sendPacket(cmdI2C, static_cast<uint8_t>(4 + length), request);
    if (result != aErrNone) {
        return result;
    }
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t reply[kMaxDataBytes];
    uint8_t replyLength = 0;
    return sI2CReply(*this, match, sizeof(match), reply, &replyLength);
}

aErr I2CClass::setPullup(bool enable) {
    const uint8_t request[] = {getIndex(), kPullupSelector, static_cast<uint8_t>(enable ? 1 : 0)};
    aErr result = sendPacket(cmdI2C, sizeof(request), request);
    if (result != aErrNone) {
        return result;
    }
    const uint8_t match[] = {cmdI2C, getIndex(), kPullupSelector};
    uint8_t reply[kMaxDataBytes];
    uint8_t replyLength = 0;
    return sI2CReply(*this, match, sizeof(match), reply, &replyLength);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > kI2CMaxSpeed) {
        return aErrParam;
    }
    m_speed = speed;
    return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* speed) const {
    if (speed == nullptr) {
        return aErrParam;
    }
    *speed = m_speed;
    return aErrNone;
}

} // namespace Corvantis
} // namespace Halvern
