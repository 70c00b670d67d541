// The simulator's record of what it received and sent, one line per packet or
// event, so tests can assert on the traffic (format in README.md).
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "sim/module/Wire.h"

namespace csim {

class PacketLog {
public:
    PacketLog() : start_(std::chrono::steady_clock::now()) {}
    ~PacketLog();
    // Opens (truncates) the log file; false when it cannot be created.
    bool open(const std::string& path);
    // "rx"/"tx" lines for packets, "ev" lines for events.
    void packet(const char* dir, const std::string& serial, const std::string& ep, const Packet& p);
    void event(const std::string& serial, const std::string& ep, const std::string& what);

private:
    void line(const std::string& text);
    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point start_;
};

} // namespace csim
