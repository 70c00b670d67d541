// Tests of BirdFile over fixtures that birdtool (an independent writer of
// the format) builds at test time in a temporary directory.

#include "firmware/BirdFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

// The BIRD file log, captured for one test.
struct LogCapture : testsupport::LogCapture<Log> {
    LogCapture() : testsupport::LogCapture<Log>(DEBUG_BirdFile) {}
};

std::string birdtool() {
    return testsupport::buildPath("tools/birdtool/birdtool");
}

// Runs birdtool create with the arguments; fails the test when it fails.
std::string makeBird(const TempDir& dir, const std::string& name,
                     const std::vector<std::string>& args) {
    std::vector<std::string> argv = {birdtool(), "create", "-o", dir.file(name)};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = testsupport::runProcess(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file(name);
}

// Wraps raw content bytes with birdtool pack.
std::string packContent(const TempDir& dir, const std::string& name, const Bytes& content) {
    std::string raw(content.begin(), content.end());
    EXPECT_TRUE(testsupport::writeFile(dir.file(name + ".content"), raw));
    auto r = testsupport::runProcess(
        {birdtool(), "pack", "-o", dir.file(name), dir.file(name + ".content")});
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file(name);
}

Bytes image(const BirdBlock& b) {
    return Bytes(b.data + 4, b.data + b.length);
}
Bytes data(const BirdBlock& b) {
    return Bytes(b.data, b.data + b.length);
}
Bytes hex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    }
    return out;
}
// The hex spelling of a text padded with spaces to 16 characters.
std::string fieldHex(const std::string& text) {
    std::string padded = text + std::string(16 - text.size(), ' ');
    std::string out;
    char two[3];
    for (unsigned char c : padded) {
        std::snprintf(two, sizeof two, "%02X", c);
        out += two;
    }
    return out;
}
bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// True when p lies inside the content buffer of f.
bool insideContent(const BirdFile& f, const uint8_t* p, uint32_t n) {
    return p >= f.content.get() && p + n <= f.content.get() + f.contentSize;
}

// --- loading -------------------------------------------------------------

TEST(BirdFileLoad, GenericImageRoundTrip) {
    TempDir dir;
    auto path = makeBird(dir, "generic.bird",
                         {"--info", "1234:1.2.3:000000AB:MTM-IO-SERIAL", "--serial-offsets",
                          "0x1100:0x1200", "--loader", "0x20000000:2:hex:00112233", "--firmware",
                          "0x1000:5:counter:4096", "--loader-start", "0x20000100"});
    ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
    BirdFile f(path.c_str());
    EXPECT_EQ(f.path, path);
    EXPECT_EQ(f.signature, 0x62697264u);
    EXPECT_EQ(f.version, 0x0101u);
    ASSERT_EQ(f.blockCount, 5u);
    ASSERT_EQ(f.blocks.size(), 5u);
    const uint8_t types[] = {4, 2, 0, 1, 5};
    const uint8_t flags[] = {0, 0, 2, 5, 0};
    const uint32_t lengths[] = {64, 8, 8, 4100, 4};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(f.blocks[i].type, types[i]) << i;
        EXPECT_EQ(f.blocks[i].flags, flags[i]) << i;
        EXPECT_EQ(f.blocks[i].length, lengths[i]) << i;
        EXPECT_TRUE(insideContent(f, f.blocks[i].data, f.blocks[i].length)) << i;
    }
    EXPECT_EQ(f.blocks[2].address, 0x20000000u);
    EXPECT_EQ(f.blocks[3].address, 0x1000u);
    EXPECT_EQ(f.blocks[0].address, 0u);
    EXPECT_EQ(f.blocks[4].address, 0u);
    EXPECT_EQ(image(f.blocks[2]), hex("00112233"));
    Bytes fw = image(f.blocks[3]);
    ASSERT_EQ(fw.size(), 4096u);
    for (size_t i = 0; i < fw.size(); ++i) {
        ASSERT_EQ(fw[i], i % 251) << i;
    }
    EXPECT_EQ(data(f.blocks[3]).front(), 0x00); // the address stays in the data
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialNumberOffset, 0x1100u);
    EXPECT_EQ(f.descriptorOffset, 0x1200u);
    // birdtool writes a CRC-32 of everything before the checksum word.
    ASSERT_GE(f.contentSize, 8u);
    EXPECT_EQ(f.checksum, static_cast<uint32_t>(crc32(0, f.content.get(), f.contentSize - 4)));
    EXPECT_EQ(f.GetBuild(), 1234u);
    EXPECT_EQ(f.GetVersion(), "1.2.3");
    EXPECT_EQ(f.GetSerialNumber(), 0xABu);
    EXPECT_TRUE(f.ValidateSerialNumber(0xAB));
    EXPECT_TRUE(f.ValidateModel("MTM-IO-SERIAL"));
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_LOADER_START).size(), 1u);
}

TEST(BirdFileLoad, EmptyObject) {
    BirdFile f;
    EXPECT_TRUE(f.path.empty());
    EXPECT_EQ(f.blockCount, 0u);
    EXPECT_TRUE(f.blocks.empty());
    EXPECT_EQ(f.content, nullptr);
    EXPECT_EQ(f.GetBuild(), 0u);
    EXPECT_FALSE(f.ReplaceSerialNumber(1));
    EXPECT_FALSE(f.FindSerialNumberOffsets());
}

