#include "BirdInfo.h"

#include <cstdint>
#include <fstream>
#include <vector>

#include <zlib.h>

namespace {

constexpr size_t kHeaderSize = 6;    // "bird" and two format bytes
constexpr unsigned kInfoType = 4;    // block type of the info block
constexpr unsigned kTypeMask = 0x1F; // low five bits of a block header byte
constexpr size_t kInfoSize = 64;     // four 16-character fields
constexpr size_t kFieldWidth = 16;
constexpr size_t kFieldSignificant = 15;
// The simulator refuses to inflate more than this, whatever the file says.
constexpr size_t kMaxContent = 256u * 1024 * 1024;
constexpr size_t kInflateChunk = 64u * 1024;

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Inflates the payload chunk by chunk until `enough` says the content so far
// suffices, or to its end.
template <typename Enough>
bool inflateUntil(const unsigned char* in, size_t size, std::vector<unsigned char>& out,
                  std::string& why, Enough enough) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        why = "inflateInit failed";
        return false;
    }
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (out.size() >= kMaxContent) {
            why = "content too large";
            inflateEnd(&z);
            return false;
        }
        const size_t used = out.size();
        out.resize(used + kInflateChunk);
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(kInflateChunk);
        rc = inflate(&z, Z_NO_FLUSH);
        out.resize(used + (kInflateChunk - z.avail_out));
        if (rc != Z_OK && rc != Z_STREAM_END) {
            why = "payload does not inflate";
            inflateEnd(&z);
            return false;
        }
        if (enough(out))
            break;
        if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
            why = "payload ends early";
            inflateEnd(&z);
            return false;
        }
    }
    inflateEnd(&z);
    return true;
}

std::string field(const unsigned char* data, size_t index) {
    return std::string(reinterpret_cast<const char*>(data + index * kFieldWidth), kFieldWidth);
}

// Looks for the first complete info block in the content read so far.
// True when found (info filled in); false when the content seen so far holds
// none.
bool findInfo(const std::vector<unsigned char>& content, BirdInfo& info) {
    if (content.size() < 4)
        return false;
    // Blocks follow the count word: a header byte, a 4-byte length, the data.
    size_t at = 4;
    while (content.size() - at >= 5) {
        const unsigned type = content[at] & kTypeMask;
        const uint32_t length = be32(&content[at + 1]);
        at += 5;
        if (length > content.size() - at)
            return false;
        if (type == kInfoType && length >= kInfoSize) {
            const unsigned char* data = &content[at];
            std::string build = field(data, 0).substr(0, kFieldSignificant);
            size_t digitsFrom = build.find_first_not_of(' ');
            info.build.clear();
            for (size_t i = digitsFrom; i != std::string::npos && i < build.size(); ++i) {
                if (build[i] < '0' || build[i] > '9')
                    break;
                info.build += build[i];
            }
            std::string version = field(data, 1).substr(0, kFieldSignificant);
            info.version = version.substr(0, version.find(' '));
            info.serial = field(data, 2).substr(0, 8);
            std::string model = field(data, 3);
            info.model = model.substr(0, model.find_last_not_of(' ') + 1);
            return true;
        }
        at += length;
    }
    return false;
}

} // namespace

bool readBirdInfo(const std::string& path, BirdInfo& info, std::string& why) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "cannot open";
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    file.seekg(0, std::ios::beg);
    if (size < 0) {
        why = "cannot size";
        return false;
    }
    std::vector<unsigned char> raw(static_cast<size_t>(size));
    if (!file.read(reinterpret_cast<char*>(raw.data()), size)) {
        why = "cannot read";
        return false;
    }
    if (raw.size() <= kHeaderSize || raw[0] != 'b' || raw[1] != 'i' || raw[2] != 'r' ||
        raw[3] != 'd') {
        why = "not a BIRD file";
        return false;
    }
    // Only as much of the payload is inflated as it takes to reach the info
    // block, which writers usually put first.
    std::vector<unsigned char> content;
    bool found = false;
    if (!inflateUntil(raw.data() + kHeaderSize, raw.size() - kHeaderSize, content, why,
                      [&](const std::vector<unsigned char>& c) {
                          found = findInfo(c, info);
                          return found;
                      }))
        return false;
    if (found)
        return true;
    why = "no info block";
    return false;
}
