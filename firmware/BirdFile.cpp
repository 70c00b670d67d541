#include "firmware/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "app/Log.h"
#include "devlib/unix_file.h"

namespace {

// A read-only window over bytes that knows its end. Every multi-byte read of
// this unit goes through GetInt or GetShort over such a window, so a length
// or offset taken from the file can never lead a read outside it.
struct ByteSpan {
    const uint8_t* begin;
    uint64_t size;
};

// Reads the big-endian 32-bit word at offset. False (and *value untouched)
// when the four bytes do not all lie inside the span.
bool GetInt(const ByteSpan& span, uint64_t offset, uint32_t* value) {
    if (span.begin == nullptr || offset > span.size || span.size - offset < 4) {
        return false;
    }
    const uint8_t* p = span.begin + offset;
    *value =
        (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
    return true;
}

// Reads the big-endian 16-bit value at offset; false when it does not fit.
bool GetShort(const ByteSpan& span, uint64_t offset, uint16_t* value) {
    if (span.begin == nullptr || offset > span.size || span.size - offset < 2) {
        return false;
    }
    const uint8_t* p = span.begin + offset;
    *value = static_cast<uint16_t>((p[0] << 8) | p[1]);
    return true;
}

// Firmware images store patched words little-endian, unlike the file itself.
uint32_t readLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void writeLE32(uint8_t* p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

// The first compressed-to-content ratio tried; most images fit at once.
constexpr uint64_t kInitialInflateRatio = 8;
// Scratch window used to measure a content that did not fit the first try.
constexpr size_t kMeasureWindow = 64 * 1024;
// A block record: header byte and 32-bit length before the data.
constexpr uint32_t kBlockHeaderSize = 5;
constexpr uint32_t kWordSize = 4;
// Serial numbers are patched in as "%08X".
constexpr size_t kSerialDigits = 8;
// A USB string descriptor holds one UTF-16LE unit (two bytes) per character.
constexpr uint32_t kDescriptorBytes = 2 * kSerialDigits;
// The vector table: words 0-6 are summed, word 7 holds the checksum.
constexpr uint32_t kVectorWords = 8;
constexpr uint32_t kVectorChecksumWord = 7;
constexpr size_t kKeyBytes = 16;
constexpr uint32_t kDumpRowBytes = 50;

// Measures how large the content of a zlib stream is, without keeping it, by
// inflating into a small window. Returns false with zlib's code in *code when
// the stream is invalid, or when the content exceeds limit (code Z_BUF_ERROR).
bool measureInflatedSize(const uint8_t* payload, uint64_t length, uint64_t limit, uint64_t* size,
                         int* code) {
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    int r = inflateInit(&zs);
    if (r != Z_OK) {
        *code = r;
        return false;
    }
    std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[kMeasureWindow]);
    if (!window) {
        inflateEnd(&zs);
        *code = Z_MEM_ERROR;
        return false;
    }
    const uint8_t* next = payload;
    uint64_t left = length;
    uint64_t total = 0;
    do {
        if (zs.avail_in == 0 && left > 0) {
            uInt chunk = static_cast<uInt>(std::min<uint64_t>(left, 1u << 30));
            zs.next_in = const_cast<Bytef*>(next);
            zs.avail_in = chunk;
            next += chunk;
            left -= chunk;
        }
        zs.next_out = window.get();
        zs.avail_out = kMeasureWindow;
        const uInt inputBefore = zs.avail_in;
        r = inflate(&zs, Z_NO_FLUSH);
        const uint64_t produced = kMeasureWindow - zs.avail_out;
        total += produced;
        if (r == Z_BUF_ERROR && produced == 0 && zs.avail_in == inputBefore && zs.avail_in > 0) {
            // No progress although there is input and room: give up.
            r = Z_DATA_ERROR;
            break;
        }
        if (total > limit) {
            r = Z_BUF_ERROR;
            break;
        }
        if (r == Z_BUF_ERROR && zs.avail_in == 0 && left == 0) {
            // The input ended inside the stream: a truncated file.
            r = Z_DATA_ERROR;
            break;
        }
    } while (r == Z_OK || r == Z_BUF_ERROR);
    inflateEnd(&zs);
    if (r != Z_STREAM_END) {
        *code = (r == Z_NEED_DICT) ? Z_DATA_ERROR : r;
        return false;
    }
    *size = total;
    return true;
}

// Skips leading white space as the C conversions do.
const char* skipSpace(const char* p) {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    return p;
}

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* filePath) : path(filePath != nullptr ? filePath : "") {
    if (filePath == nullptr || !Load()) {
        throw std::runtime_error("Failed to load bird data");
    }
}

BirdFile::BirdFile(BirdFile&& other) noexcept {
    *this = std::move(other);
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
    if (this == &other) {
        return *this;
    }
    path = std::move(other.path);
    signature = std::exchange(other.signature, 0);
    version = std::exchange(other.version, 0);
    checksum = std::exchange(other.checksum, 0);
    blockCount = std::exchange(other.blockCount, 0);
    // The blocks point into the content buffer, which moves by pointer only.
    blocks = std::move(other.blocks);
    other.blocks.clear();
    hasSerialOffsets = std::exchange(other.hasSerialOffsets, false);
    serialNumberOffset = std::exchange(other.serialNumberOffset, 0);
    descriptorOffset = std::exchange(other.descriptorOffset, 0);
    content = std::move(other.content);
    contentSize = std::exchange(other.contentSize, 0);
    other.path.clear();
    return *this;
}

BirdFile::~BirdFile() = default;

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFileHandle* file = aFile_Open(path.c_str(), aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    size_t size = 0;
    aErr e = aFile_GetSize(file, &size);
    if (e != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(e), path.c_str());
        aFile_Close(&file);
        return false;
    }

