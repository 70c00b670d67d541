// The console display: messages to standard output (information) and standard
// error (errors), one line each, and a progress bar and spinner drawn in place
// on the terminal. Progress, spinner and line clearing write nothing when
// standard output is not a terminal (redirected to a file or a pipe), so logs
// of a redirected run hold only the messages.
#pragma once

#include "app/UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
public:
    // Switches standard output and standard error to unbuffered mode, so that
    // lines of both streams appear in the order they were written.
    CLI_Display();
    ~CLI_Display() = default;
    CLI_Display(const CLI_Display&) = delete;
    CLI_Display& operator=(const CLI_Display&) = delete;

    // With false, clears the line (carriage return, 88 blanks, carriage return).
    // With true, does nothing: the bar appears with the first update_progress.
    void display_progress(bool show) override;
    // Draws "[====>   ] ( 50% ) ", preceded by " (label) " when label is not
    // null. The bar is 69 characters wide without a label and narrower by the
    // label's length plus 4 with one. fraction is clamped to 0.0 .. 1.0.
    void update_progress(double fraction, const char* label) override;
    // With true, draws the next of the eight spinner frames (one process-wide
    // counter); with false, clears the line as display_progress(false) does.
    void update_spinner(bool active, const char* label) override;
    // The text and a line break, to standard output / standard error.
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
