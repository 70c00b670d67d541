// BIRD firmware files: one firmware release for one module model.
//
// A BIRD file is the six header bytes "bird" and a two-byte format version,
// followed by one zlib stream. The inflated payload (the content) is a
// big-endian block count, the block records back to back, and a trailing
// 32-bit checksum word that nothing in the updater verifies. Each block
// record is one header byte (type in bits 0-4, flags in bits 5-7), a
// big-endian 32-bit length L and L data bytes.
//
// A BirdFile reads the whole file once, at construction, keeps the content
// for its lifetime and describes it by a list of BirdBlock records that point
// into the content. The inspection and patching operations work on that
// content in place; nothing is ever written back to disk.
//
// Every diagnostic goes to Log under DEBUG_BirdFile. No operation throws,
// except the path constructor, which throws std::runtime_error with the text
// "Failed to load bird data" when the file cannot be loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The four signature bytes at the start of every BIRD file.
constexpr char BIRD_FILE_SIGNATURE[] = "bird";
constexpr size_t BIRD_FILE_SIGNATURE_SIZE = 4;
// The two format-version bytes of the format this unit reads. VerifyFile only
// asks that both version bytes of a file be non-zero.
constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
// Signature plus version: the payload starts at this offset.
constexpr size_t BIRD_FILE_HEADER_SIZE = 6;
// Bits 0-4 of a block header byte are the block type, bits 5-7 its flags.
constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
constexpr unsigned BIRD_FILE_FLAG_SHIFT = 5;
// The largest content a payload may inflate to (256 MiB); a payload that
// would inflate to more fails to load.
constexpr uint64_t BIRD_FILE_MAX_CONTENT_SIZE = 256ull * 1024 * 1024;
// Sizes of the fixed-layout blocks. A serial-offsets block shorter than
// BIRD_SERIAL_OFFSETS_SIZE or an info block shorter than BIRD_INFO_SIZE is
// treated as absent.
constexpr uint32_t BIRD_SERIAL_OFFSETS_SIZE = 8;
constexpr uint32_t BIRD_INFO_FIELD_WIDTH = 16;
constexpr uint32_t BIRD_INFO_SIZE = 4 * BIRD_INFO_FIELD_WIDTH;
// Loader and firmware blocks begin with a 4-byte big-endian load address
// that stays part of their data.
constexpr uint32_t BIRD_ADDRESS_SIZE = 4;

// One block of a loaded BIRD file. A BirdBlock never owns its data: data
// points into the content buffer of the BirdFile it came from and stays valid
// for that object's lifetime (also across a move of the object). Copies of a
// block share the same bytes.
struct BirdBlock {
    uint8_t type = 0;     // block type, 0-31 (BirdFile::BLOCK_TYPE)
    uint8_t flags = 0;    // block flags, 0-7; passed unchanged to the module
    uint32_t length = 0;  // L, the number of data bytes
    uint32_t address = 0; // loader/firmware: big-endian word at data[0..3]; else 0
    uint8_t* data = nullptr;
};