    bool ok = false;
    // The whole file is read in one go; the raw bytes are dropped once inflated.
    std::unique_ptr<uint8_t[]> raw(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!raw) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(aErrMemory),
                 path.c_str());
    } else {
        size_t got = 0;
        e = size > 0 ? aFile_Read(file, raw.get(), size, &got) : aErrNone;
        if (e != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(e),
                     path.c_str());
        } else if (got < size) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                     path.c_str(), got, size);
        } else {
            ok = LoadFromMemory(raw.get(), size);
        }
    }
    raw.reset();
    aFile_Close(&file);
    return ok;
}

bool BirdFile::LoadFromMemory(const uint8_t* bytes, uint64_t size) {
    if (bytes == nullptr || size <= BIRD_FILE_HEADER_SIZE) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no payload in bird file [%s] (%llu bytes)\n",
                 path.c_str(), static_cast<unsigned long long>(bytes == nullptr ? 0 : size));
        return false;
    }
    ByteSpan file{bytes, size};
    uint16_t formatVersion = 0;
    GetInt(file, 0, &signature);
    GetShort(file, BIRD_FILE_SIGNATURE_SIZE, &formatVersion);
    version = formatVersion;

    if (!DecompressData(bytes + BIRD_FILE_HEADER_SIZE, size - BIRD_FILE_HEADER_SIZE)) {
        return false;
    }
    // A content that does not add up still loads with the blocks read before
    // the fault; ScanBlocks has reported the mismatch to the debug log.
    ScanBlocks(content.get(), contentSize);
    FindSerialNumberOffsets();
    return true;
}