struct ScanCase {
    const char* name;
    std::vector<std::string> args;
    uint32_t blockCount;
    std::vector<const char*> logHas;    // expected debug-log texts
    std::vector<const char*> logHasNot; // texts that must not appear
};

class BirdFileScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(BirdFileScan, LoadsWithWhatAddsUp) {
    const ScanCase& c = GetParam();
    TempDir dir;
    auto path = makeBird(dir, "f.bird", c.args);
    LogCapture log;
    BirdFile f(path.c_str()); // none of these cases may fail to load
    std::string text = log.text();
    EXPECT_EQ(f.blockCount, c.blockCount) << text;
    EXPECT_EQ(f.blocks.size(), c.blockCount);
    for (const char* want : c.logHas) {
        EXPECT_TRUE(contains(text, want)) << "missing '" << want << "' in\n" << text;
    }
    for (const char* unwanted : c.logHasNot) {
        EXPECT_FALSE(contains(text, unwanted)) << "unexpected '" << unwanted << "' in\n" << text;
    }
    for (const BirdBlock& b : f.blocks) {
        EXPECT_TRUE(insideContent(f, b.data, b.length));
    }
}

// Content layout of the fixtures below: count (4), then per block 5 + L
// bytes, then the checksum (4). One firmware block of 8 data bytes is 13
// bytes, so that content is 21 bytes long.
INSTANTIATE_TEST_SUITE_P(
    Cases, BirdFileScan,
    ::testing::Values(
        ScanCase{"NoBlocks", {}, 0, {"File reports 0 blocks", "File checksum"}, {"mismatch"}},
        ScanCase{
            "CountSaysThreeHoldsTwo",
            {"--count", "3", "--firmware", "0:0:hex:01020304", "--firmware", "8:0:hex:05060708"},
            2,
            {"BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)"},
            {"mismatch in data size"}},
        ScanCase{
            "CountSaysOneHoldsTwo",
            {"--count", "1", "--firmware", "0:0:hex:01020304", "--firmware", "8:0:hex:05060708"},
            2,
            {"mismatch in number of blocks. (2 != 1)"},
            {}},
        ScanCase{"ExtraBytesAfterChecksum",
                 {"--firmware", "0:0:hex:01020304", "--trailing", "4"},
                 1,
                 {"BIRDFILE: Block parsing mismatch in data size. (4 bytes remaining)"},
                 {"number of blocks"}},
        ScanCase{"BlockDataRunsPastContent",
                 {"--firmware", "0:0:hex:01020304", "--firmware", "8:0:hex:0506070809",
                  "--truncate-content", "25"},
                 1,
                 {"mismatch in data size", "mismatch in number of blocks. (1 != 2)"},
                 {}},
        ScanCase{"ContentEndsInsideBlockHeader",
                 {"--firmware", "0:0:hex:01020304", "--firmware", "8:0:hex:05060708",
                  "--truncate-content", "20"},
                 1,
                 {"mismatch in data size", "(1 != 2)"},
                 {}},
        ScanCase{"ContentEndsInsideChecksum",
                 {"--firmware", "0:0:hex:01020304", "--truncate-content", "19"},
                 1,
                 {"mismatch in data size. (-2 bytes remaining)"},
                 {"File checksum"}},
        ScanCase{"ContentShorterThanCount",
                 {"--truncate-content", "3"},
                 0,
                 {"mismatch in data size"},
                 {}}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

TEST(BirdFileScan, LengthWordNearFourGigabytesStopsTheScan) {
    // A record claiming 0xFFFFFFFF data bytes must not wrap the bound check.
    Bytes content = {0,    0,    0,    2,                                     // two blocks
                     0x01, 0,    0,    0,    8,    0, 0, 0x10, 0, 1, 2, 3, 4, // firmware at 0x1000
                     0x01, 0xFF, 0xFF, 0xFF, 0xFF, 9, 9,                      // runs past the end
                     0,    0,    0,    0};
    TempDir dir;
    auto path = packContent(dir, "f.bird", content);
    LogCapture log;
    BirdFile f(path.c_str());
    EXPECT_EQ(f.blockCount, 1u);
    EXPECT_EQ(f.blocks[0].address, 0x1000u);
    EXPECT_TRUE(contains(log.text(), "mismatch in data size. (11 bytes remaining)")) << log.text();
}

TEST(BirdFileScan, TwelveByteBlocksCarryAddressAndEightByteImage) {
    TempDir dir;
    auto path = makeBird(dir, "t.bird",
                         {"--loader", "0x89ABCDEF:0:hex:0102030405060708", "--firmware",
                          "0x00C0FFEE:0:hex:1112131415161718"});
    BirdFile f(path.c_str());
    ASSERT_EQ(f.blocks.size(), 2u);
    EXPECT_EQ(f.blocks[0].length, 12u);
    EXPECT_EQ(f.blocks[0].address, 0x89ABCDEFu);
    EXPECT_EQ(image(f.blocks[0]), hex("0102030405060708"));
    EXPECT_EQ(f.blocks[1].address, 0x00C0FFEEu);
    EXPECT_EQ(image(f.blocks[1]).size(), 8u);
}

TEST(BirdFileScan, ShortLoaderBlockHasNoAddress) {
    TempDir dir;
    auto path =
        makeBird(dir, "f.bird", {"--raw", "0:hex:AABB", "--raw", "1:hex:", "--info", "1:2:3:4"});
    BirdFile f(path.c_str());
    ASSERT_EQ(f.blockCount, 3u);
    EXPECT_EQ(f.blocks[0].address, 0u);
    EXPECT_EQ(f.blocks[0].length, 2u);
    EXPECT_EQ(f.blocks[1].length, 0u);
    // Patching operations skip blocks without an image.
    const uint32_t key[4] = {1, 2, 3, 4};
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    EXPECT_EQ(data(f.blocks[0]), hex("AABB"));
}

TEST(BirdFileScan, HeaderByteSplitsIntoTypeAndFlags) {
    struct {
        const char* header;
        uint8_t type, flags;
    } cases[] = {{"0xE4", 4, 7},  {"0x21", 1, 1}, {"0x00", 0, 0},
                 {"0xFF", 31, 7}, {"0x43", 3, 2}, {"0xA6", 6, 5}};
    TempDir dir;
    for (const auto& c : cases) {
        auto path = makeBird(dir, "h.bird", {"--raw", std::string(c.header) + ":hex:0000000A0B0C"});
        BirdFile f(path.c_str());
        ASSERT_EQ(f.blocks.size(), 1u) << c.header;
        EXPECT_EQ(f.blocks[0].type, c.type) << c.header;
        EXPECT_EQ(f.blocks[0].flags, c.flags) << c.header;
        EXPECT_EQ(f.blocks[0].address, (c.type <= 1) ? 0x0000000Au : 0u) << c.header;
        EXPECT_EQ(f.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(c.type)).size(), 1u) << c.header;
    }
}

TEST(BirdFileScan, InfoBlockWithFlagsIsStillInfo) {
    TempDir dir;
    auto path = makeBird(dir, "f.bird",
                         {"--raw", "0xE4:hex:" + fieldHex("42") + fieldHex("1.0") +
                                       std::string(32, '0') + fieldHex("")});
    BirdFile f(path.c_str());
    ASSERT_EQ(f.blocks.size(), 1u);
    EXPECT_EQ(f.blocks[0].flags, 7);
    EXPECT_EQ(f.GetBuild(), 42u);
    EXPECT_EQ(f.GetVersion(), "1.0");
}

TEST(BirdFileScan, UnusedTypesStayInOrder) {
    TempDir dir;
    auto path =
        makeBird(dir, "f.bird",
                 {"--raw", "3:hex:01", "--firmware", "0x10:0:hex:AA", "--raw", "6:hex:02", "--raw",
                  "31:hex:03", "--firmware", "0x20:0:hex:BB", "--raw", "3:hex:04"});
    BirdFile f(path.c_str());
    ASSERT_EQ(f.blockCount, 6u);
    auto threes = f.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3));
    ASSERT_EQ(threes.size(), 2u);
    EXPECT_EQ(threes[0].data[0], 1);
    EXPECT_EQ(threes[1].data[0], 4);
    auto fws = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fws.size(), 2u);
    EXPECT_EQ(fws[0].address, 0x10u);
    EXPECT_EQ(fws[1].address, 0x20u);
    EXPECT_EQ(fws[0].data, f.blocks[1].data); // copies share the bytes
    EXPECT_EQ(f.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(31)).size(), 1u);
    EXPECT_TRUE(f.FindBlocks(BirdFile::BLOCK_INFO).empty());
}

