// A small client of the tests' own for the module simulator: it speaks the
// packet wire format (address, length, data) over TCP or a pseudo-terminal,
// and starts corvantis-sim with its endpoints read from the printed lines.
// It shares nothing with the device library.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// How long a reply may take before the test calls it missing.
constexpr auto kReplyWait = 2000ms;
// How long the test waits to be sure that nothing comes.
constexpr auto kQuietWait = 300ms;

struct Pkt {
    uint8_t addr = 0;
    Bytes data;
    bool operator==(const Pkt& o) const { return addr == o.addr && data == o.data; }
};

inline std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t x : b) {
        std::snprintf(buf, sizeof buf, "%02X", x);
        s += buf;
    }
    return s;
}

// The test's own reader of the wire format: bytes in, packets out.
class Client {
public:
    explicit Client(int fd) : fd_(fd) {}
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    static std::unique_ptr<Client> tcp(uint16_t port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            return nullptr;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return std::make_unique<Client>(fd);
    }

    static std::unique_ptr<Client> serial(const std::string& path) {
        int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return nullptr;
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIOFLUSH);
        return std::make_unique<Client>(fd);
    }

    void send(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    void sendPacket(uint8_t addr, const Bytes& data) {
        Bytes b{addr, static_cast<uint8_t>(data.size())};
        b.insert(b.end(), data.begin(), data.end());
        send(b);
    }

    // Reads raw bytes until `n` arrived or the time ran out.
    Bytes readBytes(std::size_t n, std::chrono::milliseconds wait = kReplyWait) {
        Bytes out;
        auto end = std::chrono::steady_clock::now() + wait;
        while (out.size() < n) {
            if (!pending_.empty()) {
                out.push_back(pending_.front());
                pending_.erase(pending_.begin());
                continue;
            }
            if (!fill(end))
                break;
        }
        return out;
    }

    // Reads the next packet, skipping heartbeats unless asked for them.
    std::optional<Pkt> readPacket(std::chrono::milliseconds wait = kReplyWait,
                                  bool keepHeartbeats = false) {
        auto end = std::chrono::steady_clock::now() + wait;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            Bytes head = readBytes(2, left);
            if (head.size() < 2)
                return std::nullopt;
            Pkt p{head[0], readBytes(head[1], left)};
            if (p.data.size() != head[1])
                return std::nullopt;
            if (!keepHeartbeats && p.data.size() == 2 && p.data[0] == 0)
                continue;
            return p;
        }
    }

    // True when the peer closed or reset the connection within the wait.
    bool closedWithin(std::chrono::milliseconds wait) {
        auto end = std::chrono::steady_clock::now() + wait;
        uint8_t buf[256];
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                return true;
        }
        return false;
    }

private:
    bool fill(std::chrono::steady_clock::time_point end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        uint8_t buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending_.insert(pending_.end(), buf, buf + n);
        return true;
    }

    int fd_;
    Bytes pending_;
};

// One simulator process for a test, with its endpoints read from its output.
class Sim {
public:
    explicit Sim(std::vector<std::string> args) { start(std::move(args)); }

    // A simulator from a JSON configuration; "@DIR@" in it stands for the
    // simulator's scratch directory (for flash dumps and the like).
    struct FromJson {};
    Sim(FromJson, const nlohmann::json& config, std::vector<std::string> args = {}) {
        std::string text = config.dump();
        for (std::size_t at; (at = text.find("@DIR@")) != std::string::npos;)
            text.replace(at, 5, dir.path());
        testsupport::writeFile(dir.file("config.json"), text);
        args.insert(args.begin(), {"--config", dir.file("config.json")});
        start(std::move(args));
    }

