#include "devlib/aUEI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

PacketPtr makePacket(uint8_t address, const std::vector<uint8_t>& data) {
    static const uint8_t kNone[1] = {0};
    return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                            data.empty() ? kNone : data.data()));
}

std::vector<uint8_t> dataOf(const aPacket* p) {
    return {p->data, p->data + p->dataSize};
}

TEST(aUEI, BigEndianValues) {
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(bytes), 0x12345678u);
    EXPECT_EQ(aUEI_RetrieveShort(bytes), 0x1234);
    const uint8_t high[] = {0xFF, 0xFE, 0x80, 0x01};
    EXPECT_EQ(aUEI_RetrieveInt(high), 0xFFFE8001u);
    EXPECT_EQ(aUEI_RetrieveShort(high), 0xFFFE);

    uint8_t out[6] = {0};
    aUEI_StoreInt(out + 1, 0xCAFEBABE);
    const uint8_t expectInt[] = {0, 0xCA, 0xFE, 0xBA, 0xBE, 0};
    EXPECT_EQ(std::memcmp(out, expectInt, sizeof(out)), 0);
    aUEI_StoreShort(out, 0xA55A);
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(out[1], 0x5A);
    EXPECT_EQ(out[2], 0xFE) << "a short writes two bytes only";
}

TEST(aUEI, ModifyIntBufferConvertsWireOrderWords) {
    const uint8_t wire[] = {0x00, 0x00, 0x01, 0x02, 0xDE, 0xAD, 0xBE, 0xEF, 0x11, 0x22, 0x33, 0x44};
    uint32_t words[3];
    std::memcpy(words, wire, sizeof(wire));
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x0102u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
    uint32_t untouched;
    std::memcpy(&untouched, wire + 8, 4);
    EXPECT_EQ(words[2], untouched) << "only count words are converted";
    aUEI_ModifyIntBuffer(nullptr, 4);
}

TEST(aUEI, PayloadClassification) {
    const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        const bool expectNot =
            std::find(std::begin(notUEI), std::end(notUEI), command) != std::end(notUEI);
        PacketPtr p = makePacket(2, {static_cast<uint8_t>(command), 0x48, 0x20});
        EXPECT_EQ(aUEI_isNotUEIPayload(p.get()), expectNot) << command;
        EXPECT_EQ(aUEI_isUEIPayload(p.get()), !expectNot) << command;
    }
    // The first data byte is read whatever dataSize says: an empty packet
    // has a cleared first byte, that is a heartbeat.
    PacketPtr empty = makePacket(2, {});
    EXPECT_TRUE(aUEI_isNotUEIPayload(empty.get()));

    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(aUEI, StreamPacketRecognition) {
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    };
    const std::vector<Case> cases = {
        {{3, 0x08, 0x40, 0, 0}, true},        // five bytes, sample bit
        {{93, 0x01, 0x41, 1, 2, 3, 4}, true}, // stream command itself is UEI
        {{3, 0x08, 0x40, 0}, false},          // dataSize 4 is too short
        {{3, 0x48, 0x40, 0, 0}, false},       // get bit set
        {{3, 0x88, 0x40, 0, 0}, false},       // set bit set
        {{3, 0x08, 0x00, 0, 0}, false},       // no sample bit
        {{95, 0x08, 0x40, 0, 0}, false},      // upgrade is not a UEI payload
        {{cmdMAGIC, 0x08, 0x40, 0, 0}, false},
    };
    for (const Case& c : cases) {
        PacketPtr p = makePacket(2, c.data);
        EXPECT_EQ(aUEI_isStreamPacket(p.get()), c.stream)
            << "command " << int(c.data[0]) << " size " << c.data.size();
    }
}

