// Fuzz target for the BIRD loader: the input is the whole file (header and
// zlib payload). Every inspection and patching operation then runs on what
// was loaded, so any read or write outside the content shows up under
// AddressSanitizer.

#include <cstddef>
#include <cstdint>

#include "firmware/BirdFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    BirdFile f;
    if (!f.LoadFromMemory(bytes, size)) {
        return 0;
    }
    static const BirdFile::BLOCK_TYPE kTypes[] = {BirdFile::BLOCK_LOADER, BirdFile::BLOCK_FIRMWARE,
                                                  BirdFile::BLOCK_SERIAL_OFFSETS, BirdFile::BLOCK_INFO,
                                                  BirdFile::BLOCK_LOADER_START};
    size_t seen = 0;
    for (BirdFile::BLOCK_TYPE type : kTypes) {
        seen += f.FindBlocks(type).size();
    }
    if (seen > f.blocks.size()) {
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
        if (b.data < moved.content.get() || b.data + b.length > moved.content.get() + moved.contentSize) {
            __builtin_trap();
        }
    }
    return 0;
}
