// The display that every reporting operation receives by reference: user
// messages at an information or error level, a progress bar and a spinner.
// The orchestration code never constructs one; the entry point creates the
// console implementation (CLI_Display) once.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    // Shows (true) or clears (false) the progress line.
    virtual void display_progress(bool show) = 0;
    // Draws the progress bar at fraction (0.0 to 1.0); label may be null.
    virtual void update_progress(double fraction, const char* label) = 0;
    // Draws the next spinner frame (true) or clears the line (false); label may be null.
    virtual void update_spinner(bool active, const char* label) = 0;
    // One user message line, without a line break of its own.
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats with printf rules (cut to 2047 characters) and passes the text to
    // error_message for LEVEL_ERROR, else to info_message. Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Muting suppresses message() only; progress and spinner calls still act.
    void mute_messages(bool mute) { m_muted = mute; }

protected:
    UpdaterDisplayInterface() = default;
    // Not virtual: nothing is ever destroyed through this interface.
    ~UpdaterDisplayInterface() = default;

private:
    bool m_muted = false;
};
