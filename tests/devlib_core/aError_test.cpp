#include "devlib/aError.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace {

struct ErrorCase {
    aErr code;
    const char* name;
    const char* description;
};

// The whole table: the numbering is shared with the modules' firmware, so a
// shifted or missing entry is a wire-level fault.
const ErrorCase kCases[] = {
    {0, "aErrNone", "Success, no error"},
    {1, "aErrMemory", "Memory allocation"},
    {2, "aErrParam", "Invalid parameter"},
    {3, "aErrNotFound", "Not found"},
    {4, "aErrFileNameLength", "File name too long"},
    {5, "aErrBusy", "Resource busy"},
    {6, "aErrIO", "Input/Output error"},
    {7, "aErrMode", "Invalid Mode"},
    {8, "aErrWrite", "Write error"},
    {9, "aErrRead", "Read error"},
    {10, "aErrEOF", "End of file"},
    {11, "aErrNotReady", "Not ready, no bytes available"},
    {12, "aErrPermission", "Insufficient permissions"},
    {13, "aErrRange", "Value out of range"},
    {14, "aErrSize", "Invalid Size"},
    {15, "aErrOverrun", "Buffer/queue overrun"},
    {16, "aErrParse", "Parse error"},
    {17, "aErrConfiguration", "Configuration error"},
    {18, "aErrTimeout", "Timeout occurred"},
    {19, "aErrInitialization", "Initialization error"},
    {20, "aErrVersion", "Invalid version"},
    {21, "aErrUnimplemented", "Functionality unimplemented"},
    {22, "aErrDuplicate", "Duplicate request"},
    {23, "aErrCancel", "Cancellation occurred, or did not complete"},
    {24, "aErrPacket", "Packet byte invalid"},
    {25, "aErrConnection", "Connection error"},
    {26, "aErrIndexRange", "Index out of range"},
    {27, "aErrShortCommand", "Corvantis command to short"},
    {28, "aErrInvalidEntity", "Invalid entity error"},
    {29, "aErrInvalidOption", "Invalid option code"},
    {30, "aErrResource", "Resource unavailable"},
    {31, "aErrMedia", "Media error"},
    {32, "aErrAsyncReturn", "Asynchronous return error"},
    {33, "aErrStreamStale", "Stream value is stale"},
    {34, "aErrUnknown", "Unknown error"},
    // Anything above the table reads as the last entry.
    {35, "aErrUnknown", "Unknown error"},
    {255, "aErrUnknown", "Unknown error"},
    {UINT32_MAX, "aErrUnknown", "Unknown error"},
};

TEST(aError, NamesAndDescriptionsOfEveryCode) {
    for (const ErrorCase& c : kCases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(aError_GetErrorText(c.code), c.name);
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description);
    }
}

TEST(aError, EnumeratorsMatchTheirNumbers) {
    EXPECT_EQ(aErrTimeout, 18u);
    EXPECT_EQ(aErrPacket, 24u);
    EXPECT_EQ(aErrResource, 30u);
    EXPECT_EQ(aErrUnknown, 34u);
    EXPECT_EQ(aErrCount, 35u);
    EXPECT_STREQ(aError_GetErrorText(aErrStreamStale), "aErrStreamStale");
}

// Restores the process-wide switch whatever a test does with it.
class DebugSwitch : public ::testing::Test {
protected:
    void TearDown() override {
        aCorvantisDebuggingEnable = false;
        aCorvantisDebuggingLevel = 0;
    }
};

TEST_F(DebugSwitch, StartsClearedAndPrintsNothing) {
    EXPECT_FALSE(aCorvantisDebuggingEnable.load());
    EXPECT_EQ(aCorvantisDebuggingLevel.load(), 0u);
    testing::internal::CaptureStdout();
    aCorvantisDebugPrintf(aDEBUG_LIFECYCLE, "syncStart\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DebugSwitch, PrintsOnlyTheMaskedLinesWhenEnabled) {
    struct Case {
        bool enable;
        uint32_t level;
        uint32_t mask;
        bool printed;
    };
    const Case cases[] = {
        {false, 0xFFFFFFFF, aDEBUG_LIFECYCLE, false}, // level alone does nothing
        {true, 0, aDEBUG_LIFECYCLE, false},
        {true, aDEBUG_LIFECYCLE, aDEBUG_LIFECYCLE, true},
        {true, aDEBUG_LIFECYCLE, aDEBUG_PACKETS, false},
        {true, aDEBUG_PACKETS | aDEBUG_SERVER, aDEBUG_SERVER, true},
    };
    for (const Case& c : cases) {
        aCorvantisDebuggingEnable = c.enable;
        aCorvantisDebuggingLevel = c.level;
        testing::internal::CaptureStdout();
        aCorvantisDebugPrintf(c.mask, " aLink_Sync(%d)\n", 7);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.printed ? " aLink_Sync(7)\n" : "")
            << "enable " << c.enable << " level " << c.level << " mask " << c.mask;
        EXPECT_EQ(aCorvantisDebugging(c.mask), c.printed);
    }
}

} // namespace