bool BirdFile::VerifyFile(const char* filePath) {
    aFileHandle* file = aFile_Open(filePath, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filePath != nullptr ? filePath : "");
        return false;
    }
    uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
    size_t got = 0;
    aErr e = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return e == aErrNone && got == sizeof header &&
           std::memcmp(header, BIRD_FILE_SIGNATURE, BIRD_FILE_SIGNATURE_SIZE) == 0 &&
           header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* payload, uint64_t length) {
    // The first try sizes the buffer from the compressed length. Images that
    // are mostly padding compress far better than 8:1; for those the content
    // is measured and inflated once more into a buffer of exactly that size,
    // so memory stays at the compressed plus the inflated size. The old
    // blocks point into the buffer about to be released, so they go too.
    blocks.clear();
    blockCount = 0;
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    content.reset();
    contentSize = 0;
    int r = Z_DATA_ERROR;
    if (payload != nullptr && length > 0) {
        uint64_t capacity = std::min(length * kInitialInflateRatio, BIRD_FILE_MAX_CONTENT_SIZE);
        for (int attempt = 0; attempt < 2; ++attempt) {
            content.reset(new (std::nothrow) uint8_t[capacity]);
            if (!content) {
                r = Z_MEM_ERROR;
                break;
            }
            uLongf produced = static_cast<uLongf>(capacity);
            r = uncompress(content.get(), &produced, payload, static_cast<uLong>(length));
            if (r == Z_OK) {
                contentSize = static_cast<uint32_t>(produced);
                return true;
            }
            if (r != Z_BUF_ERROR || attempt > 0 || capacity >= BIRD_FILE_MAX_CONTENT_SIZE) {
                break;
            }
            // Too small: find the real size (bounded by the cap) and retry.
            content.reset();
            uint64_t needed = 0;
            if (!measureInflatedSize(payload, length, BIRD_FILE_MAX_CONTENT_SIZE, &needed, &r)) {
                break;
            }
            capacity = std::max<uint64_t>(needed, 1);
        }
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", r);
    content.reset();
    contentSize = 0;
    return false;
}

bool BirdFile::ScanBlocks(uint8_t* data, uint32_t size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (data == nullptr) {
        size = 0;
    }
    const ByteSpan span{data, size};
    bool verdict = true;

    uint32_t declared = 0;
    if (!GetInt(span, 0, &declared)) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size));
        return false;
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    uint64_t pos = kWordSize;
    bool cut = false; // a block ran past the content
    while (size - pos > kWordSize) {
        // At least five bytes remain, so the record header itself fits.
        uint32_t length = 0;
        GetInt(span, pos + 1, &length);
        const uint64_t dataAt = pos + kBlockHeaderSize;
        if (length > size - dataAt) {
            cut = true;
            break;
        }
        BirdBlock block;
        block.type = data[pos] & BIRD_FILE_TYPE_MASK;
        block.flags =
            static_cast<uint8_t>((data[pos] & BIRD_FILE_FLAG_MASK) >> BIRD_FILE_FLAG_SHIFT);
        block.length = length;
        block.data = data + dataAt;
        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) {
            GetInt(ByteSpan{block.data, length}, 0, &block.address);
        }
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(length));
        if (block.type == BLOCK_INFO && length >= BIRD_INFO_SIZE) {
            for (uint32_t field = 0; field < 4; ++field) {
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + field * BIRD_INFO_FIELD_WIDTH));
            }
        }
        blocks.push_back(block);
        ++blockCount;
        pos = dataAt + length;
    }

    int64_t remaining = static_cast<int64_t>(size - pos);
    if (!cut || blockCount == declared) {
        // After the last block comes the checksum word. When a record runs
        // past the end although every declared block has been read, what
        // follows is taken as the checksum and the bytes after it as extra.
        if (GetInt(span, pos, &checksum)) {
            Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
        }
        remaining -= kWordSize;
    }
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        verdict = false;
    }
    if (blockCount != declared) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(declared));
        verdict = false;
    }
    return verdict;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks) {
        if (block.type == type) {
            found.push_back(block);
        }
    }
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    std::string text;
    for (const BirdBlock& block : blocks) {
        if (block.type != type) {
            continue;
        }
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % kDumpRowBytes == 0) {
                std::printf(" %s\r\n%06u: ", text.c_str(), i);
                text.clear();
            }
            uint8_t byte = block.data[i];
            std::printf("%02X ", byte);
            text += std::isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        std::printf(" %s\n", text.c_str());
        text.clear();
    }
    std::printf("\n");
    return true;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0) {
        return false;
    }
    for (const BirdBlock& block : blocks) {
        // A serial-offsets block too short for its two words counts as absent.
        if (block.type != BLOCK_SERIAL_OFFSETS || block.data == nullptr ||
            block.length < BIRD_SERIAL_OFFSETS_SIZE) {
            continue;
        }
        const ByteSpan span{block.data, block.length};
        GetInt(span, 0, &serialNumberOffset);
        GetInt(span, kWordSize, &descriptorOffset);
        hasSerialOffsets = true;
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %u, Descriptor: %u\n",
                 serialNumberOffset, descriptorOffset);
        return true;
    }
    return false;
}

