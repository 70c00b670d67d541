// The simulator's own view of the packet wire format: a packet is an address
// byte, a length byte (0 to 28) and that many data bytes, with no other
// framing. This file deliberately repeats nothing from the device library, so
// a misreading of the format on either side shows up in the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace csim {

// Largest number of data bytes in one packet.
constexpr std::size_t kMaxData = 28;
// Odd addresses that are commands of their own.
constexpr uint8_t kAddrMagic = 0xAD;
constexpr uint8_t kAddrForceRoute = 0xAF;

// Command codes in the first data byte.
constexpr uint8_t kCmdHeartbeat = 0;
constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kCmdSlot = 4;
constexpr uint8_t kCmdI2C = 8;
constexpr uint8_t kCmdDebug = 23;
constexpr uint8_t kCmdModuleInfo = 73;
constexpr uint8_t kCmdStream = 93;
constexpr uint8_t kCmdFactory = 94;
constexpr uint8_t kCmdUpgrade = 95;

// UEI option and specifier bits.
constexpr uint8_t kOptGet = 0x40;
constexpr uint8_t kOptSet = 0x80;
constexpr uint8_t kOptCodeMask = 0x3F;
constexpr uint8_t kSpecHost = 0x20;
constexpr uint8_t kSpecError = 0x80;
constexpr uint8_t kSpecIndexMask = 0x1F;
// Byte arrays travel in chunks of at most this many bytes plus a trailer.
constexpr std::size_t kChunkBytes = 24;
constexpr uint8_t kTrailerContinue = 0x80;
constexpr uint8_t kTrailerSeqMask = 0x7F;

// Error codes the simulated firmware reports (same numbering as the host's).
enum ErrCode : uint8_t {
    kErrNone = 0,
    kErrParam = 2,
    kErrNotFound = 3,
    kErrBusy = 5,
    kErrIO = 6,
    kErrMode = 7,
    kErrRange = 13,
    kErrSize = 14,
    kErrOverrun = 15,
    kErrTimeout = 18,
    kErrUnimplemented = 21,
    kErrPacket = 24,
    kErrIndexRange = 26,
    kErrInvalidEntity = 28,
    kErrInvalidOption = 29,
    kErrResource = 30,
};

struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    Packet() = default;
    Packet(uint8_t addr, std::vector<uint8_t> bytes) : address(addr), data(std::move(bytes)) {}
};

// The wire bytes of a packet: address, length, data. Data beyond kMaxData is
// a programming error of the simulator and is cut off.
std::vector<uint8_t> encode(const Packet& p);

// Reassembles packets from a byte stream. A byte that cannot start a packet
// (zero, or odd other than the two command addresses) is skipped, and so is a
// length byte above kMaxData makes the byte before it count as skipped; skipped
// bytes are counted so the log can show resynchronisation.
class Framer {
public:
    // Feeds one byte; returns a packet when this byte completed one.
    std::optional<Packet> feed(uint8_t b);
    // Bytes skipped since the last call, then reset to 0.
    std::size_t takeSkipped();
    void reset();

private:
    enum class State { Address, Length, Data };
    State state_ = State::Address;
    Packet current_;
    std::size_t want_ = 0;
    std::size_t skipped_ = 0;
};

// Hex helpers for the log, the state dump and the configuration.
std::string toHex(const uint8_t* bytes, std::size_t n);
inline std::string toHex(const std::vector<uint8_t>& v) {
    return toHex(v.data(), v.size());
}
// Parses an even number of hex digits (spaces allowed); false on bad input.
bool fromHex(const std::string& text, std::vector<uint8_t>& out);

inline void putBE16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
inline void putBE32(std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8)
        v.push_back(static_cast<uint8_t>(x >> s));
}
inline uint32_t getBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t getBE16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

} // namespace csim
