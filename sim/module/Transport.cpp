#include "sim/module/Transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace csim {

// The multicast group of TCP/IP discovery queries.
static const char* const kDiscoveryGroup = "232.2.2.2";
// Connections waiting to be accepted.
constexpr int kListenBacklog = 8;

static bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

class TcpChannel : public Channel {
public:
    TcpChannel(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~TcpChannel() override {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const override { return fd_; }
    ssize_t read(uint8_t* buf, std::size_t n) override { return ::recv(fd_, buf, n, 0); }
    ssize_t write(const uint8_t* buf, std::size_t n) override {
        return ::send(fd_, buf, n, MSG_NOSIGNAL);
    }
    void drop() override {
        // Linger 0: the close resets the connection, as a module that loses
        // power or reboots would leave it.
        struct linger lg {
            1, 0
        };
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd_);
        fd_ = -1;
    }
    const std::string& name() const override { return name_; }

private:
    int fd_;
    std::string name_;
};

class PtyChannel : public Channel {
public:
    PtyChannel(int master, int slave, std::string name)
        : master_(master), slave_(slave), name_(std::move(name)) {}
    ~PtyChannel() override { closeAll(); }
    int fd() const override { return master_; }
    ssize_t read(uint8_t* buf, std::size_t n) override { return ::read(master_, buf, n); }
    ssize_t write(const uint8_t* buf, std::size_t n) override { return ::write(master_, buf, n); }
    void drop() override { closeAll(); }
    const std::string& name() const override { return name_; }

private:
    void closeAll() {
        if (master_ >= 0)
            ::close(master_);
        if (slave_ >= 0)
            ::close(slave_);
        master_ = slave_ = -1;
    }
    int master_;
    int slave_;
    std::string name_;
};

} // namespace

Channel* ptyOpen(const std::string& name, std::string& slavePath, std::string& error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        if (master >= 0)
            ::close(master);
        return nullptr;
    }
    const char* path = ptsname(master);
    if (!path) {
        error = "ptsname failed";
        ::close(master);
        return nullptr;
    }
    slavePath = path;
    int slave = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) {
        error = "cannot open " + slavePath + ": " + std::strerror(errno);
        ::close(master);
        return nullptr;
    }
    // Raw from the start, so that nothing is echoed or held back for lines
    // before the host sets its own modes (and after it restores ours).
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tcsetattr(slave, TCSANOW, &tio);
    }
    setNonBlocking(master);
    return new PtyChannel(master, slave, name);
}

int tcpListen(const std::string& where, std::string& bound, uint16_t& port, std::string& error) {
    std::size_t colon = where.rfind(':');
    if (colon == std::string::npos) {
        error = "TCP endpoint must be ADDR:PORT: " + where;
        return -1;
    }
    std::string host = where.substr(0, colon);
    int wanted = std::atoi(where.c_str() + colon + 1);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(wanted));
    if (wanted < 0 || wanted > 65535 || inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        error = "bad TCP endpoint: " + where;
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, kListenBacklog) != 0 || !setNonBlocking(fd)) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    bound = host + ":" + std::to_string(port);
    return fd;
}

Channel* tcpAccept(int listener, const std::string& name) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return new TcpChannel(fd, name);
}

int discoveryOpen(uint16_t port, std::string& error) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !setNonBlocking(fd)) {
        error = "cannot bind UDP port " + std::to_string(port) + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    // Join the group on every IPv4 interface, so the query is heard whichever
    // one it arrives on; an interface that refuses is simply left out.
    ip_mreq mreq{};
    inet_pton(AF_INET, kDiscoveryGroup, &mreq.imr_multiaddr);
    bool joined = false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
                continue;
            mreq.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
            if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0)
                joined = true;
        }
        freeifaddrs(list);
    }
    if (!joined) {
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
            error = std::string("cannot join the discovery group: ") + std::strerror(errno);
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

} // namespace csim