namespace {

// The data offset of device address `where` inside a firmware block when the
// n bytes from there lie wholly inside the block's image, else -1.
int64_t imageOffset(const BirdBlock& block, uint32_t where, uint32_t n) {
    if (block.data == nullptr || block.length < BIRD_ADDRESS_SIZE || where < block.address) {
        return -1;
    }
    const uint64_t start = uint64_t(where) - block.address;
    const uint64_t image = block.length - BIRD_ADDRESS_SIZE;
    if (start > image || image - start < n) {
        return -1;
    }
    return static_cast<int64_t>(start + BIRD_ADDRESS_SIZE);
}

} // namespace

bool BirdFile::ReplaceSerialNumber(uint32_t serialNumber) {
    char digits[kSerialDigits + 1];
    std::snprintf(digits, sizeof digits, "%08X", serialNumber);
    bool result = false;
    bool serialWritten = false;
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) {
            continue;
        }
        if (serialNumberOffset != 0) {
            const int64_t at = imageOffset(block, serialNumberOffset, kWordSize);
            if (at >= 0) {
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         readLE32(block.data + at), serialNumber);
                writeLE32(block.data + at, serialNumber);
                serialWritten = true;
            }
            result = true;
        }
        if (descriptorOffset != 0) {
            const int64_t at = imageOffset(block, descriptorOffset, kDescriptorBytes);
            if (at >= 0) {
                for (size_t i = 0; i < kSerialDigits; ++i) {
                    block.data[at + 2 * i] = static_cast<uint8_t>(digits[i]);
                }
                result = true;
            }
        }
    }
    // A generic image whose serial word lies in no firmware block would reach
    // the module without its serial number: that is a failure, not a success.
    if (serialNumberOffset != 0 && !serialWritten) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: serial number offset %08X is in no firmware block\n",
                 serialNumberOffset);
        return false;
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0 || block.data == nullptr ||
            block.length < BIRD_ADDRESS_SIZE + kVectorWords * kWordSize) {
            continue;
        }
        uint8_t* image = block.data + BIRD_ADDRESS_SIZE;
        uint32_t sum = 0;
        for (uint32_t word = 0; word < kVectorChecksumWord; ++word) {
            sum += readLE32(image + word * kWordSize);
        }
        const uint32_t fixed = 0u - sum;
        uint8_t* slot = image + kVectorChecksumWord * kWordSize;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 readLE32(slot), fixed);
        writeLE32(slot, fixed);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t* key) {
    if (key == nullptr) {
        return false;
    }
    uint8_t stream[kKeyBytes];
    for (size_t i = 0; i < kKeyBytes; ++i) {
        stream[i] = static_cast<uint8_t>(key[i / 4] >> (24 - 8 * (i % 4)));
    }
    for (BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.data == nullptr ||
            block.length <= BIRD_ADDRESS_SIZE) {
            continue;
        }
        uint8_t* image = block.data + BIRD_ADDRESS_SIZE;
        const uint32_t n = block.length - BIRD_ADDRESS_SIZE;
        // Each block restarts the chain: previous byte 0, key index 0.
        uint8_t previous = 0;
        for (uint32_t i = 0; i < n; ++i) {
            previous = static_cast<uint8_t>(image[i] ^ stream[i % kKeyBytes] ^ previous);
            image[i] = previous;
        }
    }
    return true;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t n) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern != nullptr) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.data == nullptr) {
                continue;
            }
            // Start positions i < length - n: a match ending on the last data
            // byte is not tried.
            const int64_t last = static_cast<int64_t>(block.length) - static_cast<int64_t>(n);
            for (int64_t i = 0; i < last; ++i) {
                if (std::memcmp(block.data + i, pattern, n) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

const BirdBlock* BirdFile::infoBlock() const {
    for (const BirdBlock& block : blocks) {
        // An info block too short for its four fields counts as absent.
        if (block.type == BLOCK_INFO && block.data != nullptr && block.length >= BIRD_INFO_SIZE) {
            return &block;
        }
    }
    return nullptr;
}

namespace {

// Copies info field `index` (16 characters) and terminates it.
void copyField(const BirdBlock& info, uint32_t index, char (&field)[BIRD_INFO_FIELD_WIDTH + 1]) {
    std::memcpy(field, info.data + index * BIRD_INFO_FIELD_WIDTH, BIRD_INFO_FIELD_WIDTH);
    field[BIRD_INFO_FIELD_WIDTH] = '\0';
}

constexpr uint32_t kFieldBuild = 0;
constexpr uint32_t kFieldVersion = 1;
constexpr uint32_t kFieldSerial = 2;
constexpr uint32_t kFieldModel = 3;

} // namespace

bool BirdFile::ValidateModel(const char* name) const {
    const BirdBlock* info = infoBlock();
    if (info == nullptr || name == nullptr) {
        return false;
    }
    char field[BIRD_INFO_FIELD_WIDTH + 1];
    copyField(*info, kFieldModel, field);
    for (int i = BIRD_INFO_FIELD_WIDTH - 1; i >= 0 && field[i] == ' '; --i) {
        field[i] = '\0';
    }
    // A prefix test: as many characters as the name has. The field's string
    // end takes part, so a shorter field never matches a longer name.
    if (std::strncmp(field, name, std::strlen(name)) != 0) {
        return false;
    }
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, name);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const {
    const BirdBlock* info = infoBlock();
    if (info == nullptr) {
        return 0;
    }
    char field[BIRD_INFO_FIELD_WIDTH + 1];
    copyField(*info, kFieldSerial, field);
    field[kSerialDigits] = '\0';
    const char* p = skipSpace(field);
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(p[2]))) {
        p += 2;
    }
    uint32_t value = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*p)); ++p) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        value = (value << 4) | static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    return value;
}

uint32_t BirdFile::GetBuild() const {
    const BirdBlock* info = infoBlock();
    if (info == nullptr) {
        return 0;
    }
    char field[BIRD_INFO_FIELD_WIDTH + 1];
    copyField(*info, kFieldBuild, field);
    field[BIRD_INFO_FIELD_WIDTH - 1] = '\0';
    // At most 15 digits: the 64-bit value cannot overflow; the result is its
    // low 32 bits.
    uint64_t value = 0;
    for (const char* p = skipSpace(field); std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    return static_cast<uint32_t>(value);
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* info = infoBlock();
    if (info == nullptr) {
        return std::string();
    }
    char field[BIRD_INFO_FIELD_WIDTH + 1];
    copyField(*info, kFieldVersion, field);
    field[BIRD_INFO_FIELD_WIDTH - 1] = '\0';
    for (uint32_t i = 0; i < BIRD_INFO_FIELD_WIDTH - 1; ++i) {
        if (field[i] == ' ') {
            field[i] = '\0';
        }
    }
    return std::string(field);
}

bool BirdFile::ValidateSerialNumber(uint32_t serialNumber) const {
    return serialNumber == GetSerialNumber();
}