TEST(aUEI, BuildRequestOfEachValueType) {
    struct Case {
        ueiType type;
        uint32_t value;
        std::vector<uint8_t> expect;
    };
    const std::vector<Case> cases = {
        {ueiTypeVoid, 0, {3, 0x48, 0x20}},
        {ueiTypeByte, 0xA7, {3, 0x88, 0x21, 0xA7}},
        {ueiTypeShort, 0x1234, {3, 0x88, 0x21, 0x12, 0x34}},
        {ueiTypeInt, 0x89ABCDEF, {3, 0x88, 0x21, 0x89, 0xAB, 0xCD, 0xEF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        uei u{};
        u.module = 4;
        u.command = 3;
        u.option = c.type == ueiTypeVoid ? 0x48 : 0x88;
        u.specifier = c.type == ueiTypeVoid ? 0x20 : 0x21;
        u.type = c.type;
        switch (c.type) {
        case ueiTypeByte:
            u.value.byteVal = static_cast<uint8_t>(c.value);
            break;
        case ueiTypeShort:
            u.value.shortVal = static_cast<uint16_t>(c.value);
            break;
        case ueiTypeInt:
            u.value.intVal = c.value;
            break;
        default:
            break;
        }
        aPacket* raw = nullptr;
        ASSERT_EQ(aUEI_BuildPacket(u, &raw), aErrNone);
        PacketPtr p(raw);
        EXPECT_EQ(p->address, 4);
        EXPECT_TRUE(aPacket_IsComplete(p.get()));
        EXPECT_EQ(dataOf(p.get()), c.expect);

        // The sub-index form puts the sub-index after the specifier.
        std::vector<uint8_t> withSub = c.expect;
        withSub.insert(withSub.begin() + 3, 0x07);
        ASSERT_EQ(aUEI_BuildPacketSubindex(u, 0x07, &raw), aErrNone);
        PacketPtr sub(raw);
        EXPECT_EQ(dataOf(sub.get()), withSub);
    }
    uei bytes{};
    bytes.type = ueiTypeBytes;
    aPacket* raw = nullptr;
    EXPECT_EQ(aUEI_BuildPacket(bytes, &raw), aErrParam);
    EXPECT_EQ(raw, nullptr);
    bytes.type = 3;
    EXPECT_EQ(aUEI_BuildPacketSubindex(bytes, 0, &raw), aErrParam);
    bytes.type = ueiTypeVoid;
    EXPECT_EQ(aUEI_BuildPacket(bytes, nullptr), aErrParam);
}

TEST(aUEI, DecodeReplyBySize) {
    struct Case {
        std::vector<uint8_t> data;
        aErr result;
        ueiType type;
        uint32_t value;
        uint8_t specifier;
    };
    const uint32_t kUntouched = 0x5A5A5A5A;
    const std::vector<Case> cases = {
        {{3, 0x08, 0x00}, aErrNone, ueiTypeVoid, kUntouched, 0x20},
        {{3, 0x08, 0x00, 0x9C}, aErrNone, ueiTypeByte, 0x9C, 0x20},
        {{3, 0x08, 0x00, 0x01, 0x02}, aErrNone, ueiTypeShort, 0x0102, 0x20},
        {{3, 0x07, 0x00, 0x2F, 0x02, 0x0B, 0x05}, aErrNone, ueiTypeInt, 0x2F020B05, 0x20},
        // A length without a value form matches but leaves the value alone.
        {{3, 0x08, 0x00, 1, 2, 3}, aErrNone, ueiTypeBytes, kUntouched, 0x20},
        // An error reply carries the module's code.
        {{3, 0x08, 0x80, 21}, aErrNone, ueiTypeBytes, 21, 0x80},
        {{3, 0x08}, aErrPacket, ueiTypeBytes, kUntouched, 0x20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data.size());
        PacketPtr p = makePacket(2, c.data);
        uei u{};
        u.specifier = 0x20;
        u.type = ueiTypeBytes; // marks "not decoded"
        u.value.intVal = kUntouched;
        EXPECT_EQ(aUEI_DecodeReply(p.get(), &u), c.result);
        EXPECT_EQ(u.type, c.type);
        EXPECT_EQ(u.specifier, c.specifier);
        switch (c.type) {
        case ueiTypeByte:
            EXPECT_EQ(u.value.byteVal, c.value);
            break;
        case ueiTypeShort:
            EXPECT_EQ(u.value.shortVal, c.value);
            break;
        case ueiTypeBytes:
            if (c.specifier & ueiSPECIFIER_ERROR) {
                EXPECT_EQ(u.value.byteVal, c.value);
            } else {
                EXPECT_EQ(u.value.intVal, c.value);
            }
            break;
        default:
            EXPECT_EQ(u.value.intVal, c.value);
        }
    }
    uei u{};
    EXPECT_EQ(aUEI_DecodeReply(nullptr, &u), aErrParam);
    PacketPtr p = makePacket(2, {3, 8, 0});
    EXPECT_EQ(aUEI_DecodeReply(p.get(), nullptr), aErrParam);
}

// Splits an array with the writer and returns every packet.
std::vector<PacketPtr> split(const std::vector<uint8_t>& array) {
    aUEIBytesWriter w;
    EXPECT_EQ(aUEI_BytesWriterInit(&w, 2, 95, 0x8A, 0x20, array.data(), array.size()), aErrNone);
    std::vector<PacketPtr> packets;
    bool last = false;
    const size_t kMaxPackets = 1000;
    while (!last && packets.size() < kMaxPackets) {
        aPacket* raw = nullptr;
        EXPECT_EQ(aUEI_BytesNextChunk(&w, &raw, &last), aErrNone);
        if (raw == nullptr) {
            break;
        }
        packets.emplace_back(raw);
    }
    aPacket* raw = nullptr;
    EXPECT_EQ(aUEI_BytesNextChunk(&w, &raw, &last), aErrEOF);
    EXPECT_EQ(raw, nullptr);
    return packets;
}

TEST(aUEI, ByteArraySplitting) {
    struct Case {
        size_t length;
        std::vector<size_t> chunks;
        std::vector<uint8_t> trailers;
    };
    const std::vector<Case> cases = {
        {0, {0}, {0x00}},
        {1, {1}, {0x00}},
        {24, {24}, {0x00}},
        {25, {24, 1}, {0x80, 0x01}},
        {48, {24, 24}, {0x80, 0x01}},
        {50, {24, 24, 2}, {0x80, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> array(c.length);
        for (size_t i = 0; i < c.length; ++i) {
            array[i] = static_cast<uint8_t>(i * 7 + 1);
        }
        std::vector<PacketPtr> packets = split(array);
        ASSERT_EQ(packets.size(), c.chunks.size());
        EXPECT_EQ(aUEI_BytesChunkCount(c.length), c.chunks.size());
        size_t offset = 0;
        for (size_t i = 0; i < packets.size(); ++i) {
            const aPacket* p = packets[i].get();
            EXPECT_EQ(p->address, 2);
            EXPECT_EQ(p->dataSize, c.chunks[i] + 4);
            EXPECT_EQ(p->data[0], 95);
            EXPECT_EQ(p->data[1], 0x8A);
            EXPECT_EQ(p->data[2], 0x20);
            if (c.chunks[i] > 0) {
                EXPECT_EQ(std::memcmp(p->data + 3, array.data() + offset, c.chunks[i]), 0);
            }
            EXPECT_EQ(p->data[p->dataSize - 1], c.trailers[i]);
            EXPECT_EQ(aUEI_getBytesSequence(p), c.trailers[i] & 0x7F);
            EXPECT_EQ(aUEI_getBytesContinue(p), (c.trailers[i] & 0x80) != 0);
            EXPECT_EQ(aUEI_getBytesFullPacket(p), c.chunks[i] >= 23);
            offset += c.chunks[i];
        }
    }
}

TEST(aUEI, SequenceNumberWrapsAfter128Chunks) {
    std::vector<uint8_t> array(24 * 130, 0x33);
    std::vector<PacketPtr> packets = split(array);
    ASSERT_EQ(packets.size(), 130u);
    EXPECT_EQ(aUEI_getBytesSequence(packets[127].get()), 127);
    EXPECT_EQ(aUEI_getBytesSequence(packets[128].get()), 0) << "the 129th chunk";
    EXPECT_TRUE(aUEI_getBytesContinue(packets[128].get()));
    EXPECT_EQ(aUEI_getBytesSequence(packets[129].get()), 1);
    EXPECT_FALSE(aUEI_getBytesContinue(packets[129].get()));

    // The receiver follows the wrap: every chunk is accepted in turn.
    std::vector<uint8_t> buffer(array.size());
    size_t count = 0;
    uei u{};
    u.type = ueiTypeVoid;
    u.value.bytes = {buffer.data(), 0, 0, buffer.size(), &count};
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_EQ(aUEI_BytesAcceptChunk(packets[i].get(), &u), aErrNone) << i;
    }
    EXPECT_EQ(count, array.size());
    EXPECT_EQ(u.value.bytes.cont, 0);
    EXPECT_EQ(buffer, array);
}

TEST(aUEI, ReceiverTakesChunksOnlyInSequence) {
    std::vector<uint8_t> array(60);
    for (size_t i = 0; i < array.size(); ++i) {
        array[i] = static_cast<uint8_t>(200 - i);
    }
    std::vector<PacketPtr> packets = split(array);
    ASSERT_EQ(packets.size(), 3u);

    std::vector<uint8_t> buffer(64, 0);
    size_t count = 0;
    uei u{};
    u.specifier = 0;
    u.value.bytes = {buffer.data(), 0, 0, buffer.size(), &count};

    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[1].get(), &u), aErrNotReady);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[0].get(), &u), aErrNone);
    EXPECT_EQ(u.value.bytes.cont, 1);
    EXPECT_EQ(u.value.bytes.sequence, 1);
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[2].get(), &u), aErrNotReady);
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[1].get(), &u), aErrNone);
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[2].get(), &u), aErrNone);
    EXPECT_EQ(u.value.bytes.cont, 0);
    EXPECT_EQ(u.value.bytes.sequence, 2) << "the last chunk does not advance";
    EXPECT_EQ(count, 60u);
    EXPECT_TRUE(std::equal(array.begin(), array.end(), buffer.begin()));
    EXPECT_EQ(buffer[60], 0) << "nothing written past the array";
}

