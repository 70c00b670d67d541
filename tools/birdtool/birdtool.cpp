// birdtool: writes and prints BIRD firmware files (see README.md).
//
// This is deliberately an independent implementation of the format: it shares
// nothing with firmware/BirdFile, so that fixtures made here test the reader
// rather than mirror it.

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr size_t kInfoFieldWidth = 16;
constexpr uint32_t kDescriptorMagic = 0xC0DE5EED;
constexpr size_t kDescriptorSize = 16;
constexpr size_t kAddressSize = 4;
// unpack and show refuse to inflate beyond this; fixtures are far smaller.
constexpr uint64_t kMaxInflatedSize = 1ull << 30;
constexpr uint8_t kTypeLoader = 0;
constexpr uint8_t kTypeFirmware = 1;
constexpr uint8_t kTypeSerialOffsets = 2;
constexpr uint8_t kTypeInfo = 4;
constexpr uint8_t kTypeLoaderStart = 5;
constexpr uint32_t kDumpRowBytes = 50;

// A usage error: reported with exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --- small helpers -------------------------------------------------------

uint64_t parseNumber(const std::string& text, uint64_t max, const char* what) {
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty()) {
        throw UsageError(std::string("bad ") + what + ": '" + text + "'");
    }
    for (char c : digits) {
        if (!(base == 16 ? std::isxdigit(static_cast<unsigned char>(c))
                         : std::isdigit(static_cast<unsigned char>(c)))) {
            throw UsageError(std::string("bad ") + what + ": '" + text + "'");
        }
    }
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, base);
    if (errno != 0 || value > max) {
        throw UsageError(std::string(what) + " out of range: '" + text + "'");
    }
    return value;
}

uint32_t parse32(const std::string& text, const char* what) {
    return static_cast<uint32_t>(parseNumber(text, 0xFFFFFFFFull, what));
}

