// The host side of the discovery test, run by tools/netns-pair in the host
// namespace while corvantis-sim answers in the module namespace. It sends the
// 16-byte TCP/IP discovery query to the multicast group, checks every reply
// byte against the expected modules, then opens the TCP link each reply
// points at and reads the serial number over it. Exit status 0 on success.
//
//   discovery_probe SERIAL:ADDRESS:MODEL...   (hexadecimal serial, decimal rest)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kQueryPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kGroup = "232.2.2.2";
// How long replies are collected after a query.
constexpr int kCollectMs = 1500;
// How long a TCP reply may take.
constexpr int kReplyMs = 2000;

struct Expected {
    uint32_t serial;
    unsigned address;
    unsigned model;
};

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
        ++failures;
    }
}

bool sendQuery(const char* hostAddr, uint8_t first) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    in_addr iface{};
    inet_pton(AF_INET, hostAddr, &iface);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kQueryPort);
    inet_pton(AF_INET, kGroup, &to.sin_addr);
    uint8_t query[16] = {first};
    bool ok = sendto(s, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == 16;
    close(s);
    return ok;
}

struct Reply {
    std::vector<uint8_t> bytes;
    sockaddr_in from;
};

std::vector<Reply> collect(int listener) {
    std::vector<Reply> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCollectMs);
    for (int guard = 0; guard < 100; ++guard) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0)
            break;
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            break;
        Reply r;
        r.bytes.resize(64);
        socklen_t len = sizeof r.from;
        ssize_t n = recvfrom(listener, r.bytes.data(), r.bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&r.from), &len);
        if (n < 0)
            break;
        r.bytes.resize(static_cast<std::size_t>(n));
        out.push_back(r);
    }
    return out;
}

// Reads the serial number (system option 9) over a TCP link to the module.
bool readSerialOverTcp(const sockaddr_in& where, uint16_t port, uint8_t address, uint32_t& serial) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = where;
    to.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(s);
        return false;
    }
    uint8_t req[] = {address, 3, 3, 0x40 | 9, 0x20};
    bool ok = write(s, req, sizeof req) == sizeof req;
    uint8_t buf[9];
    std::size_t got = 0;
    while (ok && got < sizeof buf) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, kReplyMs) <= 0)
            break;
        ssize_t n = read(s, buf + got, sizeof buf - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(s);
    if (got != sizeof buf || buf[0] != address || buf[1] != 7 || buf[2] != 3 || buf[3] != 9 ||
        buf[4] != 0)
        return false;
    serial = (uint32_t(buf[5]) << 24) | (uint32_t(buf[6]) << 16) | (uint32_t(buf[7]) << 8) | buf[8];
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* hostAddr = std::getenv("NETNS_PAIR_HOST_ADDR");
    const char* moduleAddr = std::getenv("NETNS_PAIR_MODULE_ADDR");
    if (!hostAddr || !moduleAddr) {
        std::fprintf(stderr, "run me through tools/netns-pair\n");
        return 2;
    }
    std::map<uint32_t, Expected> expected;
    for (int i = 1; i < argc; ++i) {
        Expected e{};
        if (std::sscanf(argv[i], "%x:%u:%u", &e.serial, &e.address, &e.model) != 3) {
            std::fprintf(stderr, "bad argument %s\n", argv[i]);
            return 2;
        }
        expected[e.serial] = e;
    }

    int listener = socket(AF_INET, SOCK_DGRAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kReplyPort);
    if (bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        std::perror("bind 9889");
        return 1;
    }

    // A datagram that is not the query gets no answer.
    check(sendQuery(hostAddr, 2), "send a malformed query");
    check(collect(listener).empty(), "a query whose first byte is not 1 is answered");

    check(sendQuery(hostAddr, 1), "send the query");
    std::vector<Reply> replies = collect(listener);
    check(replies.size() == expected.size(), "replies: " + std::to_string(replies.size()) +
                                                 ", expected " + std::to_string(expected.size()));
    for (const Reply& r : replies) {
        const std::vector<uint8_t>& b = r.bytes;
        if (b.size() != 16) {
            check(false, "reply of " + std::to_string(b.size()) + " bytes");
            continue;
        }
        char from[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &r.from.sin_addr, from, sizeof from);
        check(std::strcmp(from, moduleAddr) == 0, std::string("reply from ") + from);
        uint32_t serial =
            b[4] | (uint32_t(b[5]) << 8) | (uint32_t(b[6]) << 16) | (uint32_t(b[7]) << 24);
        uint16_t port = static_cast<uint16_t>(b[2] | (b[3] << 8));
        auto it = expected.find(serial);
        char sn[16];
        std::snprintf(sn, sizeof sn, "%08X", serial);
        if (it == expected.end()) {
            check(false, std::string("unexpected serial ") + sn);
            continue;
        }
        const Expected& e = it->second;
        check(b[0] == 0, std::string(sn) + ": byte 0 not zero");
        check(b[1] == e.address, std::string(sn) + ": module address " + std::to_string(b[1]));
        check(b[12] == e.model, std::string(sn) + ": model " + std::to_string(b[12]));
        for (int i : {8, 9, 10, 11, 13, 14, 15})
            check(b[i] == 0, std::string(sn) + ": byte " + std::to_string(i) + " not zero");
        check(port != 0, std::string(sn) + ": TCP port 0");
        uint32_t overTcp = 0;
        check(readSerialOverTcp(r.from, port, b[1], overTcp) && overTcp == serial,
              std::string(sn) + ": serial over the TCP link");
        std::printf("module %s address %u port %u model %u at %s: ok\n", sn, b[1], port, b[12],
                    from);
        expected.erase(it);
    }
    close(listener);
    if (failures)
        std::fprintf(stderr, "%d failure(s)\n", failures);
    return failures ? 1 : 0;
}
