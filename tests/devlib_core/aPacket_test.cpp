#include "devlib/aPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;

// Feeds bytes into a fresh record and returns the result of every byte.
struct Fed {
    PacketPtr packet;
    std::vector<aErr> results;
};

Fed feed(const std::vector<uint8_t>& bytes) {
    Fed fed{PacketPtr(aPacket_Create()), {}};
    for (uint8_t b : bytes) {
        fed.results.push_back(aPacket_AddByte(fed.packet.get(), b));
    }
    return fed;
}

TEST(aPacket, CreateGivesAValidEmptyRecord) {
    PacketPtr p(aPacket_Create());
    ASSERT_TRUE(aVALIDPACKET(p.get()));
    EXPECT_EQ(p->check, 0xBEEF);
    EXPECT_EQ(p->index, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->dataSize, 0);
    for (uint8_t b : p->data) {
        EXPECT_EQ(b, 0);
    }
    EXPECT_FALSE(aPacket_IsComplete(p.get()));
}

TEST(aPacket, AssemblyTable) {
    std::vector<uint8_t> full = {0x04, 28};
    for (int i = 0; i < 28; ++i) {
        full.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    std::vector<uint8_t> overrun = full;
    overrun.push_back(0x55);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        aErr lastResult;
        bool complete;
        uint8_t address;
        uint8_t dataSize;
    };
    const std::vector<Case> cases = {
        {"address and empty length complete at once", {0x02, 0x00}, aErrNone, true, 2, 0},
        {"odd address refused", {0x03}, aErrPacket, false, 0, 0},
        {"zero address refused", {0x00}, aErrPacket, false, 0, 0},
        {"length 29 refused", {0x02, 29}, aErrPacket, false, 2, 29},
        {"partial packet", {0x02, 0x03, 0x03, 0x48}, aErrNone, false, 2, 3},
        {"three data bytes", {0x02, 0x03, 0x03, 0x48, 0x20}, aErrNone, true, 2, 3},
        {"byte past the length", {0x02, 0x01, 0x17, 0x99}, aErrPacket, false, 2, 1},
        {"byte after an empty packet is no length", {0x02, 0x00, 0x05}, aErrPacket, false, 2, 0},
        {"thirty wire bytes", full, aErrNone, true, 4, 28},
        {"thirty-first byte", overrun, aErrOverrun, false, 4, 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fed fed = feed(c.bytes);
        for (size_t i = 0; i + 1 < fed.results.size(); ++i) {
            EXPECT_EQ(fed.results[i], aErrNone) << "byte " << i;
        }
        EXPECT_EQ(fed.results.back(), c.lastResult);
        EXPECT_EQ(aPacket_IsComplete(fed.packet.get()), c.complete);
        EXPECT_EQ(fed.packet->address, c.address);
        EXPECT_EQ(fed.packet->dataSize, c.dataSize);
    }
}

TEST(aPacket, AssembledDataLandsInPlace) {
    Fed fed = feed({0x06, 0x04, 0x5F, 0x01, 0x02, 0x03});
    ASSERT_TRUE(aPacket_IsComplete(fed.packet.get()));
    EXPECT_EQ(fed.packet->index, 6);
    const uint8_t expected[] = {0x5F, 0x01, 0x02, 0x03};
    EXPECT_EQ(std::memcmp(fed.packet->data, expected, sizeof(expected)), 0);
    EXPECT_EQ(fed.packet->data[4], 0);
}

TEST(aPacket, OverrunStaysOverrunAndResetRecovers) {
    std::vector<uint8_t> bytes = {0x04, 28};
    bytes.resize(30, 0x11);
    Fed fed = feed(bytes);
    ASSERT_TRUE(aPacket_IsComplete(fed.packet.get()));
    // However many bytes follow, the record must not wrap round into
    // something that looks fresh or complete.
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(aPacket_AddByte(fed.packet.get(), 0x02), aErrOverrun) << i;
        ASSERT_FALSE(aPacket_IsComplete(fed.packet.get()));
    }
    ASSERT_EQ(aPacket_Reset(fed.packet.get()), aErrNone);
    EXPECT_TRUE(aVALIDPACKET(fed.packet.get()));
    EXPECT_EQ(fed.packet->index, 0);
    EXPECT_EQ(fed.packet->data[5], 0);
    EXPECT_EQ(aPacket_AddByte(fed.packet.get(), 0x08), aErrNone);
    EXPECT_EQ(aPacket_AddByte(fed.packet.get(), 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(fed.packet.get()));
    EXPECT_EQ(fed.packet->address, 8);
}

TEST(aPacket, CreateWithData) {
    const uint8_t data[28] = {3, 0x48, 0x20};
    PacketPtr p(aPacket_CreateWithData(0x02, 3, data));
    ASSERT_TRUE(p);
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->index, 5);
    EXPECT_EQ(p->address, 2);
    EXPECT_EQ(p->dataSize, 3);
    EXPECT_EQ(p->data[1], 0x48);

    PacketPtr magic(aPacket_CreateWithData(cmdMAGIC, 0, data));
    ASSERT_TRUE(magic) << "special addresses are allowed when sending";
    EXPECT_EQ(magic->address, 0xAD);
    EXPECT_TRUE(aPacket_IsComplete(magic.get()));

    PacketPtr full(aPacket_CreateWithData(0x02, 28, data));
    EXPECT_TRUE(full);
    EXPECT_EQ(aPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 255, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 0, nullptr), nullptr);
}