// --- header test and load failures ----------------------------------------

TEST(BirdFileVerify, HeaderCases) {
    TempDir dir;
    struct {
        const char* name;
        std::vector<std::string> args;
        bool verifies;
        bool loads;
    } cases[] = {
        {"normal", {"--firmware", "0:0:hex:01"}, true, true},
        {"version0100", {"--format-version", "0x0100", "--firmware", "0:0:hex:01"}, false, true},
        {"version0001", {"--format-version", "0x0001"}, false, true},
        {"version0202", {"--format-version", "0x0202"}, true, true},
        {"upperCase", {"--signature", "BIRD"}, false, true},
        {"otherSignature", {"--signature", "bire"}, false, true},
        {"headerOnly", {"--truncate-file", "6"}, true, false},
        {"fiveBytes", {"--truncate-file", "5"}, false, false},
        {"empty", {"--truncate-file", "0"}, false, false},
        {"truncatedPayload",
         {"--level", "0", "--firmware", "0:0:counter:2000", "--truncate-file", "200"},
         true,
         false},
    };
    for (const auto& c : cases) {
        auto path = makeBird(dir, std::string(c.name) + ".bird", c.args);
        EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verifies) << c.name;
        bool loaded = true;
        try {
            BirdFile f(path.c_str());
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Failed to load bird data");
            loaded = false;
        }
        EXPECT_EQ(loaded, c.loads) << c.name;
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST(BirdFileVerify, HeaderOnlyFileKeepsSignatureZero) {
    TempDir dir;
    auto path = makeBird(dir, "six.bird", {"--truncate-file", "6"});
    BirdFile f;
    f.path = path;
    LogCapture log;
    EXPECT_FALSE(f.Load());
    EXPECT_EQ(f.signature, 0u);
    EXPECT_EQ(f.version, 0u);
    EXPECT_TRUE(f.blocks.empty());
}

TEST(BirdFileLoadFailure, MissingFileAndDirectory) {
    TempDir dir;
    {
        LogCapture log;
        EXPECT_THROW(BirdFile(dir.file("nope.bird").c_str()), std::runtime_error);
        EXPECT_TRUE(
            contains(log.text(), "BIRDFILE: BIRD file not found [" + dir.file("nope.bird") + "]"));
    }
    {
        LogCapture log;
        EXPECT_THROW(BirdFile(dir.path().c_str()), std::runtime_error);
        EXPECT_TRUE(contains(log.text(), "BIRD file not found"));
    }
}

TEST(BirdFileLoadFailure, TruncatedAndBitFlippedFilesFailCleanly) {
    TempDir dir;
    const std::vector<std::string> base = {"--info",           "77:1.0:00000001:M",
                                           "--firmware",       "0x1000:0:counter:3000",
                                           "--serial-offsets", "0x1010:0"};
    auto good = makeBird(dir, "good.bird", base);
    const size_t size = testsupport::readFile(good).size();
    ASSERT_GT(size, 100u);
    // Cut inside the zlib stream, and inside its Adler-32 trailer.
    for (size_t cut : {size_t(7), size_t(8), size / 2, size - 4, size - 1}) {
        auto args = base;
        args.insert(args.end(), {"--truncate-file", std::to_string(cut)});
        auto path = makeBird(dir, "cut.bird", args);
        LogCapture log;
        EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error) << cut;
        EXPECT_TRUE(contains(log.text(), "decompressing bird file.")) << cut << log.text();
    }
    // One flipped bit in the zlib header, the deflate data or the Adler-32
    // trailer: zlib's own checks reject it. (The padding bits at the end of
    // the deflate data are not checked by anyone, so they are left alone.)
    for (size_t offset : {size_t(6), size_t(7), size_t(20), size / 2, size - 4, size - 1}) {
        for (int bit : {0, 7}) {
            auto args = base;
            args.insert(args.end(),
                        {"--flip-bit", std::to_string(offset) + ":" + std::to_string(bit)});
            auto path = makeBird(dir, "flip.bird", args);
            LogCapture log;
            EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error) << offset << ":" << bit;
            EXPECT_TRUE(contains(log.text(), "BIRDFILE: Error (")) << log.text();
        }
    }
}

