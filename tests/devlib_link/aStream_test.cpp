// The stream core: reads with push-back, partial reads, the push-back ring's
// growth and wrap, record framing, write dispatch, flush, destroy and file
// streams.
#include "devlib/aStream.h"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

// A scripted transport: get hands out `input` and then `endResult`; put and
// write record what they are given.
struct Script {
    std::deque<uint8_t> input;
    aErr endResult = aErrNotReady;
    std::vector<uint8_t> output;
    int puts = 0;
    int writes = 0;
    int deletes = 0;
    aErr failPutAt = aErrNone; // returned by put once output reaches putLimit
    size_t putLimit = SIZE_MAX;

    void feed(const std::string& s) { input.insert(input.end(), s.begin(), s.end()); }
    void feed(const std::vector<uint8_t>& v) { input.insert(input.end(), v.begin(), v.end()); }
};

aErr sGet(uint8_t* byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    if (s->input.empty()) {
        return s->endResult;
    }
    *byte = s->input.front();
    s->input.pop_front();
    return aErrNone;
}
aErr sPut(const uint8_t* byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    if (s->output.size() >= s->putLimit) {
        return s->failPutAt;
    }
    s->puts++;
    s->output.push_back(*byte);
    return aErrNone;
}
aErr sWrite(const uint8_t* data, size_t n, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->writes++;
    s->output.insert(s->output.end(), data, data + n);
    return aErrNone;
}
aErr sDelete(void* ref) {
    static_cast<Script*>(ref)->deletes++;
    return aErrTimeout; // a recognisable result, to see it passed on
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        stream = aStream_Create(sGet, sPut, sWrite, sDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream != nullptr) {
            aStream_Destroy(&stream);
        }
    }
    Script script;
    aStream* stream = nullptr;
};

std::string readN(aStream* s, size_t n, aErr* result) {
    std::string out(n, '\0');
    *result = aStream_Read(s, &out[0], n);
    return out;
}

TEST_F(StreamTest, CreateGivesZeroedRecordWithCheckWord) {
    EXPECT_EQ(stream->check, aSTREAMCHECK);
    EXPECT_EQ(stream->count, 0u);
    EXPECT_EQ(stream->pushback, nullptr);
    EXPECT_EQ(stream->reference, &script);
}

TEST_F(StreamTest, PartialReadIsPushedBackAndSeenAgain) {
    // Two bytes, then nothing yet: the 4-byte read fails, the bytes survive.
    script.feed("ab");
    aErr err;
    readN(stream, 4, &err);
    EXPECT_EQ(err, aErrNotReady);
    EXPECT_EQ(stream->count, 2u);
    script.feed("cd");
    std::string got = readN(stream, 4, &err);
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(got, "abcd");
    EXPECT_EQ(stream->count, 0u);
}

TEST_F(StreamTest, EndOfFileHandsOutBytesBeforeIt) {
    script.feed("xy");
    script.endResult = aErrEOF;
    char buffer[4] = {0, 0, 0, 0};
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrEOF);
    EXPECT_EQ(std::string(buffer, 2), "xy");
}

TEST_F(StreamTest, TransportErrorDiscardsBytesRead) {
    script.feed("xy");
    script.endResult = aErrIO;
    char buffer[4] = {0, 0, 0, 0};
    EXPECT_EQ(aStream_Read(stream, buffer, 4), aErrIO);
    EXPECT_EQ(stream->count, 0u);
    EXPECT_EQ(buffer[0], 0);
}

TEST_F(StreamTest, ReadRefusesBadArguments) {
    char buffer[1];
    EXPECT_EQ(aStream_Read(nullptr, buffer, 1), aErrParam);
    EXPECT_EQ(aStream_Read(stream, nullptr, 1), aErrParam);
    aStream* writeOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &script);
    EXPECT_EQ(aStream_Read(writeOnly, buffer, 1), aErrMode);
    aStream_Destroy(&writeOnly);
}

TEST_F(StreamTest, PushBackComesOutBeforeTransportBytes) {
    script.feed("Z");
    ASSERT_EQ(aStreamBufferChar(stream, 'A'), aErrNone);
    ASSERT_EQ(aStreamBufferChar(stream, 'B'), aErrNone);
    aErr err;
    EXPECT_EQ(readN(stream, 3, &err), "ABZ");
    EXPECT_EQ(err, aErrNone);
}

