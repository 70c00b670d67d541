// A display that keeps what it is asked to show, for tests of code that
// reports through UpdaterDisplayInterface.
#pragma once

#include <string>
#include <vector>

#include "app/UpdaterDisplayInterface.h"

class RecordingDisplay final : public UpdaterDisplayInterface {
public:
    struct Line {
        bool error;
        std::string text;
        bool operator==(const Line& other) const {
            return error == other.error && text == other.text;
        }
    };

    void display_progress(bool show) override {
        calls.push_back(std::string("display_progress ") + (show ? "1" : "0"));
    }
    void update_progress(double fraction, const char* label) override {
        calls.push_back("update_progress " + std::to_string(fraction) + " " +
                        (label ? label : "(null)"));
    }
    void update_spinner(bool active, const char* label) override {
        calls.push_back(std::string("update_spinner ") + (active ? "1 " : "0 ") +
                        (label ? label : "(null)"));
    }
    void info_message(const char* text) override { lines.push_back({false, text}); }
    void error_message(const char* text) override { lines.push_back({true, text}); }

    // The texts of one level, in order.
    std::vector<std::string> infos() const { return texts(false); }
    std::vector<std::string> errors() const { return texts(true); }

    std::vector<Line> lines;
    std::vector<std::string> calls;

private:
    std::vector<std::string> texts(bool error) const {
        std::vector<std::string> result;
        for (const Line& line : lines) {
            if (line.error == error) {
                result.push_back(line.text);
            }
        }
        return result;
    }
};
