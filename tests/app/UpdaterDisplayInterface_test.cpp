// The message path shared by every display: formatting, the 2047-character
// cut, the level routing and muting.
#include "app/UpdaterDisplayInterface.h"

#include <gtest/gtest.h>

#include <string>

#include "RecordingDisplay.h"

namespace {

constexpr auto kInfo = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto kError = UpdaterDisplayInterface::LEVEL_ERROR;

TEST(UpdaterDisplayInterface, FormatsAndRoutesByLevel) {
    RecordingDisplay display;
    display.message(kInfo, "Retrieving firmware for device with serial number %08X", 0xABCDu);
    display.message(kError, "Invalid transport type:[%s]", "usb");
    std::vector<RecordingDisplay::Line> expected = {
        {false, "Retrieving firmware for device with serial number 0000ABCD"},
        {true, "Invalid transport type:[usb]"},
    };
    EXPECT_EQ(display.lines, expected);
}

TEST(UpdaterDisplayInterface, CutsLongTextsTo2047Characters) {
    struct Case {
        size_t length;
        size_t shown;
    };
    const Case cases[] = {{2046, 2046}, {2047, 2047}, {2048, 2047}, {100000, 2047}};
    for (const Case& c : cases) {
        RecordingDisplay display;
        std::string text(c.length, 'x');
        text[0] = 'a';
        display.message(kError, "%s", text.c_str());
        ASSERT_EQ(display.lines.size(), 1u) << c.length;
        EXPECT_EQ(display.lines[0].text, text.substr(0, c.shown)) << c.length;
    }
}

TEST(UpdaterDisplayInterface, MutingHidesMessagesButNotProgress) {
    RecordingDisplay display;
    display.mute_messages(true);
    display.message(kInfo, "hidden %d", 1);
    display.message(kError, "hidden %d", 2);
    display.update_spinner(true, nullptr);
    display.update_progress(0.5, "x");
    display.mute_messages(false);
    display.message(kInfo, "shown");
    ASSERT_EQ(display.lines.size(), 1u);
    EXPECT_EQ(display.lines[0].text, "shown");
    EXPECT_EQ(display.calls.size(), 2u);
}

TEST(UpdaterDisplayInterface, NullFormatShowsNothing) {
    RecordingDisplay display;
    display.message(kInfo, nullptr);
    EXPECT_TRUE(display.lines.empty());
}

} // namespace