// The ring grows past 512 without losing order, from a fresh ring and from
// one whose contents wrap around its end.
TEST_F(StreamTest, PushBackGrowsPast512InOrder) {
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i % 251)), aErrNone);
    }
    EXPECT_GE(stream->capacity, 1024u);
    std::vector<uint8_t> out(600);
    ASSERT_EQ(aStream_Read(stream, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(out[i], i % 251) << "at " << i;
    }
}

TEST_F(StreamTest, PushBackGrowsAfterWrapWithoutLosingOrder) {
    // Move the ring's positions near its end, then fill it past capacity so
    // that the waiting bytes wrap before it grows.
    for (int i = 0; i < 400; i++) {
        ASSERT_EQ(aStreamBufferChar(stream, 0), aErrNone);
    }
    std::vector<uint8_t> sink(400);
    ASSERT_EQ(aStream_Read(stream, sink.data(), sink.size()), aErrNone);
    ASSERT_EQ(stream->readPos, 400u);
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(aStreamBufferChar(stream, static_cast<uint8_t>(i % 253)), aErrNone);
        if (i == 200) {
            EXPECT_LT(stream->writePos, stream->readPos) << "the ring should have wrapped";
        }
    }
    EXPECT_EQ(stream->count, 600u);
    std::vector<uint8_t> out(600);
    ASSERT_EQ(aStream_Read(stream, out.data(), out.size()), aErrNone);
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(out[i], i % 253) << "at " << i;
    }
}

