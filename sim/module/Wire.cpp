#include "sim/module/Wire.h"

#include <cctype>

namespace csim {

std::vector<uint8_t> encode(const Packet& p) {
    std::size_t n = p.data.size() > kMaxData ? kMaxData : p.data.size();
    std::vector<uint8_t> out;
    out.reserve(n + 2);
    out.push_back(p.address);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), p.data.begin(), p.data.begin() + static_cast<long>(n));
    return out;
}

static bool canStartPacket(uint8_t b) {
    return b == kAddrMagic || b == kAddrForceRoute || (b != 0 && (b & 1) == 0);
}

std::optional<Packet> Framer::feed(uint8_t b) {
    switch (state_) {
    case State::Address:
        if (!canStartPacket(b)) {
            ++skipped_;
            return std::nullopt;
        }
        current_ = Packet(b, {});
        state_ = State::Length;
        return std::nullopt;
    case State::Length:
        if (b > kMaxData) {
            // Out of step: the supposed address was not one. Drop it and try
            // this byte as the start of the next packet.
            ++skipped_;
            state_ = State::Address;
            return feed(b);
        }
        want_ = b;
        if (want_ == 0) {
            state_ = State::Address;
            return std::move(current_);
        }
        state_ = State::Data;
        return std::nullopt;
    case State::Data:
        current_.data.push_back(b);
        if (current_.data.size() == want_) {
            state_ = State::Address;
            return std::move(current_);
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::size_t Framer::takeSkipped() {
    std::size_t n = skipped_;
    skipped_ = 0;
    return n;
}

void Framer::reset() {
    state_ = State::Address;
    current_ = Packet();
    want_ = 0;
}

std::string toHex(const uint8_t* bytes, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0x0F]);
    }
    return s;
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool fromHex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        int v = hexValue(c);
        if (v < 0)
            return false;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>((high << 4) | v));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace csim
