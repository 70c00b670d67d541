// Fuzz target for the BIRD loader. Each input is used twice:
//   1. as the whole file (header and zlib payload), through LoadFromMemory;
//   2. as an already inflated content, given to ScanBlocks directly, because
//      random mutations of a zlib stream almost never get past its checksum
//      and would leave the block parser unexplored.
// Every inspection and patching operation then runs on what was loaded, so
// any read or write outside the content shows up under AddressSanitizer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "firmware/BirdFile.h"

namespace {

void exercise(BirdFile& f) {
    static const BirdFile::BLOCK_TYPE kTypes[] = {
        BirdFile::BLOCK_LOADER, BirdFile::BLOCK_FIRMWARE, BirdFile::BLOCK_SERIAL_OFFSETS,
        BirdFile::BLOCK_INFO, BirdFile::BLOCK_LOADER_START};
    size_t seen = 0;
    for (BirdFile::BLOCK_TYPE type : kTypes) {
        seen += f.FindBlocks(type).size();
    }
    if (seen > f.blocks.size() || f.blockCount != f.blocks.size()) {
        __builtin_trap();
    }
    (void)f.GetBuild();
    (void)f.GetVersion();
    (void)f.ValidateSerialNumber(f.GetSerialNumber());
    (void)f.ValidateModel("MTM-IO-SERIAL");
    (void)f.ValidateModel("");
    static const uint8_t kPattern[] = {0xFF, 0xFF, 0x00};
    (void)f.ValidateData(kPattern, sizeof kPattern);
    (void)f.ReplaceSerialNumber(0x40F5849A);
    (void)f.ReplaceVectorChecksum();
    static const uint32_t kKey[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    (void)f.DecodeFirmwareBlocks(kKey);

    // Moving must keep every block inside the (same) content buffer.
    BirdFile moved;
    moved = std::move(f);
    for (const BirdBlock& b : moved.blocks) {
        if (b.data < moved.content.get() ||
            b.data + b.length > moved.content.get() + moved.contentSize) {
            __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    {
        BirdFile f;
        if (f.LoadFromMemory(bytes, size)) {
            exercise(f);
        }
    }
    {
        // An exact-size copy, so that AddressSanitizer sees any read past it.
        BirdFile f;
        f.content.reset(new uint8_t[size > 0 ? size : 1]);
        if (size > 0) {
            std::memcpy(f.content.get(), bytes, size);
        }
        f.contentSize = static_cast<uint32_t>(size);
        f.ScanBlocks(f.content.get(), f.contentSize);
        f.FindSerialNumberOffsets();
        exercise(f);
    }
    return 0;
}