// --- decompression ---------------------------------------------------------

TEST(BirdFileDecompress, HundredToOneLoads) {
    TempDir dir;
    // Padding compresses at about 1000:1, far beyond the first 8:1 guess.
    auto path = makeBird(dir, "pad.bird",
                         {"--info", "9:1.0:00000001:M", "--firmware", "0:0:fill:10000000:0xFF",
                          "--patch", "9999990:DEADBEEF", "--level", "9"});
    const size_t fileSize = testsupport::readFile(path).size();
    BirdFile f(path.c_str());
    EXPECT_GT(f.contentSize / fileSize, 100u);
    auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 1u);
    EXPECT_EQ(fw[0].length, 10000004u);
    EXPECT_EQ(fw[0].data[4], 0xFF);
    EXPECT_EQ(fw[0].data[4 + 9999990], 0xDE);
    EXPECT_EQ(fw[0].data[4 + 9999993], 0xEF);
    EXPECT_EQ(f.GetBuild(), 9u);
}

TEST(BirdFileDecompress, RoundTripsAtAnyRatio) {
    // Incompressible content (ratio under 1) and repetitive content (far
    // over 8:1), small and large.
    for (uLong size : {1ul, 1000ul, 100000ul, 3000000ul}) {
        for (bool random : {true, false}) {
            Bytes content(size);
            uint32_t x = 12345;
            for (uLong i = 0; i < size; ++i) {
                x = x * 1103515245u + 12345u;
                content[i] =
                    random ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>((i * 7) % 13);
            }
            uLongf zsize = compressBound(size);
            Bytes z(zsize);
            ASSERT_EQ(compress(z.data(), &zsize, content.data(), size), Z_OK);
            BirdFile f;
            ASSERT_TRUE(f.DecompressData(z.data(), zsize)) << size;
            ASSERT_EQ(f.contentSize, size);
            EXPECT_EQ(std::memcmp(f.content.get(), content.data(), size), 0);
        }
    }
}

TEST(BirdFileDecompress, BeyondTheCapFails) {
    // A stream of 257 MiB of zeros, made in pieces so the test stays small.
    z_stream zs;
    std::memset(&zs, 0, sizeof zs);
    ASSERT_EQ(deflateInit(&zs, Z_BEST_SPEED), Z_OK);
    Bytes zeros(1 << 20, 0);
    Bytes out;
    Bytes chunk(1 << 16);
    const int pieces = 257;
    for (int i = 0; i < pieces; ++i) {
        zs.next_in = zeros.data();
        zs.avail_in = static_cast<uInt>(zeros.size());
        int flush = (i == pieces - 1) ? Z_FINISH : Z_NO_FLUSH;
        int r;
        do {
            zs.next_out = chunk.data();
            zs.avail_out = static_cast<uInt>(chunk.size());
            r = deflate(&zs, flush);
            out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - zs.avail_out));
        } while (zs.avail_out == 0 || (flush == Z_FINISH && r != Z_STREAM_END));
    }
    deflateEnd(&zs);
    BirdFile f;
    LogCapture log;
    EXPECT_FALSE(f.DecompressData(out.data(), out.size()));
    EXPECT_EQ(f.contentSize, 0u);
    EXPECT_TRUE(contains(log.text(), "BIRDFILE: Error (-5) decompressing bird file."))
        << log.text();
}

