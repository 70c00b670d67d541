#include "sim/module/PacketLog.h"

namespace csim {

PacketLog::~PacketLog() {
    if (file_)
        std::fclose(file_);
}

bool PacketLog::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void PacketLog::line(const std::string& text) {
    if (!file_)
        return;
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(file_, "%s t=%.3f\n", text.c_str(), t);
    std::fflush(file_);
}

void PacketLog::packet(const char* dir, const std::string& serial, const std::string& ep,
                       const Packet& p) {
    if (!file_)
        return;
    char head[64];
    std::snprintf(head, sizeof head, " addr=%02X len=%zu data=", p.address, p.data.size());
    line(std::string(dir) + " serial=" + serial + " ep=" + ep + head + toHex(p.data));
}

void PacketLog::event(const std::string& serial, const std::string& ep, const std::string& what) {
    line("ev serial=" + serial + " ep=" + ep + " " + what);
}

} // namespace csim