TEST(aPacket, CopyIsIndependentAndComplete) {
    Fed fed = feed({0x02, 0x02, 0x17, 0x42});
    PacketPtr copy(aPacket_Copy(fed.packet.get()));
    ASSERT_TRUE(copy);
    EXPECT_NE(copy.get(), fed.packet.get());
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));
    EXPECT_EQ(copy->address, 2);
    EXPECT_EQ(copy->dataSize, 2);
    EXPECT_EQ(copy->data[1], 0x42);
    aPacket_Reset(fed.packet.get());
    EXPECT_EQ(copy->data[1], 0x42);

    // A partly assembled source copies as a complete packet of what it has.
    Fed partial = feed({0x02, 0x05, 0x01});
    PacketPtr copied(aPacket_Copy(partial.packet.get()));
    ASSERT_TRUE(copied);
    EXPECT_TRUE(aPacket_IsComplete(copied.get()));
    EXPECT_EQ(copied->dataSize, 5);

    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    aPacket fake{};
    EXPECT_EQ(aPacket_Copy(&fake), nullptr);
}

TEST(aPacket, HeaderFieldGetters) {
    struct Case {
        std::vector<uint8_t> data;
        aErr cmd, option, index;
        uint8_t cmdValue, optionValue, indexValue;
    };
    const std::vector<Case> cases = {
        {{}, aErrPacket, aErrPacket, aErrPacket, 0, 0, 0},
        {{0x03}, aErrNone, aErrPacket, aErrPacket, 0x03, 0, 0},
        {{0x03, 0xC8}, aErrNone, aErrNone, aErrPacket, 0x03, 0x08, 0},
        {{0x5D, 0x7F, 0xFF, 0x00}, aErrNone, aErrNone, aErrNone, 0x5D, 0x3F, 0x1F},
        {{0x03, 0x48, 0x25}, aErrNone, aErrNone, aErrNone, 0x03, 0x08, 0x05},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data.size());
        static const uint8_t kNone[1] = {0};
        PacketPtr p(aPacket_CreateWithData(2, static_cast<uint8_t>(c.data.size()),
                                           c.data.empty() ? kNone : c.data.data()));
        ASSERT_TRUE(p);
        uint8_t v = 0xEE;
        EXPECT_EQ(aPacket_GetCmd(p.get(), &v), c.cmd);
        if (c.cmd == aErrNone) {
            EXPECT_EQ(v, c.cmdValue);
        } else {
            EXPECT_EQ(v, 0xEE) << "out untouched on failure";
        }
        v = 0xEE;
        EXPECT_EQ(aPacket_GetOption(p.get(), &v), c.option);
        if (c.option == aErrNone) {
            EXPECT_EQ(v, c.optionValue);
        }
        v = 0xEE;
        EXPECT_EQ(aPacket_GetIndex(p.get(), &v), c.index);
        if (c.index == aErrNone) {
            EXPECT_EQ(v, c.indexValue);
        }
        EXPECT_EQ(aPacket_GetCmd(p.get(), nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(p.get(), nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(p.get(), nullptr), aErrParam);
    }
    uint8_t v;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(aPacket, InvalidRecordsAreRefused) {
    aPacket fake{};
    fake.check = 0xBEEE;
    EXPECT_FALSE(aVALIDPACKET(&fake));
    EXPECT_FALSE(aVALIDPACKET(static_cast<aPacket*>(nullptr)));
    EXPECT_EQ(aPacket_AddByte(&fake, 0x02), aErrParam);
    EXPECT_EQ(aPacket_AddByte(nullptr, 0x02), aErrParam);
    EXPECT_EQ(aPacket_Reset(&fake), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&fake));
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
    aPacket* fakePtr = &fake;
    EXPECT_EQ(aPacket_Destroy(&fakePtr), aErrParam);
    EXPECT_EQ(fakePtr, &fake) << "a record without its check word is not freed";
}

TEST(aPacket, DestroyClearsThePointer) {
    aPacket* p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

} // namespace
