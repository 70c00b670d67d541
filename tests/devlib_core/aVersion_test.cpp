#include "devlib/aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(aVersion, UnpacksBothForms) {
    struct Case {
        uint32_t packed;
        bool legacy;
        uint8_t major, minor;
        uint32_t patch;
        const char* text;
    };
    const Case cases[] = {
        {0x2F020B05, false, 2, 11, 5, "2.11.5"},
        {0x21000005, true, 2, 1, 5, "2.1.5"},
        {0x1E000123, true, 1, 14, 291, "1.14.291"},
        {0x2EFFFFFF, true, 2, 14, 0xFFFFFF, "2.14.16777215"},
        {0x00000000, true, 0, 0, 0, "0.0.0"},
        {0x2F030000, false, 3, 0, 0, "3.0.0"},
        {0x2FFFFFFF, false, 255, 255, 255, "255.255.255"},
        // A top nibble of 3 or more is never legacy either.
        {0x30010203, false, 1, 2, 3, "1.2.3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
        char buffer[32];
        EXPECT_EQ(aVersion_ParseString(c.packed, buffer, sizeof(buffer)), std::strlen(c.text));
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(aVersion, ParseStringTruncatesSafely) {
    char buffer[16];
    EXPECT_EQ(aVersion_ParseString(0x2F020B05, buffer, 16), 6u);
    EXPECT_STREQ(buffer, "2.11.5");
    char tiny[4];
    std::memset(tiny, 'x', sizeof(tiny));
    EXPECT_EQ(aVersion_ParseString(0x2F020B05, tiny, sizeof(tiny)), 6u);
    EXPECT_STREQ(tiny, "2.1");
    char one = 'x';
    aVersion_ParseString(0x2F020B05, &one, 1);
    EXPECT_EQ(one, '\0');
    EXPECT_EQ(aVersion_ParseString(0x2F020B05, nullptr, 0), 6u);
}

TEST(aVersion, Packs) {
    struct Case {
        uint8_t major, minor;
        uint32_t patch;
        uint32_t packed;
    };
    const Case cases[] = {
        {2, 14, 3, 0x2E000003},     {2, 15, 3, 0x2F020F03},
        {3, 0, 0, 0x2F030000},      {1, 14, 291, 0x1E000123}, // the legacy patch keeps its 24 bits
        {3, 11, 0x1FF, 0x2F030BFF},                           // the current patch has 8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packed);
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
    }
    // What is packed unpacks to the same version.
    for (unsigned major = 0; major < 5; ++major) {
        for (unsigned minor = 0; minor < 20; ++minor) {
            if (major < 2 && minor > 15) {
                continue; // no legacy room for it
            }
            const uint32_t packed = aVersion_Pack(major, minor, 200);
            EXPECT_EQ(aVersion_ParseMajor(packed), major);
            EXPECT_EQ(aVersion_ParseMinor(packed), minor);
            EXPECT_EQ(aVersion_ParsePatch(packed), 200u);
        }
    }
}

TEST(aVersion, LibraryVersion) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 11);
    EXPECT_EQ(aVersion_GetPatch(), 2);
    EXPECT_STREQ(aVersion_GetString(), "2.11.2");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString()) << "built once";
}

TEST(aVersion, Comparisons) {
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 2));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 1));
    EXPECT_TRUE(aVersion_IsAtLeast(1, 255, 255));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 0));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
    struct Case {
        uint8_t ref[3];
        uint8_t other[3];
        bool atLeast;
    };
    const Case cases[] = {
        {{1, 0, 0}, {0, 255, 255}, true},   {{0, 255, 255}, {1, 0, 0}, false},
        {{2, 3, 4}, {2, 3, 4}, true},       {{2, 4, 0}, {2, 3, 200}, true},
        {{255, 0, 0}, {128, 255, 0}, true}, {{2, 3, 4}, {2, 3, 5}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.ref[0], c.ref[1], c.ref[2], c.other[0], c.other[1],
                                            c.other[2]),
                  c.atLeast);
    }
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list);
    aVersion_DestroyFeatureList(nullptr);
}

} // namespace