// Splits text at its first (parts - 1) colons.
std::vector<std::string> splitFields(const std::string& text, size_t parts, const char* option) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() + 1 < parts) {
        size_t colon = text.find(':', start);
        if (colon == std::string::npos) {
            throw UsageError(std::string(option) + " needs " + std::to_string(parts) +
                             " colon-separated fields: '" + text + "'");
        }
        fields.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

Bytes parseHex(const std::string& hex, const char* what) {
    if (hex.size() % 2 != 0) {
        throw UsageError(std::string(what) + ": odd number of hex digits");
    }
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) ||
            !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
            throw UsageError(std::string(what) + ": not hex: '" + hex + "'");
        }
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeWholeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void putBE32(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void setLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// SOURCE: fill:SIZE:BYTE, counter:SIZE, hex:DIGITS or a file path.
Bytes readSource(const std::string& source) {
    if (source.rfind("fill:", 0) == 0) {
        auto f = splitFields(source.substr(5), 2, "fill:");
        uint64_t size = parseNumber(f[0], kMaxInflatedSize, "fill size");
        return Bytes(size, static_cast<uint8_t>(parseNumber(f[1], 0xFF, "fill byte")));
    }
    if (source.rfind("counter:", 0) == 0) {
        uint64_t size = parseNumber(source.substr(8), kMaxInflatedSize, "counter size");
        Bytes out(size);
        for (uint64_t i = 0; i < size; ++i) {
            out[i] = static_cast<uint8_t>(i % 251);
        }
        return out;
    }
    if (source.rfind("hex:", 0) == 0) {
        return parseHex(source.substr(4), "hex source");
    }
    return readWholeFile(source);
}

uint32_t packVersion(const std::string& text) {
    if (text.find('.') == std::string::npos) {
        return parse32(text, "descriptor version");
    }
    std::vector<std::string> f;
    size_t start = 0;
    for (size_t dot; (dot = text.find('.', start)) != std::string::npos; start = dot + 1) {
        f.push_back(text.substr(start, dot - start));
    }
    f.push_back(text.substr(start));
    if (f.size() != 3) {
        throw UsageError("descriptor version must be a number or MAJOR.MINOR.PATCH: '" + text +
                         "'");
    }
    uint32_t major = static_cast<uint32_t>(parseNumber(f[0], 0xFF, "major"));
    uint32_t minor = static_cast<uint32_t>(parseNumber(f[1], 0xFF, "minor"));
    uint32_t patch = parse32(f[2], "patch");
    if (major > 2 || (major == 2 && minor > 14)) {
        return 0x2F000000u | (major << 16) | (minor << 8) | (patch & 0xFF);
    }
    return (major << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF);
}

// --- create --------------------------------------------------------------

struct Block {
    uint8_t header = 0;
    Bytes data;
    bool hasImage = false; // loader or firmware: data begins with the address
};

struct CreateOptions {
    std::string out;
    std::string signature = "bird";
    uint16_t formatVersion = 0x0101;
    int level = Z_DEFAULT_COMPRESSION;
    bool countSet = false;
    uint32_t count = 0;
    bool checksumSet = false;
    uint32_t checksum = 0;
    uint64_t trailing = 0;
    bool truncateContentSet = false;
    uint64_t truncateContent = 0;
    bool truncateFileSet = false;
    uint64_t truncateFile = 0;
    std::vector<std::pair<uint64_t, unsigned>> flips;
    std::string contentOut;
};

Bytes compress(const Bytes& content, int level) {
    uLongf bound = compressBound(static_cast<uLong>(content.size()));
    Bytes out(bound);
    int r =
        compress2(out.data(), &bound, content.data(), static_cast<uLong>(content.size()), level);
    if (r != Z_OK) {
        throw std::runtime_error("zlib compress failed (" + std::to_string(r) + ")");
    }
    out.resize(bound);
    return out;
}

Bytes wrapFile(const CreateOptions& o, const Bytes& content) {
    Bytes file(o.signature.begin(), o.signature.end());
    file.push_back(static_cast<uint8_t>(o.formatVersion >> 8));
    file.push_back(static_cast<uint8_t>(o.formatVersion));
    Bytes z = compress(content, o.level);
    file.insert(file.end(), z.begin(), z.end());
    if (o.truncateFileSet && o.truncateFile < file.size()) {
        file.resize(o.truncateFile);
    }
    for (auto& flip : o.flips) {
        if (flip.first >= file.size()) {
            throw UsageError("--flip-bit offset past the end of the file");
        }
        file[flip.first] ^= static_cast<uint8_t>(1u << flip.second);
    }
    return file;
}

Block& lastImage(std::vector<Block>& blocks, const char* option) {
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        if (it->hasImage) {
            return *it;
        }
    }
    throw UsageError(std::string(option) + " needs an earlier --loader or --firmware");
}

void patchImage(Block& b, uint64_t offset, const Bytes& bytes, const char* option) {
    uint64_t imageSize = b.data.size() - kAddressSize;
    if (offset > imageSize || bytes.size() > imageSize - offset) {
        throw UsageError(std::string(option) + " writes past the image");
    }
    std::memcpy(b.data.data() + kAddressSize + offset, bytes.data(), bytes.size());
}

bool parseFileOption(const std::string& opt, const std::string& arg, CreateOptions& o) {
    if (opt == "-o") {
        o.out = arg;
    } else if (opt == "--signature") {
        if (arg.size() != 4) {
            throw UsageError("--signature needs exactly 4 characters");
        }
        o.signature = arg;
    } else if (opt == "--format-version") {
        o.formatVersion = static_cast<uint16_t>(parseNumber(arg, 0xFFFF, "format version"));
    } else if (opt == "--level") {
        o.level = static_cast<int>(parseNumber(arg, 9, "level"));
    } else {
        return false;
    }
    return true;
}

