#include "app/CLI_Display.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Width of the blank run that clears a progress or spinner line.
constexpr int kClearWidth = 88;
// The full progress bar; its length is the bar width without a label.
constexpr char kBarText[] = "=====================================================================";
constexpr int kBarWidth = sizeof kBarText - 1;
static_assert(kBarWidth == 69, "the progress bar is 69 characters wide");
// A label takes its own length plus " (" and ") " from the bar.
constexpr int kLabelFrame = 4;

constexpr const char* kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof kSpinnerFrames / sizeof kSpinnerFrames[0];
// Shared by every spinner call of the process.
uint8_t sSpinnerFrame = 0;

bool sStdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void sClearLine() {
    printf("\r%*s\r", kClearWidth, " ");
}

} // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!show && sStdoutIsTerminal()) {
        sClearLine();
    }
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!sStdoutIsTerminal()) {
        return;
    }
    // A fraction outside 0..1 (or not a number) would turn into a negative
    // precision, which printf reads as "the whole bar", or into an undefined
    // conversion to int.
    if (!(fraction >= 0.0)) {
        fraction = 0.0;
    } else if (fraction > 1.0) {
        fraction = 1.0;
    }
    int width = kBarWidth;
    if (label != nullptr) {
        size_t labelLength = strlen(label);
        width = labelLength + kLabelFrame >= static_cast<size_t>(kBarWidth)
                    ? 0
                    : kBarWidth - static_cast<int>(labelLength) - kLabelFrame;
    }
    int percent = static_cast<int>(100.0 * fraction);
    int filled = static_cast<int>(width * fraction);
    int blanks = width - filled - 1;
    if (label == nullptr) {
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBarText, blanks, "", percent);
    } else {
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarText, blanks, "", percent);
    }
}

void CLI_Display::update_spinner(bool active, const char* label) {
    if (!sStdoutIsTerminal()) {
        return;
    }
    if (!active) {
        sClearLine();
        return;
    }
    const char* frame = kSpinnerFrames[sSpinnerFrame % kSpinnerFrameCount];
    sSpinnerFrame = static_cast<uint8_t>((sSpinnerFrame + 1) % kSpinnerFrameCount);
    if (label == nullptr) {
        printf("\r %s      \r", frame);
    } else {
        printf("\r (%s) %s      \r", label, frame);
    }
}

void CLI_Display::info_message(const char* text) {
    printf("%s\n", text ? text : "");
}

void CLI_Display::error_message(const char* text) {
    fprintf(stderr, "%s\n", text ? text : "");
}
