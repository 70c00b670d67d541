// base64_decode and base64_encode: the documented cases, every way a text can
// be malformed, and round trips over all lengths of a small range.
#include "server/base64.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string decode(const std::string& text, bool* ok = nullptr) {
    size_t n = 12345;
    unsigned char* p = base64_decode(text.data(), text.size(), &n);
    if (ok)
        *ok = p != nullptr;
    if (!p)
        return "<null>";
    EXPECT_EQ(p[n], 0) << "terminating zero after the data";
    std::string out(reinterpret_cast<char*>(p), n);
    std::free(p);
    return out;
}

TEST(base64, DecodesDocumentedExamples) {
    EXPECT_EQ(decode("QUJD"), "ABC");
    EXPECT_EQ(decode("QUI="), "AB");
    EXPECT_EQ(decode("QQ=="), "A");
    EXPECT_EQ(decode("TWFu+/8A"), std::string("Man\xfb\xff\x00", 6));
}

TEST(base64, RejectsMalformedText) {
    const char* bad[] = {
        "QUJ",      // not a multiple of 4
        "QUJDR",    // not a multiple of 4
        "QUJD\r",   // a carriage return after the text
        "QUJD\r\n", // CR LF: still not a multiple of 4
        "QU JD",    // space inside
        "QUJ\n",    // line feed inside a group
        "QU=D",     // padding in the middle
        "Q===",     // three padding characters
        "====",     // nothing but padding
        "QUI=QUJD", // padding before the end
        "QUJ-",     // URL-safe alphabet is not this one
        "QUJ_",     //
        "QUJ\x80",  // a byte above 127
        "",         // empty text
    };
    for (const char* text : bad) {
        bool ok = true;
        decode(std::string(text), &ok);
        EXPECT_FALSE(ok) << "accepted [" << text << "]";
    }
    EXPECT_EQ(base64_decode(nullptr, 4, nullptr), nullptr);
}

TEST(base64, EmbeddedNulIsOutsideTheAlphabet) {
    bool ok = true;
    decode(std::string("QU\0D", 4), &ok);
    EXPECT_FALSE(ok);
}

TEST(base64, EncodesWithPadding) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {{"", ""}, {"A", "QQ=="}, {"AB", "QUI="}, {"ABC", "QUJD"}, {"ABCD", "QUJDRA=="}};
    for (const auto& c : cases) {
        size_t n = 999;
        char* text =
            base64_encode(reinterpret_cast<const unsigned char*>(c.in), std::strlen(c.in), &n);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.out);
        EXPECT_EQ(n, std::strlen(c.out));
        std::free(text);
    }
}

TEST(base64, RoundTripsEveryByteValueAndLength) {
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes += static_cast<char>((i * 37 + 11) & 0xFF);
    for (size_t len = 1; len <= bytes.size(); ++len) {
        size_t n = 0;
        char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), len, &n);
        ASSERT_NE(text, nullptr);
        ASSERT_EQ(n % 4, 0u);
        EXPECT_EQ(decode(std::string(text, n)), bytes.substr(0, len)) << len;
        std::free(text);
    }
}

} // namespace