int cmdCreate(const std::vector<std::string>& args) {
    CreateOptions o;
    std::vector<Block> blocks;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& opt = args[i];
        if (i + 1 >= args.size()) {
            throw UsageError(opt + " needs an argument");
        }
        const std::string& arg = args[++i];
        if (parseFileOption(opt, arg, o)) {
            continue;
        }
        if (opt == "--loader" || opt == "--firmware") {
            auto f = splitFields(arg, 3, opt.c_str());
            Block b;
            uint8_t type = opt == "--loader" ? kTypeLoader : kTypeFirmware;
            uint32_t flags = static_cast<uint32_t>(parseNumber(f[1], 7, "flags"));
            b.header = static_cast<uint8_t>(type | (flags << 5));
            putBE32(b.data, parse32(f[0], "address"));
            Bytes image = readSource(f[2]);
            b.data.insert(b.data.end(), image.begin(), image.end());
            b.hasImage = true;
            blocks.push_back(std::move(b));
        } else if (opt == "--info") {
            auto f = splitFields(arg, 4, "--info");
            Block b;
            b.header = kTypeInfo;
            for (auto& field : f) {
                if (field.size() > kInfoFieldWidth) {
                    throw UsageError("--info field longer than 16 characters: '" + field + "'");
                }
                std::string padded = field + std::string(kInfoFieldWidth - field.size(), ' ');
                b.data.insert(b.data.end(), padded.begin(), padded.end());
            }
            blocks.push_back(std::move(b));
        } else if (opt == "--serial-offsets") {
            auto f = splitFields(arg, 2, "--serial-offsets");
            Block b;
            b.header = kTypeSerialOffsets;
            putBE32(b.data, parse32(f[0], "serial offset"));
            putBE32(b.data, parse32(f[1], "descriptor offset"));
            blocks.push_back(std::move(b));
        } else if (opt == "--loader-start") {
            Block b;
            b.header = kTypeLoaderStart;
            putBE32(b.data, parse32(arg, "loader start"));
            blocks.push_back(std::move(b));
        } else if (opt == "--raw") {
            auto f = splitFields(arg, 2, "--raw");
            Block b;
            b.header = static_cast<uint8_t>(parseNumber(f[0], 0xFF, "header byte"));
            b.data = readSource(f[1]);
            blocks.push_back(std::move(b));
        } else if (opt == "--descriptor") {
            auto f = splitFields(arg, 4, "--descriptor");
            Bytes d(kDescriptorSize);
            setLE32(&d[0], kDescriptorMagic);
            setLE32(&d[4], parse32(f[1], "descriptor build"));
            setLE32(&d[8], packVersion(f[2]));
            setLE32(&d[12], parse32(f[3], "descriptor model"));
            patchImage(lastImage(blocks, "--descriptor"),
                       parseNumber(f[0], kMaxInflatedSize, "offset"), d, "--descriptor");
        } else if (opt == "--patch") {
            auto f = splitFields(arg, 2, "--patch");
            patchImage(lastImage(blocks, "--patch"), parseNumber(f[0], kMaxInflatedSize, "offset"),
                       parseHex(f[1], "--patch"), "--patch");
        } else if (opt == "--utf16") {
            auto f = splitFields(arg, 2, "--utf16");
            Bytes u;
            for (char c : f[1]) {
                u.push_back(static_cast<uint8_t>(c));
                u.push_back(0);
            }
            patchImage(lastImage(blocks, "--utf16"), parseNumber(f[0], kMaxInflatedSize, "offset"),
                       u, "--utf16");
        } else if (opt == "--count") {
            o.countSet = true;
            o.count = parse32(arg, "count");
        } else if (opt == "--checksum") {
            o.checksumSet = true;
            o.checksum = parse32(arg, "checksum");
        } else if (opt == "--trailing") {
            o.trailing = parseNumber(arg, kMaxInflatedSize, "trailing");
        } else if (opt == "--truncate-content") {
            o.truncateContentSet = true;
            o.truncateContent = parseNumber(arg, kMaxInflatedSize, "content size");
        } else if (opt == "--truncate-file") {
            o.truncateFileSet = true;
            o.truncateFile = parseNumber(arg, kMaxInflatedSize, "file size");
        } else if (opt == "--flip-bit") {
            auto f = splitFields(arg, 2, "--flip-bit");
            o.flips.emplace_back(parseNumber(f[0], kMaxInflatedSize, "offset"),
                                 static_cast<unsigned>(parseNumber(f[1], 7, "bit")));
        } else if (opt == "--content-out") {
            o.contentOut = arg;
        } else {
            throw UsageError("unknown option " + opt);
        }
    }
    if (o.out.empty()) {
        throw UsageError("create needs -o OUT");
    }

    Bytes content;
    putBE32(content, o.countSet ? o.count : static_cast<uint32_t>(blocks.size()));
    for (const Block& b : blocks) {
        content.push_back(b.header);
        putBE32(content, static_cast<uint32_t>(b.data.size()));
        content.insert(content.end(), b.data.begin(), b.data.end());
    }
    uint32_t crc =
        static_cast<uint32_t>(crc32(0L, content.data(), static_cast<uInt>(content.size())));
    putBE32(content, o.checksumSet ? o.checksum : crc);
    content.insert(content.end(), o.trailing, 0);
    if (o.truncateContentSet && o.truncateContent < content.size()) {
        content.resize(o.truncateContent);
    }
    if (!o.contentOut.empty()) {
        writeWholeFile(o.contentOut, content);
    }
    writeWholeFile(o.out, wrapFile(o, content));
    return kExitOk;
}