TEST(aUEI, ReceiverRefusesMoreThanTheCapacity) {
    std::vector<uint8_t> array(30, 0x77);
    std::vector<PacketPtr> packets = split(array);
    ASSERT_EQ(packets.size(), 2u);
    std::vector<uint8_t> buffer(32, 0);
    size_t count = 0;
    uei u{};
    u.specifier = 0x01;
    u.value.bytes = {buffer.data(), 0, 0, 25, &count};
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[0].get(), &u), aErrNone);
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[1].get(), &u), aErrMemory);
    EXPECT_EQ(count, 24u);
    EXPECT_EQ(u.specifier, 0x81);
    EXPECT_EQ(buffer[24], 0) << "no byte past the capacity";

    PacketPtr shortOne = makePacket(2, {95, 0x0A, 0x00});
    EXPECT_EQ(aUEI_BytesAcceptChunk(shortOne.get(), &u), aErrPacket);
    uei noCount{};
    EXPECT_EQ(aUEI_BytesAcceptChunk(packets[0].get(), &noCount), aErrParam);
    EXPECT_EQ(aUEI_BytesAcceptChunk(nullptr, &u), aErrParam);
}

TEST(aUEI, WriterArguments) {
    aUEIBytesWriter w;
    EXPECT_EQ(aUEI_BytesWriterInit(nullptr, 2, 3, 4, 5, nullptr, 0), aErrParam);
    EXPECT_EQ(aUEI_BytesWriterInit(&w, 2, 3, 4, 5, nullptr, 3), aErrParam);
    ASSERT_EQ(aUEI_BytesWriterInit(&w, 2, 3, 4, 5, nullptr, 0), aErrNone);
    bool last = false;
    EXPECT_EQ(aUEI_BytesNextChunk(&w, nullptr, &last), aErrParam);
    aPacket* raw = nullptr;
    EXPECT_EQ(aUEI_BytesNextChunk(&w, &raw, nullptr), aErrParam);
}

TEST(aUEI, TrailerReadersOnOddPackets) {
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
    PacketPtr empty = makePacket(2, {});
    EXPECT_EQ(aUEI_getBytesSequence(empty.get()), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(empty.get()));
    std::vector<uint8_t> d27(27, 0xFF);
    PacketPtr p27 = makePacket(2, d27);
    EXPECT_TRUE(aUEI_getBytesFullPacket(p27.get()));
    EXPECT_EQ(aUEI_getBytesSequence(p27.get()), 0x7F);
    EXPECT_TRUE(aUEI_getBytesContinue(p27.get()));
    PacketPtr p26 = makePacket(2, std::vector<uint8_t>(26, 0));
    EXPECT_FALSE(aUEI_getBytesFullPacket(p26.get()));
}

} // namespace