TEST(BirdFileDecompress, GarbageFails) {
    const Bytes garbage = {0x12, 0x34, 0x56, 0x78, 0x9A};
    BirdFile f;
    LogCapture log;
    EXPECT_FALSE(f.DecompressData(garbage.data(), garbage.size()));
    EXPECT_FALSE(f.DecompressData(garbage.data(), 0));
    EXPECT_FALSE(f.DecompressData(nullptr, 5));
    EXPECT_EQ(f.contentSize, 0u);
    EXPECT_TRUE(contains(log.text(), "BIRDFILE: Error (-3) decompressing bird file."))
        << log.text();
}

TEST(BirdFileDecompress, NewContentDropsTheOldBlocks) {
    TempDir dir;
    auto path = makeBird(dir, "o.bird", {"--serial-offsets", "1:2", "--firmware", "0:0:hex:0102"});
    BirdFile f(path.c_str());
    ASSERT_TRUE(f.hasSerialOffsets);
    const Bytes garbage = {0x78, 0x9C, 0x00};
    EXPECT_FALSE(f.DecompressData(garbage.data(), garbage.size()));
    EXPECT_TRUE(f.blocks.empty());
    EXPECT_EQ(f.blockCount, 0u);
    EXPECT_FALSE(f.hasSerialOffsets);
    EXPECT_FALSE(f.ReplaceSerialNumber(5));
}