int cmdPack(const std::vector<std::string>& args) {
    CreateOptions o;
    std::string input;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("-", 0) == 0) {
            if (i + 1 >= args.size() || !parseFileOption(args[i], args[i + 1], o)) {
                throw UsageError("bad pack option " + args[i]);
            }
            ++i;
        } else {
            input = args[i];
        }
    }
    if (o.out.empty() || input.empty()) {
        throw UsageError("pack needs -o OUT and a CONTENT file");
    }
    writeWholeFile(o.out, wrapFile(o, readWholeFile(input)));
    return kExitOk;
}

// --- reading -------------------------------------------------------------

// Inflates a zlib stream with no size guess, growing the output as needed.
bool inflateAll(const uint8_t* in, size_t inSize, Bytes& out, std::string& error) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    if (inflateInit(&zs) != Z_OK) {
        error = "inflateInit failed";
        return false;
    }
    zs.next_in = const_cast<Bytef*>(in);
    zs.avail_in = static_cast<uInt>(inSize);
    out.clear();
    constexpr size_t kChunk = 1 << 16;
    int r = Z_OK;
    while (r != Z_STREAM_END) {
        if (out.size() >= kMaxInflatedSize) {
            error = "content larger than 1 GiB";
            inflateEnd(&zs);
            return false;
        }
        size_t used = out.size();
        out.resize(used + kChunk);
        zs.next_out = out.data() + used;
        zs.avail_out = kChunk;
        r = inflate(&zs, Z_NO_FLUSH);
        out.resize(used + (kChunk - zs.avail_out));
        if (r == Z_BUF_ERROR && zs.avail_in == 0) {
            error = "zlib stream truncated";
            inflateEnd(&zs);
            return false;
        }
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) {
            error = std::string("zlib error ") + std::to_string(r) +
                    (zs.msg ? std::string(": ") + zs.msg : "");
            inflateEnd(&zs);
            return false;
        }
    }
    inflateEnd(&zs);
    return true;
}

bool loadContent(const std::string& path, Bytes& file, Bytes& content, std::string& error) {
    file = readWholeFile(path);
    if (file.size() <= 6) {
        error = "file too short (" + std::to_string(file.size()) + " bytes)";
        return false;
    }
    return inflateAll(file.data() + 6, file.size() - 6, content, error);
}

int cmdUnpack(const std::vector<std::string>& args) {
    std::string out, input;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "-o" && i + 1 < args.size()) {
            out = args[++i];
        } else {
            input = args[i];
        }
    }
    if (out.empty() || input.empty()) {
        throw UsageError("unpack needs -o CONTENT and a FILE");
    }
    Bytes file, content;
    std::string error;
    if (!loadContent(input, file, content, error)) {
        std::fprintf(stderr, "birdtool: %s: %s\n", input.c_str(), error.c_str());
        return kExitFailure;
    }
    writeWholeFile(out, content);
    return kExitOk;
}