    void start(std::vector<std::string> args) {
        std::vector<std::string> argv{testsupport::buildPath("corvantis-sim"),
                                      "--log",
                                      dir.file("packets.log"),
                                      "--state",
                                      dir.file("state.json"),
                                      "--max-runtime",
                                      "60"};
        argv.insert(argv.end(), args.begin(), args.end());
        proc = std::make_unique<testsupport::BackgroundProcess>(argv);
        std::string line;
        while (proc->readLine(line, 5s)) {
            lines.push_back(line);
            // "tcp ADDR:PORT serial=XXXXXXXX" and "pty PATH serial=XXXXXXXX [link=L]".
            std::istringstream words(line);
            std::string kind, where, serial;
            words >> kind >> where >> serial;
            bool hasSerial = serial.size() == 15 && serial.rfind("serial=", 0) == 0;
            if (kind == "tcp" && hasSerial && where.find(':') != std::string::npos)
                tcpPorts.push_back(
                    static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1))));
            else if (kind == "pty" && hasSerial)
                ptys.push_back(where);
            if (line == "ready") {
                ready = true;
                break;
            }
        }
    }

    std::unique_ptr<Client> connect(std::size_t i = 0) {
        return i < tcpPorts.size() ? Client::tcp(tcpPorts[i]) : nullptr;
    }

    nlohmann::json dumpState() {
        std::remove(dir.file("state.json").c_str());
        kill(proc->pid(), SIGUSR1);
        auto end = std::chrono::steady_clock::now() + kReplyWait;
        while (std::chrono::steady_clock::now() < end) {
            if (testsupport::fileExists(dir.file("state.json")))
                return nlohmann::json::parse(testsupport::readFile(dir.file("state.json")));
            usleep(10000);
        }
        return nullptr;
    }

    std::string log() { return testsupport::readFile(dir.file("packets.log")); }

    testsupport::TempDir dir;
    std::unique_ptr<testsupport::BackgroundProcess> proc;
    std::vector<std::string> lines;
    std::vector<uint16_t> tcpPorts;
    std::vector<std::string> ptys;
    bool ready = false;
};

// A UEI get request and a set request, as a host sends them.
inline Bytes get(uint8_t cmd, uint8_t option, uint8_t index = 0) {
    return {cmd, static_cast<uint8_t>(option | 0x40), static_cast<uint8_t>(index | 0x20)};
}
inline Bytes set(uint8_t cmd, uint8_t option, const Bytes& value, uint8_t index = 0) {
    Bytes b{cmd, static_cast<uint8_t>(option | 0x80), static_cast<uint8_t>(index | 0x20)};
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

// Sends a byte array in chunks of 24 with the trailer byte (continue flag,
// sequence number), as the host library splits it.
inline void sendArray(Client& c, uint8_t addr, uint8_t cmd, uint8_t option, const Bytes& value) {
    std::size_t off = 0;
    unsigned seq = 0;
    do {
        std::size_t n = std::min<std::size_t>(24, value.size() - off);
        bool more = off + n < value.size();
        Bytes d{cmd, static_cast<uint8_t>(option | 0x80), 0x20};
        d.insert(d.end(), value.begin() + long(off), value.begin() + long(off + n));
        d.push_back(static_cast<uint8_t>((more ? 0x80 : 0) | (seq & 0x7F)));
        c.sendPacket(addr, d);
        off += n;
        ++seq;
    } while (off < value.size());
}

// Reads a byte-array reply, checking the chunk layout as it goes.
inline std::optional<Bytes> readArray(Client& c, uint8_t cmd, uint8_t option,
                                      std::vector<Pkt>* raw = nullptr) {
    Bytes out;
    for (unsigned seq = 0; seq < 1000; ++seq) {
        auto p = c.readPacket();
        if (!p)
            return std::nullopt;
        if (raw)
            raw->push_back(*p);
        EXPECT_GE(p->data.size(), 4u);
        EXPECT_EQ(p->data[0], cmd);
        EXPECT_EQ(p->data[1], option);
        EXPECT_EQ(p->data[2], 0);
        uint8_t trailer = p->data.back();
        EXPECT_EQ(trailer & 0x7F, seq & 0x7F) << "chunk " << seq;
        out.insert(out.end(), p->data.begin() + 3, p->data.end() - 1);
        if (!(trailer & 0x80))
            return out;
        EXPECT_EQ(p->data.size(), 28u) << "every chunk but the last is full";
    }
    return std::nullopt;
}

} // namespace simtest
