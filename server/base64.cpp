#include "server/base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Marks a byte that is not part of the alphabet in the decoding table.
constexpr uint8_t kInvalid = 0xFF;

struct DecodeTable {
    uint8_t value[256];
    DecodeTable() {
        for (auto& v : value)
            v = kInvalid;
        for (uint8_t i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = i;
    }
};

const DecodeTable& decodeTable() {
    static const DecodeTable table;
    return table;
}

} // namespace

unsigned char* base64_decode(const char* text, size_t length, size_t* decodedLength) {
    if (!text || length == 0 || length % 4 != 0)
        return nullptr;
    size_t padding = 0;
    if (text[length - 1] == '=')
        padding = (text[length - 2] == '=') ? 2 : 1;
    const size_t size = length / 4 * 3 - padding;
    unsigned char* out = static_cast<unsigned char*>(std::malloc(size + 1));
    if (!out)
        return nullptr;

    const uint8_t* table = decodeTable().value;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    // Every group but the last has no padding: four lookups, one test for a
    // character outside the alphabet (0xFF in the table), three bytes.
    const size_t fullGroups = length / 4 - 1;
    unsigned char* o = out;
    for (size_t g = 0; g < fullGroups; ++g, in += 4, o += 3) {
        const uint8_t a = table[in[0]], b = table[in[1]], c = table[in[2]], d = table[in[3]];
        if ((a | b | c | d) & 0xC0) {
            std::free(out);
            return nullptr;
        }
        const uint32_t word = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | d;
        o[0] = static_cast<unsigned char>(word >> 16);
        o[1] = static_cast<unsigned char>(word >> 8);
        o[2] = static_cast<unsigned char>(word);
    }
    // The last group writes only the bytes that its padding leaves.
    uint32_t word = 0;
    for (size_t k = 0; k < 4; ++k) {
        uint8_t v = 0;
        if (k < 4 - padding) {
            v = table[in[k]];
            if (v == kInvalid) {
                std::free(out);
                return nullptr;
            }
        }
        word = (word << 6) | v;
    }
    const size_t tail = 3 - padding;
    for (size_t k = 0; k < tail; ++k)
        o[k] = static_cast<unsigned char>(word >> (16 - 8 * k));
    out[size] = 0;
    if (decodedLength)
        *decodedLength = size;
    return out;
}

char* base64_encode(const unsigned char* data, size_t length, size_t* textLength) {
    if (!data && length != 0)
        return nullptr;
    const size_t size = (length + 2) / 3 * 4;
    char* out = static_cast<char*>(std::malloc(size + 1));
    if (!out)
        return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < length; i += 3) {
        const size_t n = (length - i < 3) ? length - i : 3;
        uint32_t word = static_cast<uint32_t>(data[i]) << 16;
        if (n > 1)
            word |= static_cast<uint32_t>(data[i + 1]) << 8;
        if (n > 2)
            word |= data[i + 2];
        out[o++] = kAlphabet[(word >> 18) & 0x3F];
        out[o++] = kAlphabet[(word >> 12) & 0x3F];
        out[o++] = n > 1 ? kAlphabet[(word >> 6) & 0x3F] : '=';
        out[o++] = n > 2 ? kAlphabet[word & 0x3F] : '=';
    }
    out[size] = 0;
    if (textLength)
        *textLength = size;
    return out;
}