class BirdFile {
public:
    // Block types. Values 3 and 6-31 are carried in the block list but used
    // by no operation; FindBlocks takes them as static_cast<BLOCK_TYPE>(n).
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,         // load address + loader image
        BLOCK_FIRMWARE = 1,       // load address + firmware image
        BLOCK_SERIAL_OFFSETS = 2, // serial-number offset, descriptor offset
        BLOCK_INFO = 4,           // build, version, serial, model (16 chars each)
        BLOCK_LOADER_START = 5,   // start address of the recovery loader
    };

    // An empty object: no path, no blocks, every count and offset 0, no
    // content. A placeholder that a loaded file is later moved into.
    BirdFile();

    // Stores the path and loads the file (Load). Throws std::runtime_error
    // with the text "Failed to load bird data" when the load fails. path must
    // not be null.
    explicit BirdFile(const char* path);

    // Moves every member; the block data pointers stay valid because the
    // content buffer itself does not move. The source is left empty.
    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;

    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Releases the content buffer, the block list and the path.
    ~BirdFile();

    // Reads the whole file named by path in one read, inflates the payload
    // and scans the blocks. True when the file was read and its payload
    // inflated; a block list that does not add up (count or size mismatch)
    // still loads with the blocks parsed before the fault, the mismatch being
    // reported to the debug log only. Does not check the signature or the
    // version (VerifyFile does). Called by the path constructor.
    bool Load();

    // The part of Load that follows the file read: takes the whole file's
    // bytes (header and payload), sets signature and version when there are
    // more than 6 bytes, inflates and scans. The bytes are not kept. False
    // when there is no payload or it does not inflate. Used by Load and by
    // the fuzz target, which feeds file bytes without a file.
    bool LoadFromMemory(const uint8_t* bytes, uint64_t size);

    // Quick test of a file's six header bytes without reading the payload:
    // true only when exactly 6 bytes could be read, bytes 0-3 are "bird" and
    // bytes 4 and 5 are both non-zero.
    static bool VerifyFile(const char* path);

    // Inflates a zlib stream (RFC 1950) into a new content buffer that
    // replaces any earlier one. The buffer starts at 8 times the compressed
    // length; when zlib reports that it is too small, the content is measured
    // and inflated again into a buffer of exactly its size, as long as that
    // is at most BIRD_FILE_MAX_CONTENT_SIZE. On failure logs "BIRDFILE: Error (%d)
    // decompressing bird file.\n" with zlib's code, sets contentSize to 0 and
    // returns false. The block list and the serial offsets, which would point
    // into the released buffer, are cleared in every case; ScanBlocks
    // rebuilds them.
    bool DecompressData(const uint8_t* payload, uint64_t length);

    // Builds the block list (replacing the old one) from content bytes that
    // must lie inside this object's content buffer, and sets blockCount and
    // checksum. No read leaves [content, content + size): a block whose
    // header or data would run past the end stops the scan with the
    // data-size mismatch message, keeping the blocks before it. True when the
    // block count and the size add up exactly; false after a mismatch message.
    bool ScanBlocks(uint8_t* content, uint32_t size);

    // Copies of all blocks of the given type, in file order; empty when none.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

    // Hex dump of all blocks of one type to standard output, 50 bytes a row
    // with a text column. A diagnostic aid. Always returns true.
    bool DumpBlocks(BLOCK_TYPE type) const;

    // --- Inspection and patching (all in place, in the content buffer) ---

    // Reads serialNumberOffset and descriptorOffset (big-endian words 0 and
    // 1) from the first serial-offsets block of at least 8 bytes (shorter
    // ones count as absent) and sets hasSerialOffsets. False when there are
    // no blocks or no such block.
    bool FindSerialNumberOffsets();

    // Writes the serial number into every firmware block that holds a patch
    // point: the 32-bit little-endian word at serialNumberOffset and the low
    // bytes of the 8 UTF-16LE characters at descriptorOffset (as "%08X").
    // True when something was patched; false when both offsets are 0, when
    // nothing could be patched, or when serialNumberOffset is non-zero but no
    // firmware block holds the serial word (the image would otherwise reach
    // the module without its serial number).
    bool ReplaceSerialNumber(uint32_t serialNumber);

    // For every firmware block that loads at address 0 and holds at least 32
    // image bytes: stores in image word 7 (little-endian) the two's complement
    // of the sum of image words 0-6 (the LPC valid-user-code rule). Shorter
    // blocks are skipped. Always returns true.
    bool ReplaceVectorChecksum();

    // Decodes every firmware image in place with the 16-byte key made from
    // the four key words (most significant byte first): b = b ^ key[k] ^ p,
    // p being the previous decoded byte (0 at the start of each block). The
    // address bytes and all other blocks stay unchanged. key must point to
    // four words. Always returns true.
    bool DecodeFirmwareBlocks(const uint32_t* key);

    // Searches the data of every firmware block (address bytes included) for
    // the n-byte pattern, logging "Found data at %d\n" for every match. A
    // match ending on a block's last data byte is not tried. True when found.
    bool ValidateData(const uint8_t* pattern, uint32_t n) const;

    // Prefix comparison of the info block's model field, trailing spaces
    // removed, with name (see the prefix rules in the implementation). False
    // without an info block. name must not be null.
    bool ValidateModel(const char* name) const;

    // The info block's serial field (8 hexadecimal digits); 0 without one.
    uint32_t GetSerialNumber() const;
    // The info block's build field (decimal, 15 significant characters); 0
    // without one.
    uint32_t GetBuild() const;
    // The info block's version text up to the first space (at most 15
    // characters); empty without one.
    std::string GetVersion() const;
    // True exactly when serialNumber equals GetSerialNumber().
    bool ValidateSerialNumber(uint32_t serialNumber) const;

    // --- State (read by the update, store and recovery flows) ---

    std::string path;        // the file path given at construction
    uint32_t signature = 0;  // header bytes 0-3, big-endian
    uint32_t version = 0;    // header bytes 4-5, big-endian
    uint32_t checksum = 0;   // the content's trailing word (not verified)
    uint32_t blockCount = 0; // blocks actually parsed
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false; // a serial-offsets block of >= 8 bytes exists: generic image
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> content; // the inflated payload
    uint32_t contentSize = 0;           // valid bytes in content

private:
    // The first info block of at least BIRD_INFO_SIZE bytes, or null.
    const BirdBlock* infoBlock() const;
};