struct ParsedBlock {
    uint8_t type, flags;
    uint32_t length;
    size_t offset; // of the data in the content
};

std::string trimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

std::string printable(const uint8_t* p, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += std::isprint(p[i]) ? static_cast<char>(p[i]) : '?';
    }
    return s;
}

struct ParsedContent {
    std::vector<ParsedBlock> blocks;
    uint32_t declared = 0;
    bool haveChecksum = false;
    uint32_t checksum = 0;
    size_t checksumAt = 0;
    std::vector<std::string> problems; // "error: ..." lines
};

// Parses the block records, noting every way in which the content does not
// add up.
ParsedContent parseBlocks(const Bytes& c) {
    ParsedContent r;
    std::vector<ParsedBlock>& blocks = r.blocks;
    bool ok = true;
    if (c.size() < 4) {
        r.problems.push_back("error: content shorter than the block count");
        return r;
    }
    uint32_t& declared = r.declared;
    declared = be32(c.data());
    size_t pos = 4;
    // Stop where only the checksum word can be left.
    bool extra = false;
    // Five or more bytes left: a block header (or, once every declared
    // block has been read, the checksum and bytes after it).
    while (c.size() - pos > 4) {
        ParsedBlock b;
        b.type = c[pos] & 0x1F;
        b.flags = static_cast<uint8_t>(c[pos] >> 5);
        b.length = be32(&c[pos + 1]);
        b.offset = pos + 5;
        if (b.length > c.size() - b.offset) {
            if (blocks.size() >= declared) {
                extra = true;
            } else {
                r.problems.push_back("error: block " + std::to_string(blocks.size()) +
                                     " runs past the content");
                ok = false;
            }
            break;
        }
        blocks.push_back(b);
        pos = b.offset + b.length;
    }
    if (ok && c.size() - pos >= 4) {
        r.haveChecksum = true;
        r.checksumAt = pos;
        r.checksum = be32(&c[pos]);
        if (extra) {
            r.problems.push_back("error: " + std::to_string(c.size() - pos - 4) +
                                 " bytes after the checksum");
        }
    } else if (ok) {
        r.problems.push_back("error: content ends without a full checksum word");
    }
    if (declared != blocks.size()) {
        r.problems.push_back("error: block count " + std::to_string(declared) + " but " +
                             std::to_string(blocks.size()) + " blocks parsed");
    }
    return r;
}