TEST(BirdFileLoad, FromMemoryMatchesFromFile) {
    TempDir dir;
    auto path =
        makeBird(dir, "mem.bird", {"--info", "3:3.3:3:T", "--firmware", "0x40:1:counter:300"});
    std::string bytes = testsupport::readFile(path);
    BirdFile fromFile(path.c_str());
    BirdFile fromMemory;
    ASSERT_TRUE(
        fromMemory.LoadFromMemory(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    EXPECT_EQ(fromMemory.signature, fromFile.signature);
    EXPECT_EQ(fromMemory.checksum, fromFile.checksum);
    ASSERT_EQ(fromMemory.contentSize, fromFile.contentSize);
    EXPECT_EQ(std::memcmp(fromMemory.content.get(), fromFile.content.get(), fromFile.contentSize),
              0);
    EXPECT_EQ(fromMemory.blockCount, 2u);
    EXPECT_FALSE(fromMemory.LoadFromMemory(nullptr, 100));
}

// --- object lifecycle --------------------------------------------------------

TEST(BirdFileMove, DataPointersStayValid) {
    TempDir dir;
    auto path = makeBird(dir, "m.bird",
                         {"--info", "5:2.0:00000010:X", "--firmware", "0x100:3:hex:0A0B0C0D0E0F"});
    BirdFile target;
    {
        BirdFile source(path.c_str());
        const uint8_t* buffer = source.content.get();
        target = std::move(source);
        EXPECT_EQ(target.content.get(), buffer);
        EXPECT_TRUE(source.blocks.empty());
        EXPECT_EQ(source.blockCount, 0u);
        EXPECT_EQ(source.content, nullptr);
    } // the source is gone; the target must still see its bytes
    ASSERT_EQ(target.blockCount, 2u);
    for (const BirdBlock& b : target.blocks) {
        EXPECT_TRUE(insideContent(target, b.data, b.length));
    }
    EXPECT_EQ(image(target.blocks[1]), hex("0A0B0C0D0E0F"));
    EXPECT_EQ(target.GetBuild(), 5u);
    EXPECT_EQ(target.path, path);
    BirdFile constructed(std::move(target));
    EXPECT_EQ(constructed.GetSerialNumber(), 0x10u);
    EXPECT_EQ(constructed.blocks[1].flags, 3);
}

// --- dump ------------------------------------------------------------------

TEST(BirdFileDump, RowsOfFiftyMatchBirdtool) {
    TempDir dir;
    auto path = makeBird(
        dir, "d.bird",
        {"--raw", "6:counter:120", "--firmware", "0:0:hex:41424344", "--raw", "6:hex:7E20"});
    BirdFile f(path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_TRUE(f.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(6)));
    std::string ours = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(contains(ours, "\r\n000000: 00 01 02"));
    EXPECT_TRUE(contains(ours, "\r\n000050: 32 33"));
    EXPECT_TRUE(contains(ours, "\r\n000100: 64 65"));
    EXPECT_FALSE(contains(ours, "000150"));
    auto r = testsupport::runProcess({birdtool(), "dump", path, "6"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(ours, r.out);
}

// --- info block --------------------------------------------------------------

struct InfoCase {
    const char* info; // birdtool --info argument
    uint32_t build;
    const char* version;
    uint32_t serial;
};

class BirdFileInfo : public ::testing::TestWithParam<InfoCase> {};

TEST_P(BirdFileInfo, Fields) {
    const InfoCase& c = GetParam();
    TempDir dir;
    auto path = makeBird(dir, "i.bird", {"--info", c.info});
    BirdFile f(path.c_str());
    EXPECT_EQ(f.GetBuild(), c.build) << c.info;
    EXPECT_EQ(f.GetVersion(), c.version) << c.info;
    EXPECT_EQ(f.GetSerialNumber(), c.serial) << c.info;
    EXPECT_TRUE(f.ValidateSerialNumber(c.serial));
    EXPECT_FALSE(f.ValidateSerialNumber(c.serial + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BirdFileInfo,
    ::testing::Values(InfoCase{"1234:1.2.3:000000AB:M", 1234, "1.2.3", 0xAB},
                      InfoCase{"0000000000000007:1.2 beta:000000ABzzzzzzzz:M", 0, "1.2", 0xAB},
                      InfoCase{"   42x:v1:  00ab12:M", 42, "v1", 0xAB12},
                      InfoCase{"999999999999999:123456789ABCDEFG:0x00F0:M",
                               static_cast<uint32_t>(999999999999999ull), "123456789ABCDEF", 0xF0},
                      InfoCase{"-5:  :FFFFFFFF1:M", 0, "", 0xFFFFFFFF},
                      InfoCase{"abc::XYZ:M", 0, "", 0},
                      InfoCase{"4294967297:7.7.7:12G4:M", 1, "7.7.7", 0x12}));

TEST(BirdFileInfoBlock, AbsentOrTooShort) {
    TempDir dir;
    for (auto args : std::vector<std::vector<std::string>>{
             {"--firmware", "0:0:hex:01"},
             {"--raw", "4:hex:" + std::string(126, '3')}, // 63 bytes of '3'
         }) {
        auto path = makeBird(dir, "n.bird", args);
        BirdFile f(path.c_str());
        EXPECT_EQ(f.GetBuild(), 0u);
        EXPECT_EQ(f.GetSerialNumber(), 0u);
        EXPECT_EQ(f.GetVersion(), "");
        EXPECT_FALSE(f.ValidateModel(""));
        EXPECT_FALSE(f.ValidateModel("M"));
        EXPECT_TRUE(f.ValidateSerialNumber(0));
    }
    // The first long-enough info block counts.
    auto path = makeBird(dir, "two.bird",
                         {"--raw", "4:hex:31", "--info", "8:8.8:8:EIGHT", "--info", "9:9:9:NINE"});
    BirdFile f(path.c_str());
    EXPECT_EQ(f.GetBuild(), 8u);
    EXPECT_TRUE(f.ValidateModel("EIGHT"));
}

TEST(BirdFileInfoBlock, ModelIsAPrefixTest) {
    TempDir dir;
    struct {
        const char* field;
        const char* name;
        bool matches;
    } cases[] = {
        {"ABC", "ABC", true},
        {"ABC", "AB", true},
        {"ABC", "", true},
        {"ABC", "ABCD", false},
        {"ABCD", "ABC", true},
        {"AB", "ABC", false},
        {"A B", "A B", true},
        {"A B", "A", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false},
        {"abc", "ABC", false},
    };
    for (const auto& c : cases) {
        auto path = makeBird(dir, "m.bird", {"--info", std::string("1:1:1:") + c.field});
        BirdFile f(path.c_str());
        LogCapture log;
        EXPECT_EQ(f.ValidateModel(c.name), c.matches) << c.field << " / " << c.name;
        if (c.matches) {
            EXPECT_TRUE(contains(log.text(), std::string("Model matches model number ([") +
                                                 c.field + "] == [" + c.name + "])"))
                << log.text();
        } else {
            EXPECT_EQ(log.text(), "");
        }
    }
}

// --- serial number patching ------------------------------------------------

TEST(BirdFileSerial, SerialWordAtImageOffset) {
    TempDir dir;
    auto path = makeBird(dir, "s.bird",
                         {"--serial-offsets", "0x1100:0", "--firmware", "0x1000:0:fill:512:0x5A",
                          "--patch", "0x100:78563412"});
    BirdFile f(path.c_str());
    ASSERT_TRUE(f.hasSerialOffsets);
    LogCapture log;
    EXPECT_TRUE(f.ReplaceSerialNumber(0xAB));
    auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    EXPECT_EQ(Bytes(fw.data + 0x104, fw.data + 0x108), hex("AB000000"));
    EXPECT_EQ(fw.data[0x103], 0x5A);
    EXPECT_EQ(fw.data[0x108], 0x5A);
    EXPECT_TRUE(
        contains(log.text(), "BIRDFILE: updating serial number from 12345678 ==> 000000AB"));
}

TEST(BirdFileSerial, DescriptorCharactersAndFirmwareDescriptorKept) {
    TempDir dir;
    auto path = makeBird(dir, "d.bird",
                         {"--serial-offsets", "0:0x1200", "--firmware", "0x1000:0:fill:1024:0xEE",
                          "--utf16", "0x200:ZZZZZZZZ", "--descriptor", "0x300:1234:2.15.3:21"});
    BirdFile f(path.c_str());
    auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0];
    Bytes before = data(fw);
    EXPECT_TRUE(f.ReplaceSerialNumber(0xAB));
    const uint8_t* d = fw.data + 4 + 0x200;
    const char expect[] = "000000AB";
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(d[2 * i], expect[i]) << i;
        EXPECT_EQ(d[2 * i + 1], 0) << i; // the UTF-16 high bytes stay as they were
    }
    // Only those eight bytes changed: the firmware descriptor is intact.
    Bytes after = data(fw);
    int changed = 0;
    for (size_t i = 0; i < after.size(); ++i) {
        changed += before[i] != after[i];
    }
    EXPECT_EQ(changed, 8);
    EXPECT_EQ(Bytes(fw.data + 4 + 0x300, fw.data + 4 + 0x310),
              hex("ED5EDEC0D2040000030F022F15000000"));
}

TEST(BirdFileSerial, OnlyTheBlockHoldingTheOffsetChanges) {
    TempDir dir;
    auto path =
        makeBird(dir, "m.bird",
                 {"--serial-offsets", "0x2010:0x2020", "--firmware", "0x1000:0:fill:256:0x11",
                  "--firmware", "0x2000:0:fill:256:0x22", "--firmware", "0x3000:0:fill:256:0x33"});
    BirdFile f(path.c_str());
    auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 3u);
    Bytes b0 = data(fw[0]), b2 = data(fw[2]);
    EXPECT_TRUE(f.ReplaceSerialNumber(0x40F5849A));
    EXPECT_EQ(data(fw[0]), b0);
    EXPECT_EQ(data(fw[2]), b2);
    EXPECT_EQ(Bytes(fw[1].data + 4 + 0x10, fw[1].data + 4 + 0x14), hex("9A84F540"));
    EXPECT_EQ(fw[1].data[4 + 0x20], '4');
    EXPECT_EQ(fw[1].data[4 + 0x2E], 'A');
}

TEST(BirdFileSerial, ResultAndBoundsTable) {
    struct {
        const char* name;
        std::vector<std::string> args;
        bool result;
        int changedBytes; // in the content, after ReplaceSerialNumber(0x01020304)
    } cases[] = {
        {"bothZero", {"--serial-offsets", "0:0", "--firmware", "0:0:fill:64:0xFF"}, false, 0},
        {"noFirmwareBlock",
         {"--serial-offsets", "0x10:0x20", "--loader", "0:0:fill:64:0xFF"},
         false,
         0},
        {"descriptorNowhere",
         {"--serial-offsets", "0:0x1000", "--firmware", "0:0:fill:64:0xFF"},
         false,
         0},
        // The descriptor's 16 bytes end exactly at the image end.
        {"descriptorAtEnd",
         {"--serial-offsets", "0:0x30", "--firmware", "0:0:fill:64:0xFF"},
         true,
         8},
        {"descriptorStraddlesEnd",
         {"--serial-offsets", "0:0x31", "--firmware", "0:0:fill:64:0xFF"},
         false,
         0},
        // The serial word is last in the image, then one byte past it.
        {"serialAtEnd",
         {"--serial-offsets", "0x103C:0", "--firmware", "0x1000:0:fill:64:0xFF"},
         true,
         4},
        // A serial word that lies in no firmware block cannot be patched, and
        // an unpatched generic image must not count as patched.
        {"serialStraddlesEnd",
         {"--serial-offsets", "0x103D:0", "--firmware", "0x1000:0:fill:64:0xFF"},
         false,
         0},
        {"serialBelowImage",
         {"--serial-offsets", "0xFFF:0", "--firmware", "0x1000:0:fill:64:0xFF"},
         false,
         0},
        {"serialNearTop",
         {"--serial-offsets", "0xFFFFFFFE:0", "--firmware", "0xFFFFFFF0:0:fill:64:0xFF"},
         true,
         4},
        {"shortOffsetsBlock",
         {"--raw", "2:hex:00000010", "--firmware", "0:0:fill:64:0xFF"},
         false,
         0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto path = makeBird(dir, "r.bird", c.args);
        BirdFile f(path.c_str());
        Bytes before(f.content.get(), f.content.get() + f.contentSize);
        EXPECT_EQ(f.ReplaceSerialNumber(0x01020304), c.result) << c.name;
        int changed = 0;
        for (uint32_t i = 0; i < f.contentSize; ++i) {
            changed += before[i] != f.content[i];
        }
        EXPECT_EQ(changed, c.changedBytes) << c.name;
    }
}

TEST(BirdFileSerial, OffsetsBlocks) {
    TempDir dir;
    {
        // A short first block counts as absent; the first full one is used.
        auto path = makeBird(dir, "a.bird",
                             {"--raw", "2:hex:0000", "--serial-offsets", "0x10:0x20",
                              "--serial-offsets", "0x30:0x40"});
        LogCapture log;
        BirdFile f(path.c_str());
        EXPECT_TRUE(f.hasSerialOffsets);
        EXPECT_EQ(f.serialNumberOffset, 0x10u);
        EXPECT_EQ(f.descriptorOffset, 0x20u);
        EXPECT_TRUE(contains(log.text(), "BIRDFILE: Offsets: Serial number: 16, Descriptor: 32"));
    }
    {
        auto path =
            makeBird(dir, "b.bird", {"--raw", "2:hex:00000010000000", "--firmware", "0:0:hex:00"});
        BirdFile f(path.c_str());
        EXPECT_FALSE(f.hasSerialOffsets);
        EXPECT_EQ(f.serialNumberOffset, 0u);
        EXPECT_FALSE(f.FindSerialNumberOffsets());
    }
}

// --- vector checksum, decoding, pattern search --------------------------------

TEST(BirdFileVector, ChecksumWord) {
    TempDir dir;
    // Words 0-6: 1, 2, 3, 4, 5, 6, 0x10000000 (little-endian); word 7 garbage.
    const std::string words = "01000000020000000300000004000000050000000600000000000010EFBEADDE";
    auto path = makeBird(dir, "v.bird",
                         {"--firmware", "0:0:hex:" + words + "AAAA", "--firmware",
                          "0:0:fill:32:0x00", "--firmware", "0x100:0:hex:" + words, "--firmware",
                          "0:0:fill:31:0x01", "--loader", "0:0:hex:" + words});
    BirdFile f(path.c_str());
    Bytes before(f.content.get(), f.content.get() + f.contentSize);
    LogCapture log;
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    // -(0x10000015) = 0xEFFFFFEB
    EXPECT_EQ(Bytes(fw[0].data + 4 + 28, fw[0].data + 4 + 32), hex("EBFFFFEF"));
    EXPECT_EQ(Bytes(fw[1].data + 4 + 28, fw[1].data + 4 + 32), hex("00000000"));
    EXPECT_EQ(Bytes(fw[2].data + 4 + 28, fw[2].data + 4 + 32), hex("EFBEADDE")); // not at address 0
    EXPECT_EQ(image(fw[3]), Bytes(31, 0x01)); // too short: skipped
    auto ld = f.FindBlocks(BirdFile::BLOCK_LOADER)[0];
    EXPECT_EQ(Bytes(ld.data + 4 + 28, ld.data + 4 + 32), hex("EFBEADDE"));
    EXPECT_TRUE(
        contains(log.text(), "BIRDFILE: updating vector checksum from DEADBEEF ==> EFFFFFEB"));
}

TEST(BirdFileDecode, KeyStreamAndChaining) {
    struct {
        const char* name;
        uint32_t key[4];
        const char* encoded;
        const char* decoded;
    } cases[] = {
        {"zeroKey", {0, 0, 0, 0}, "010203", "010300"},
        {"firstWordBigEndian", {0x11223344, 0, 0, 0}, "0000000000", "1133004444"},
        {"keyWrapsAfter16",
         {0, 0, 0, 0xAA},
         "0000000000000000000000000000000000",
         "000000000000000000000000000000AAAA"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto path = makeBird(dir, "k.bird",
                             {"--loader", "0x55:0:hex:" + std::string(c.encoded), "--firmware",
                              "0x12345678:0:hex:" + std::string(c.encoded), "--info", "1:1:1:1",
                              "--firmware", "0x12345678:0:hex:" + std::string(c.encoded)});
        BirdFile f(path.c_str());
        EXPECT_TRUE(f.DecodeFirmwareBlocks(c.key));
        auto fw = f.FindBlocks(BirdFile::BLOCK_FIRMWARE);
        ASSERT_EQ(fw.size(), 2u);
        for (const auto& b : fw) {
            EXPECT_EQ(image(b), hex(c.decoded)) << c.name; // each block restarts the chain
            EXPECT_EQ(Bytes(b.data, b.data + 4), hex("12345678")) << c.name;
        }
        EXPECT_EQ(image(f.FindBlocks(BirdFile::BLOCK_LOADER)[0]), hex(c.encoded)) << c.name;
    }
}

TEST(BirdFileValidateData, PatternSearch) {
    TempDir dir;
    auto path = makeBird(dir, "p.bird",
                         {"--firmware", "0xCAFE0000:0:hex:CAFE01CAFE", "--raw",
                          "6:hex:CAFECAFECAFE", "--firmware", "0:0:hex:AB"});
    BirdFile f(path.c_str());
    struct {
        const char* pattern;
        bool found;
        std::vector<std::string> at;
    } cases[] = {
        // The address bytes are searched too; a match ending on the last
        // data byte (offset 7 here) is not tried.
        {"CAFE", true, {"Found data at 0\n", "Found data at 4\n"}},
        {"01CA", true, {"Found data at 6\n"}},
        {"CAFE01CAFE", false, {}},
        {"0000CAFE01CAFE", false, {}},
        {"AB", false, {}},
        {"CAFE0000CAFE01CAFE", false, {}},   // the whole data of the block
        {"CAFE0000CAFE01CAFE00", false, {}}, // longer than the block
        {"0000", true, {"Found data at 2\n", "Found data at 0\n"}},
    };
    for (const auto& c : cases) {
        Bytes p = hex(c.pattern);
        LogCapture log;
        EXPECT_EQ(f.ValidateData(p.data(), static_cast<uint32_t>(p.size())), c.found) << c.pattern;
        std::string text = log.text();
        EXPECT_TRUE(contains(text, "BIRDFILE: looking for data pattern in [" + path + "]"));
        for (const auto& at : c.at) {
            EXPECT_TRUE(contains(text, at)) << c.pattern << "\n" << text;
        }
    }
}

} // namespace
