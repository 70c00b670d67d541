// A TCP peer on 127.0.0.1 standing in for a module's network interface in the
// socket-stream and link tests: it listens on a free port, accepts
// connections, and reads and writes raw bytes, every wait bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace linktest {

class LoopbackPeer {
public:
    LoopbackPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(listener_, 8);
        socklen_t len = sizeof(a);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackPeer() {
        closeConnection(false);
        if (listener_ >= 0) {
            close(listener_);
        }
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    uint16_t port() const { return port_; }
    // The loopback address in network byte order, as a linkSpec holds it.
    static uint32_t address() { return htonl(INADDR_LOOPBACK); }
    // Stops listening (new connections are refused).
    void stopListening() {
        if (listener_ >= 0) {
            close(listener_);
            listener_ = -1;
        }
    }

    // Accepts the next connection, replacing the current one.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return false;
        }
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        closeConnection(false);
        conn_ = fd;
        return true;
    }
    // Closes the connection: with reset, the peer sees ECONNRESET; without,
    // an orderly end of stream.
    void closeConnection(bool reset) {
        if (conn_ < 0) {
            return;
        }
        if (reset) {
            linger l{1, 0};
            setsockopt(conn_, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        close(conn_);
        conn_ = -1;
    }
    bool sendBytes(const std::vector<uint8_t>& bytes) {
        return conn_ >= 0 && ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                                 static_cast<ssize_t>(bytes.size());
    }
    // Reads exactly n bytes, waiting at most `timeout` overall.
    bool readBytes(std::vector<uint8_t>& out, size_t n,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        out.clear();
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || conn_ < 0) {
                return false;
            }
            pollfd p{conn_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return false;
            }
            uint8_t buf[4096];
            size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
            ssize_t got = ::recv(conn_, buf, want, 0);
            if (got <= 0) {
                return false;
            }
            out.insert(out.end(), buf, buf + got);
        }
        return true;
    }
    // Sets the connection's receive buffer small (before much is sent), so
    // that a sender stalls soon when this side stops reading.
    void shrinkReceiveBuffer() {
        int size = 4096;
        setsockopt(conn_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    int connection() const { return conn_; }

private:
    int listener_ = -1;
    std::atomic<int> conn_{-1};
    uint16_t port_ = 0;
};

} // namespace linktest