int cmdShow(const std::vector<std::string>& args) {
    if (args.size() != 1) {
        throw UsageError("show needs one FILE");
    }
    const std::string& path = args[0];
    Bytes file, c;
    std::string error;
    bool loaded = loadContent(path, file, c, error);
    std::printf("file: %s\nfile-size: %zu\n", path.c_str(), file.size());
    if (file.size() >= 6) {
        std::printf("signature: \"%s\" 0x%08X\n", printable(file.data(), 4).c_str(),
                    be32(file.data()));
        std::printf("format-version: 0x%02X%02X\n", file[4], file[5]);
    }
    if (!loaded) {
        std::printf("error: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("content-size: %zu\n", c.size());

    ParsedContent parsed = parseBlocks(c);
    const std::vector<ParsedBlock>& blocks = parsed.blocks;
    std::vector<std::string>& problems = parsed.problems;
    const size_t checksumAt = parsed.checksumAt;
    const uint32_t checksum = parsed.checksum;
    const bool haveChecksum = parsed.haveChecksum;
    const uint32_t declared = parsed.declared;
    std::printf("block-count: %u\n", declared);
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ParsedBlock& b = blocks[i];
        std::printf("block %zu: type %u flags %u length %u", i, b.type, b.flags, b.length);
        if ((b.type == kTypeLoader || b.type == kTypeFirmware) && b.length >= 4) {
            std::printf(" address 0x%08X", be32(&c[b.offset]));
        }
        std::printf("\n");
    }
    if (haveChecksum) {
        uint32_t crc = static_cast<uint32_t>(crc32(0L, c.data(), static_cast<uInt>(checksumAt)));
        if (crc == checksum) {
            std::printf("checksum: 0x%08X crc32 ok\n", checksum);
        } else {
            std::printf("checksum: 0x%08X crc32 mismatch 0x%08X\n", checksum, crc);
        }
    }
    bool seenInfo = false, seenOffsets = false, seenStart = false;
    for (const ParsedBlock& b : blocks) {
        const uint8_t* d = &c[b.offset];
        if (b.type == kTypeInfo && b.length >= 4 * kInfoFieldWidth && !seenInfo) {
            seenInfo = true;
            std::string f[4];
            for (int k = 0; k < 4; ++k) {
                f[k] = trimRight(printable(d + k * kInfoFieldWidth, kInfoFieldWidth));
            }
            std::printf("info: build \"%s\" version \"%s\" serial \"%s\" model \"%s\"\n",
                        f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str());
        } else if (b.type == kTypeSerialOffsets && b.length >= 8 && !seenOffsets) {
            seenOffsets = true;
            std::printf("offsets: serial 0x%08X descriptor 0x%08X\n", be32(d), be32(d + 4));
        } else if (b.type == kTypeLoaderStart && b.length >= 4 && !seenStart) {
            seenStart = true;
            std::printf("loader-start: 0x%08X\n", be32(d));
        }
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        const ParsedBlock& b = blocks[i];
        if ((b.type != kTypeLoader && b.type != kTypeFirmware) || b.length < kAddressSize) {
            continue;
        }
        const uint8_t* image = &c[b.offset + kAddressSize];
        size_t size = b.length - kAddressSize;
        for (size_t off = 0; off + kDescriptorSize <= size; off += 4) {
            if (le32(image + off) == kDescriptorMagic) {
                std::printf("descriptor: block %zu offset 0x%zX build %u version 0x%08X model %u\n",
                            i, off, le32(image + off + 4), le32(image + off + 8),
                            le32(image + off + 12));
            }
        }
    }
    for (const std::string& p : problems) {
        std::printf("%s\n", p.c_str());
    }
    return problems.empty() ? kExitOk : kExitFailure;
}

int cmdDump(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        throw UsageError("dump needs FILE TYPE");
    }
    uint32_t type = static_cast<uint32_t>(parseNumber(args[1], 31, "block type"));
    Bytes file, c;
    std::string error;
    if (!loadContent(args[0], file, c, error)) {
        std::fprintf(stderr, "birdtool: %s: %s\n", args[0].c_str(), error.c_str());
        return kExitFailure;
    }
    const std::vector<ParsedBlock> blocks = parseBlocks(c).blocks;

    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", args[0].c_str());
    for (const ParsedBlock& b : blocks) {
        if (b.type != type) {
            continue;
        }
        std::string text;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % kDumpRowBytes == 0) {
                std::printf(" %s\r\n%06u: ", text.c_str(), i);
                text.clear();
            }
            uint8_t byte = c[b.offset + i];
            std::printf("%02X ", byte);
            text += std::isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        std::printf(" %s\n", text.c_str());
    }
    std::printf("\n");
    return kExitOk;
}

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: birdtool create -o OUT [options] BLOCK...\n"
        "       birdtool pack -o OUT [--signature S] [--format-version W] [--level N] CONTENT\n"
        "       birdtool unpack -o CONTENT FILE\n"
        "       birdtool show FILE\n"
        "       birdtool dump FILE TYPE\n"
        "See tools/birdtool/README.md for the options.\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "create") {
            return cmdCreate(args);
        } else if (command == "pack") {
            return cmdPack(args);
        } else if (command == "unpack") {
            return cmdUnpack(args);
        } else if (command == "show") {
            return cmdShow(args);
        } else if (command == "dump") {
            return cmdDump(args);
        } else if (command == "-h" || command == "--help") {
            usage(stdout);
            return kExitOk;
        }
        usage(stderr);
        return kExitUsage;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "birdtool: %s\n", e.what());
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "birdtool: %s\n", e.what());
        return kExitFailure;
    }
}