TEST_F(StreamTest, WriteOfOneByteUsesPutAndLongerUsesWriteOnce) {
    const uint8_t one = 7;
    ASSERT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 0);
    const uint8_t two[2] = {8, 9};
    ASSERT_EQ(aStream_Write(stream, two, 2), aErrNone);
    EXPECT_EQ(script.puts, 1);
    EXPECT_EQ(script.writes, 1);
    EXPECT_EQ(script.output, (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(StreamTest, WriteWithoutWriteOperationPutsEachByteAndStopsAtError) {
    aStream* putOnly = aStream_Create(nullptr, sPut, nullptr, nullptr, &script);
    script.putLimit = 2;
    script.failPutAt = aErrIO;
    EXPECT_EQ(aStream_Write(putOnly, "abcd", 4), aErrIO);
    EXPECT_EQ(script.output.size(), 2u);
    aStream_Destroy(&putOnly);
    aStream* none = aStream_Create(sGet, nullptr, nullptr, nullptr, &script);
    EXPECT_EQ(aStream_Write(none, "ab", 2), aErrMode);
    EXPECT_EQ(aStream_Write(none, nullptr, 2), aErrParam);
    aStream_Destroy(&none);
}

struct RecordCase {
    const char* name;
    std::string input;
    aErr end;
    std::string terminator;
    size_t capacity;
    aErr result;
    std::string record;
    std::string left; // bytes the next read sees
};

class ReadRecordTest : public StreamTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(ReadRecordTest, Case) {
    const RecordCase& c = GetParam();
    script.feed(c.input);
    script.endResult = c.end;
    std::vector<uint8_t> buffer(c.capacity + 1, 0xEE);
    size_t length = 999;
    aErr err = aStream_ReadRecord(stream, buffer.data(), &length, c.capacity,
                                  reinterpret_cast<const uint8_t*>(c.terminator.data()),
                                  c.terminator.size());
    EXPECT_EQ(err, c.result);
    if (err == aErrNone || err == aErrEOF) {
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + length), c.record);
    }
    std::string left;
    uint8_t b;
    while (aStream_Read(stream, &b, 1) == aErrNone) {
        left.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(left, c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ReadRecordTest,
    ::testing::Values(
        RecordCase{"terminated", "abc\ndef", aErrNotReady, "\n", 16, aErrNone, "abc", "def"},
        RecordCase{"capacity", "abcdef", aErrNotReady, "\n", 4, aErrNone, "abcd", "ef"},
        RecordCase{"notReady", "ab", aErrNotReady, "\n", 16, aErrNotReady, "", "ab"},
        RecordCase{"eofAfterBytes", "ab", aErrEOF, "\n", 16, aErrNone, "ab", ""},
        RecordCase{"eofFirst", "", aErrEOF, "\n", 16, aErrEOF, "", ""},
        RecordCase{"ioError", "ab", aErrIO, "\n", 16, aErrIO, "", ""},
        RecordCase{"twoByteTerminator", "ab\r\ncd", aErrNotReady, "\r\n", 16, aErrNone, "ab", "cd"},
        // A partial terminator that does not complete is data.
        RecordCase{"partialTerminatorIsData", "a\rb\r\n", aErrNotReady, "\r\n", 16, aErrNone,
                   "a\rb", ""},
        RecordCase{"repeatedTerminatorStart", "a\r\r\nz", aErrNotReady, "\r\n", 16, aErrNone, "a\r",
                   "z"}),
    [](const ::testing::TestParamInfo<RecordCase>& info) { return std::string(info.param.name); });

TEST_F(StreamTest, RecordReadersRefuseBadArguments) {
    uint8_t buffer[4];
    const uint8_t t = 0;
    EXPECT_EQ(aStream_ReadRecord(stream, nullptr, nullptr, 4, &t, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, nullptr, 4, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buffer, nullptr, 4, &t, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(nullptr, buffer, nullptr, 4, &t, 1), aErrParam);
}

TEST_F(StreamTest, CStringsRoundTrip) {
    ASSERT_EQ(aStream_WriteCString(stream, "hello"), aErrNone);
    ASSERT_EQ(aStream_WriteCStringRecord(stream, "line", "\r\n"), aErrNone);
    EXPECT_EQ(std::string(script.output.begin(), script.output.end()),
              std::string("hello\0line\r\n\0", 13));
    script.feed(script.output);
    char text[16];
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "hello");
    ASSERT_EQ(aStream_ReadCStringRecord(stream, text, sizeof(text), "\r\n"), aErrNone);
    EXPECT_STREQ(text, "line");
}

TEST_F(StreamTest, CStringIsCutToCapacityMinusOne) {
    script.feed(std::string("abcdefgh\0", 9));
    char text[4];
    ASSERT_EQ(aStream_ReadCString(stream, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "abc");
}

TEST_F(StreamTest, FlushCopiesUntilEndOfFile) {
    Script target;
    aStream* destination = aStream_Create(nullptr, sPut, nullptr, nullptr, &target);
    script.feed("copy me");
    script.endResult = aErrEOF;
    EXPECT_EQ(aStream_Flush(stream, destination), aErrNone);
    EXPECT_EQ(std::string(target.output.begin(), target.output.end()), "copy me");
    script.feed("x");
    script.endResult = aErrIO;
    EXPECT_EQ(aStream_Flush(stream, destination), aErrIO);
    EXPECT_EQ(aStream_Flush(destination, stream), aErrMode);
    aStream_Destroy(&destination);
}

TEST_F(StreamTest, DestroyCallsDeleteClearsPointerAndRefusesInvalid) {
    ASSERT_EQ(aStreamBufferChar(stream, 1), aErrNone);
    EXPECT_EQ(aStream_Destroy(&stream), aErrTimeout); // the delete operation's result
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.deletes, 1);
    EXPECT_EQ(aStream_Destroy(&stream), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
    // A record without its check word is refused by every operation.
    aStream fake{};
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(&fake, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Write(&fake, &b, 1), aErrParam);
    EXPECT_EQ(aStreamBufferChar(&fake, 1), aErrParam);
}

TEST_F(StreamTest, WaitReportsPushedBackBytesAtOnce) {
    ASSERT_EQ(aStreamBufferChar(stream, 1), aErrNone);
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrNone);
    uint8_t b;
    ASSERT_EQ(aStream_Read(stream, &b, 1), aErrNone);
    // No wait operation: a short pause, then "nothing yet".
    EXPECT_EQ(aStream_Wait(stream, 1000), aErrTimeout);
    EXPECT_EQ(aStream_Wait(nullptr, 1), aErrParam);
}

TEST(FileStreamTest, WriteThenReadBack) {
    testsupport::TempDir dir;
    std::string path = dir.file("bytes.bin");
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    ASSERT_EQ(aStream_WriteCString(out, "record one"), aErrNone);
    const uint8_t tail[3] = {0xFF, 0x00, 0x7F};
    ASSERT_EQ(aStream_Write(out, tail, 3), aErrNone);
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    EXPECT_EQ(in->put, nullptr);
    char text[32];
    ASSERT_EQ(aStream_ReadCString(in, text, sizeof(text)), aErrNone);
    EXPECT_STREQ(text, "record one");
    uint8_t rest[8];
    EXPECT_EQ(aStream_Read(in, rest, 8), aErrEOF);
    EXPECT_EQ(rest[0], 0xFF);
    EXPECT_EQ(rest[2], 0x7F);
    uint8_t b;
    EXPECT_EQ(aStream_Read(in, &b, 1), aErrEOF);
    ASSERT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(FileStreamTest, MissingFileOrArgumentsGiveResourceError) {
    testsupport::TempDir dir;
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("absent").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("x").c_str(), nullptr), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("no/such/dir").c_str(), &s), aErrResource);
}

} // namespace
