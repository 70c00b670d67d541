// Tests of birdtool, the fixture writer: the bytes it writes are checked
// against hand-made layouts with zlib alone, not with the reader under test.

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

std::string birdtool() {
    return testsupport::buildPath("tools/birdtool/birdtool");
}

testsupport::ProcessResult run(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {birdtool()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProcess(argv);
}

Bytes hex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// The inflated payload of a written file.
Bytes inflatePayload(const std::string& file) {
    Bytes out(1 << 20);
    uLongf size = out.size();
    EXPECT_GT(file.size(), 6u);
    int r = uncompress(out.data(), &size, reinterpret_cast<const Bytef*>(file.data()) + 6,
                       file.size() - 6);
    EXPECT_EQ(r, Z_OK);
    out.resize(r == Z_OK ? size : 0);
    return out;
}

uint32_t crcOf(const Bytes& b, size_t n) {
    return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(n)));
}

TEST(Birdtool, WritesTheDocumentedLayout) {
    TempDir dir;
    auto r = run({"create", "-o", dir.file("a.bird"), "--firmware", "0x11223344:5:hex:AABB",
                  "--serial-offsets", "0x10:0x20", "--loader-start", "0x99", "--raw", "0xE6:hex:01",
                  "--info", "7:1.0:0000000A:M"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string file = testsupport::readFile(dir.file("a.bird"));
    EXPECT_EQ(file.substr(0, 6), std::string("bird\x01\x01", 6));
    Bytes c = inflatePayload(file);
    Bytes expect = hex("00000005" // five blocks
                       "A1"
                       "00000006"
                       "11223344AABB" // firmware, flags 5
                       "02"
                       "00000008"
                       "0000001000000020"
                       "05"
                       "00000004"
                       "00000099"
                       "E6"
                       "00000001"
                       "01"
                       "04"
                       "00000040");
    auto pad = [](std::string f) { return f + std::string(16 - f.size(), ' '); };
    Bytes info = bytesOf(pad("7") + pad("1.0") + pad("0000000A") + pad("M"));
    expect.insert(expect.end(), info.begin(), info.end());
    uint32_t crc = crcOf(expect, expect.size());
    expect.insert(expect.end(),
                  {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)});
    EXPECT_EQ(c, expect);
}

TEST(Birdtool, ContentAndFileOptions) {
    TempDir dir;
    auto r =
        run({"create", "-o", dir.file("b.bird"), "--signature", "BIRD", "--format-version",
             "0x0100", "--count", "9", "--checksum", "0xCAFEF00D", "--trailing", "2", "--level",
             "0", "--firmware", "0:0:fill:3:0x7F", "--content-out", dir.file("b.content")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string file = testsupport::readFile(dir.file("b.bird"));
    EXPECT_EQ(file.substr(0, 6), std::string("BIRD\x01\x00", 6));
    Bytes c = inflatePayload(file);
    EXPECT_EQ(c, hex("00000009"
                     "01"
                     "00000007"
                     "000000007F7F7F"
                     "CAFEF00D"
                     "0000"));
    EXPECT_EQ(bytesOf(testsupport::readFile(dir.file("b.content"))), c);

    r = run({"create", "-o", dir.file("c.bird"), "--firmware", "0:0:hex:01", "--truncate-file", "9",
             "--flip-bit", "8:3", "--flip-bit", "0:0"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string full;
    ASSERT_EQ(run({"create", "-o", dir.file("d.bird"), "--firmware", "0:0:hex:01"}).status, 0);
    full = testsupport::readFile(dir.file("d.bird"));
    std::string cut = testsupport::readFile(dir.file("c.bird"));
    ASSERT_EQ(cut.size(), 9u);
    EXPECT_EQ(cut[0], 'c'); // 'b' with bit 0 flipped
    EXPECT_EQ(static_cast<uint8_t>(cut[8]), static_cast<uint8_t>(full[8]) ^ 0x08);
    EXPECT_EQ(cut.substr(1, 7), full.substr(1, 7));

    // --truncate-content cuts the inflated content.
    r = run({"create", "-o", dir.file("e.bird"), "--firmware", "0:0:hex:0102", "--truncate-content",
             "7"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(inflatePayload(testsupport::readFile(dir.file("e.bird"))), hex("00000001"
                                                                             "010000"));
}

TEST(Birdtool, DescriptorAndPatches) {
    TempDir dir;
    auto r = run({"create", "-o", dir.file("d.bird"), "--firmware", "0x8000:0:fill:64:0x00",
                  "--descriptor", "0:1234:2.15.3:21", "--descriptor", "16:7:1.2.3:0x10000",
                  "--patch", "32:A1A2", "--utf16", "40:AB", "--descriptor", "48:1:0x01020304:2"});
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes c = inflatePayload(testsupport::readFile(dir.file("d.bird")));
    ASSERT_EQ(c.size(), 4u + 5 + 68 + 4);
    Bytes img(c.begin() + 13, c.begin() + 13 + 64);
    EXPECT_EQ(Bytes(img.begin(), img.begin() + 16), hex("ED5EDEC0D2040000030F022F15000000"));
    // 1.2.3 packs in the legacy form: major in bits 28-31, minor 24-27.
    EXPECT_EQ(Bytes(img.begin() + 16, img.begin() + 32), hex("ED5EDEC00700000003000012"
                                                             "00000100"));
    EXPECT_EQ(Bytes(img.begin() + 32, img.begin() + 40), hex("A1A2000000000000"));
    EXPECT_EQ(Bytes(img.begin() + 40, img.begin() + 44), hex("41004200"));
    EXPECT_EQ(Bytes(img.begin() + 48, img.begin() + 64), hex("ED5EDEC00100000004030201"
                                                             "02000000"));

    r = run({"show", dir.file("d.bird")});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("descriptor: block 0 offset 0x0 build 1234 version 0x2F020F03 model 21\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find("descriptor: block 0 offset 0x10 build 7 version 0x12000003 model 65536\n"),
        std::string::npos);
}

TEST(Birdtool, ShowReportsStructure) {
    TempDir dir;
    ASSERT_EQ(run({"create", "-o", dir.file("g.bird"), "--info", "1234:1.2.3:000000AB:MODEL X",
                   "--serial-offsets", "0x1100:0x1200", "--loader", "0:1:hex:00", "--firmware",
                   "0x1000:0:fill:16:0xFF", "--loader-start", "0x20000000"})
                  .status,
              0);
    auto r = run({"show", dir.file("g.bird")});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char* line :
         {"signature: \"bird\" 0x62697264\n", "format-version: 0x0101\n", "block-count: 5\n",
          "block 0: type 4 flags 0 length 64\n",
          "block 2: type 0 flags 1 length 5 address 0x00000000\n",
          "block 3: type 1 flags 0 length 20 address 0x00001000\n", "crc32 ok\n",
          "info: build \"1234\" version \"1.2.3\" serial \"000000AB\" model \"MODEL X\"\n",
          "offsets: serial 0x00001100 descriptor 0x00001200\n", "loader-start: 0x20000000\n"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
}

TEST(Birdtool, ShowFlagsMalformedContent) {
    TempDir dir;
    struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--count", "3", "--firmware", "0:0:hex:01"}, "error: block count 3 but 1 blocks parsed"},
        {{"--firmware", "0:0:hex:01", "--trailing", "3"}, "error: 3 bytes after the checksum"},
        {{"--firmware", "0:0:hex:01", "--checksum", "1"}, "crc32 mismatch"},
        {{"--firmware", "0:0:hex:0102", "--firmware", "0:0:hex:03", "--truncate-content", "20"},
         "error: block 1 runs past the content"},
        {{"--truncate-file", "4"}, "error: file too short"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"create", "-o", dir.file("m.bird")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(run(args).status, 0);
        auto r = run({"show", dir.file("m.bird")});
        EXPECT_NE(r.out.find(c.error), std::string::npos) << c.error << "\n" << r.out;
        if (std::string(c.error) != "crc32 mismatch") {
            EXPECT_EQ(r.status, 1) << c.error;
        }
    }
}

TEST(Birdtool, UsageErrors) {
    TempDir dir;
    const std::string out = dir.file("x.bird");
    const std::vector<std::vector<std::string>> cases = {
        {"create", "-o", out, "--patch", "0:00"},
        {"create", "-o", out, "--firmware", "0:0:hex:0102", "--patch", "1:0102"},
        {"create", "-o", out, "--firmware", "0:0:fill:15:0", "--descriptor", "0:1:1:1"},
        {"create", "-o", out, "--info", "12345678901234567:1:1:1"},
        {"create", "-o", out, "--info", "1:2:3"},
        {"create", "-o", out, "--firmware", "0:8:hex:00"},
        {"create", "-o", out, "--firmware", "0x:0:hex:00"},
        {"create", "-o", out, "--firmware", "0:0:hex:0"},
        {"create", "-o", out, "--signature", "bir"},
        {"create", "--firmware", "0:0:hex:00"},
        {"create", "-o", out, "--bogus", "1"},
        {"frobnicate"},
    };
    for (const auto& args : cases) {
        auto r = run(args);
        EXPECT_EQ(r.status, 2) << args.back() << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_EQ(run({"create", "-o", out, "--firmware", "0:0:" + dir.file("missing")}).status, 1);
    EXPECT_EQ(run({"show", dir.file("missing")}).status, 1);
}

TEST(Birdtool, PackAndUnpackRoundTrip) {
    TempDir dir;
    std::string content("\x00\x00\x00\x00\x12\x34\x56\x78 trailing", 17);
    ASSERT_TRUE(testsupport::writeFile(dir.file("c.raw"), content));
    ASSERT_EQ(
        run({"pack", "-o", dir.file("p.bird"), "--format-version", "0x0203", dir.file("c.raw")})
            .status,
        0);
    std::string file = testsupport::readFile(dir.file("p.bird"));
    EXPECT_EQ(file.substr(0, 6), std::string("bird\x02\x03", 6));
    ASSERT_EQ(run({"unpack", "-o", dir.file("u.raw"), dir.file("p.bird")}).status, 0);
    EXPECT_EQ(testsupport::readFile(dir.file("u.raw")), content);
}

} // namespace
