#include "sim/module/Host.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace csim {

// Bytes read from a channel in one go.
constexpr std::size_t kReadChunk = 4096;
// Output a channel may hold back before the simulator gives up on it.
constexpr std::size_t kMaxPendingOutput = 1 << 20;
// The longest the loop sleeps when nothing is due (keeps the run-time bound
// and heartbeat changes prompt).
constexpr int kMaxPollMs = 200;
// A TCP/IP discovery query and its reply are 16 bytes.
constexpr std::size_t kDiscoveryBytes = 16;
constexpr uint8_t kDiscoveryQuery = 1;
// Connections one module serves at once.
constexpr std::size_t kMaxConnectionsPerModule = 8;

Host::Host(SimConfig config) : config_(std::move(config)) {}

Host::~Host() {
    connections_.clear();
    for (Runtime& r : modules_) {
        if (r.listener >= 0)
            ::close(r.listener);
        if (r.udp >= 0)
            ::close(r.udp);
        if (!r.module->config().ptyLink.empty())
            ::unlink(r.module->config().ptyLink.c_str());
    }
    if (signalFd_ >= 0)
        ::close(signalFd_);
}

void Host::printLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool Host::openPty(std::size_t index, std::string& error) {
    Runtime& r = modules_[index];
    std::string path;
    std::string name = "pty" + std::to_string(++r.ptyCount);
    Channel* ch = ptyOpen(name, path, error);
    if (!ch)
        return false;
    const std::string& link = r.module->config().ptyLink;
    std::string line = "pty " + path + " serial=" + r.module->serialText();
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(path.c_str(), link.c_str()) != 0) {
            error = "cannot make the symlink " + link;
            delete ch;
            return false;
        }
        line += " link=" + link;
    }
    Connection c;
    c.channel.reset(ch);
    c.id = nextPort_++;
    c.module = index;
    c.isPty = true;
    PortId id = c.id;
    connections_.emplace(id, std::move(c));
    log_.event(r.module->serialText(), name, "open path=" + path);
    printLine(line);
    send(id, r.module->takeAnnouncement(), false);
    return true;
}

bool Host::start(std::string& error) {
    if (!config_.logPath.empty() && !log_.open(config_.logPath)) {
        error = "cannot create the log " + config_.logPath;
        return false;
    }
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGHUP})
        sigaddset(&set, s);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);

    for (const ModuleConfig& mc : config_.modules) {
        Runtime r;
        try {
            r.module = std::make_unique<SimModule>(mc, log_);
        } catch (const std::exception& e) {
            error = e.what();
            configError_ = true;
            return false;
        }
        modules_.push_back(std::move(r));
    }
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        Runtime& r = modules_[i];
        const ModuleConfig& mc = r.module->config();
        const std::string serial = r.module->serialText();
        if (!mc.tcp.empty()) {
            std::string bound;
            r.listener = tcpListen(mc.tcp, bound, r.tcpPort, error);
            if (r.listener < 0)
                return false;
            printLine("tcp " + bound + " serial=" + serial);
        }
        if (mc.pty && !openPty(i, error))
            return false;
        if (wantsUsb(i) && !openUsb(i, error))
            return false;
        if (mc.discovery) {
            r.udp = discoveryOpen(mc.discoveryQueryPort, error);
            if (r.udp < 0)
                return false;
            printLine("discovery 0.0.0.0:" + std::to_string(mc.discoveryQueryPort) +
                      " serial=" + serial);
        }
    }
    printLine("ready");
    return true;
}

void Host::onAccept(std::size_t index) {
    Runtime& r = modules_[index];
    std::string name = "tcp" + std::to_string(r.tcpCount + 1);
    std::unique_ptr<Channel> ch(tcpAccept(r.listener, name));
    if (!ch)
        return;
    std::size_t open = static_cast<std::size_t>(
        std::count_if(connections_.begin(), connections_.end(), [&](const auto& kv) {
            return kv.second.module == index && !kv.second.isPty;
        }));
    if (open >= kMaxConnectionsPerModule)
        return; // refused: the channel closes as it goes out of scope
    ++r.tcpCount;
    Connection c;
    c.channel = std::move(ch);
    c.id = nextPort_++;
    c.module = index;
    log_.event(r.module->serialText(), name, "connect");
    PortId id = c.id;
    connections_.emplace(id, std::move(c));
    send(id, r.module->takeAnnouncement(), false);
}

void Host::dropAll(std::size_t index, unsigned offlineMs) {
    Runtime& r = modules_[index];
    if (offlineMs > 0 && r.listener >= 0) {
        // A rebooting module's network is down, so a host that reconnects
        // must be refused; left listening, the kernel would complete the
        // connection in the backlog and the drop would go unnoticed. The
        // port closes before the connections drop, so that a host
        // reconnecting the moment its connection ends is refused too.
        ::close(r.listener);
        r.listener = -1;
        r.tcpReopen = true;
    }
    std::vector<PortId> ports;
    for (const auto& kv : connections_) {
        if (kv.second.module == index)
            ports.push_back(kv.first);
    }
    for (PortId p : ports) {
        Connection& c = connections_.at(p);
        log_.event(r.module->serialText(), c.channel->name(), "drop");
        if (c.isPty)
            r.ptyReopen = true;
        if (c.isUsb)
            r.usbReplug = true;
        c.channel->drop();
        closeConnection(p, "disconnect");
    }
    r.offlineUntil = Clock::now() + std::chrono::milliseconds(offlineMs);
}

void Host::comeBack(Clock::time_point now) {
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        Runtime& r = modules_[i];
        if (r.ptyReopen && now >= r.offlineUntil) {
            r.ptyReopen = false;
            std::string error;
            if (!openPty(i, error))
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        }
        if (r.tcpReopen && now >= r.offlineUntil) {
            r.tcpReopen = false;
            const std::string& where = r.module->config().tcp;
            std::string host = where.substr(0, where.rfind(':'));
            std::string bound, error;
            uint16_t port = r.tcpPort;
            r.listener = tcpListen(host + ":" + std::to_string(r.tcpPort), bound, port, error);
            if (r.listener < 0)
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        }
        if (r.usbReplug && now >= r.offlineUntil) {
            r.usbReplug = false;
            std::string error;
            if (!openUsb(i, error))
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        }
    }
}

void Host::onDiscovery(std::size_t index) {
    Runtime& r = modules_[index];
    uint8_t buf[64];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(r.udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0)
        return;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    std::string who = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    if (static_cast<std::size_t>(n) != kDiscoveryBytes || buf[0] != kDiscoveryQuery) {
        log_.event(r.module->serialText(), "udp", "discovery-ignored from=" + who);
        return;
    }
    log_.event(r.module->serialText(), "udp", "discovery from=" + who);
    if (r.module->silent())
        return;
    // The reply: module address, TCP port and serial number little-endian,
    // model code; the other bytes are zero.
    const SimModule& m = *r.module;
    uint8_t reply[kDiscoveryBytes] = {};
    reply[1] = m.address;
    reply[2] = static_cast<uint8_t>(r.tcpPort);
    reply[3] = static_cast<uint8_t>(r.tcpPort >> 8);
    for (int b = 0; b < 4; ++b)
        reply[4 + b] = static_cast<uint8_t>(m.serial >> (8 * b));
    reply[12] = m.model;
    from.sin_port = htons(m.config().discoveryReplyPort);
    sendto(r.udp, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
}

void Host::closeConnection(PortId id, const char* why) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    Runtime& r = modules_[it->second.module];
    log_.event(r.module->serialText(), it->second.channel->name(), why);
    r.module->portClosed(id);
    connections_.erase(it);
}

void Host::flush(Connection& c) {
    while (!c.outbuf.empty()) {
        ssize_t n = c.channel->write(c.outbuf.data(), c.outbuf.size());
        if (n <= 0)
            return; // EAGAIN or an error the read side will notice
        c.outbuf.erase(c.outbuf.begin(), c.outbuf.begin() + n);
    }
}

void Host::writeNow(Connection& c, const std::vector<uint8_t>& bytes) {
    if (c.outbuf.size() + bytes.size() > kMaxPendingOutput) {
        // Nobody reads this channel (a pty with no host): forget the oldest.
        c.outbuf.clear();
    }
    c.outbuf.insert(c.outbuf.end(), bytes.begin(), bytes.end());
    flush(c);
}

void Host::send(PortId id, const std::vector<Packet>& packets, bool asReplies) {
    auto it = connections_.find(id);
    if (it == connections_.end() || packets.empty())
        return;
    Connection& c = it->second;
    Runtime& r = modules_[c.module];
    const Faults& f = r.module->config().faults;
    std::vector<uint8_t> bytes;
    for (const Packet& p : packets) {
        if (asReplies) {
            ++r.replies;
            if (!f.garbage.empty() && r.replies % f.garbageEvery == 0 &&
                (f.garbageTimes == 0 || r.garbageSent < f.garbageTimes)) {
                ++r.garbageSent;
                bytes.insert(bytes.end(), f.garbage.begin(), f.garbage.end());
                log_.event(r.module->serialText(), c.channel->name(),
                           "garbage n=" + std::to_string(f.garbage.size()));
            }
        }
        log_.packet("tx", r.module->serialText(), c.channel->name(), p);
        std::vector<uint8_t> wire = encode(p);
        bytes.insert(bytes.end(), wire.begin(), wire.end());
    }
    if (asReplies && f.delayMs > 0)
        delayed_.emplace(Clock::now() + std::chrono::milliseconds(f.delayMs),
                         Delayed{id, std::move(bytes)});
    else
        writeNow(c, bytes);
}

void Host::onReadable(PortId id) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    Connection& c = it->second;
    uint8_t buf[kReadChunk];
    ssize_t n = c.channel->read(buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        if (c.isPty) {
            // The master reports EIO while no one holds the slave; we hold it,
            // so this is unexpected: reopen the terminal.
            std::size_t module = c.module;
            closeConnection(id, "disconnect");
            std::string error;
            if (!openPty(module, error))
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        } else {
            closeConnection(id, "disconnect");
        }
        return;
    }
    if (n < 0)
        return;
    Runtime& r = modules_[c.module];
    SimModule& m = *r.module;
    const std::string name = c.channel->name();
    for (ssize_t i = 0; i < n; ++i) {
        std::optional<Packet> p = c.framer.feed(buf[i]);
        if (!p)
            continue;
        if (std::size_t skipped = c.framer.takeSkipped())
            log_.event(m.serialText(), name, "skip n=" + std::to_string(skipped));
        log_.packet("rx", m.serialText(), name, *p);
        Output out;
        m.receive(id, *p, out);
        if (out.drop) {
            log_.event(m.serialText(), name, "drop");
            std::size_t module = c.module;
            bool pty = c.isPty;
            if (c.isUsb) {
                modules_[module].usbReplug = true;
                modules_[module].offlineUntil = Clock::now();
            }
            c.channel->drop();
            closeConnection(id, "disconnect");
            std::string error;
            if (pty && !openPty(module, error))
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
            return; // the rest of this read went with the connection
        }
        send(id, out.replies, true);
        if (out.dropAll) {
            dropAll(c.module, out.offlineMs);
            return;
        }
    }
    if (std::size_t skipped = c.framer.takeSkipped())
        log_.event(m.serialText(), name, "skip n=" + std::to_string(skipped));
}

void Host::heartbeats(Clock::time_point now) {
    for (std::size_t i = 0; i < modules_.size(); ++i) {
        Runtime& r = modules_[i];
        unsigned ms = r.module->heartbeatMs();
        if (ms != r.heartbeatScheduledMs) {
            r.heartbeatScheduledMs = ms;
            r.nextHeartbeat = now + std::chrono::milliseconds(ms);
        }
        if (ms == 0 || now < r.nextHeartbeat)
            continue;
        r.nextHeartbeat = now + std::chrono::milliseconds(ms);
        bool any = false;
        for (const auto& kv : connections_)
            any = any || kv.second.module == i;
        if (!any)
            continue;
        Packet hb = r.module->nextHeartbeat();
        std::vector<PortId> ports;
        for (const auto& kv : connections_) {
            if (kv.second.module == i)
                ports.push_back(kv.first);
        }
        for (PortId p : ports)
            send(p, {hb}, false);
    }
}

bool Host::writeState() {
    if (config_.statePath.empty())
        return true;
    nlohmann::json j;
    j["modules"] = nlohmann::json::array();
    for (const Runtime& r : modules_)
        j["modules"].push_back(r.module->dumpState());
    std::string tmp = config_.statePath + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out)
            return false;
        out << j.dump(2) << "\n";
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), config_.statePath.c_str()) == 0;
}

int Host::run() {
    const Clock::time_point deadline =
        config_.maxRuntimeS ? Clock::now() + std::chrono::seconds(config_.maxRuntimeS)
                            : Clock::time_point::max();
    enum class Kind { Signal, Listener, Udp, Conn, UsbControl };
    struct Slot {
        Kind kind;
        std::size_t module;
        PortId port;
    };
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) {
            std::fprintf(stderr, "corvantis-sim: run-time bound of %u s reached\n",
                         config_.maxRuntimeS);
            writeState();
            return 0;
        }
        heartbeats(now);
        comeBack(now);
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            Delayed d = std::move(delayed_.begin()->second);
            delayed_.erase(delayed_.begin());
            auto it = connections_.find(d.port);
            if (it != connections_.end())
                writeNow(it->second, d.bytes);
        }

        std::vector<pollfd> fds;
        std::vector<Slot> slots;
        fds.push_back({signalFd_, POLLIN, 0});
        slots.push_back({Kind::Signal, 0, 0});
        if (usb_) {
            fds.push_back({usb_->controlFd(), POLLIN, 0});
            slots.push_back({Kind::UsbControl, 0, 0});
        }
        for (std::size_t i = 0; i < modules_.size(); ++i) {
            // A rebooting module accepts nothing; connections wait in the
            // backlog until it is back.
            if (modules_[i].listener >= 0 && now >= modules_[i].offlineUntil) {
                fds.push_back({modules_[i].listener, POLLIN, 0});
                slots.push_back({Kind::Listener, i, 0});
            }
            if (modules_[i].udp >= 0) {
                fds.push_back({modules_[i].udp, POLLIN, 0});
                slots.push_back({Kind::Udp, i, 0});
            }
        }
        for (auto& [id, c] : connections_) {
            short ev = POLLIN;
            if (!c.outbuf.empty())
                ev |= POLLOUT;
            fds.push_back({c.channel->fd(), ev, 0});
            slots.push_back({Kind::Conn, c.module, id});
        }

        auto wait = std::chrono::milliseconds(kMaxPollMs);
        auto until = [&](Clock::time_point t) {
            auto d = std::chrono::duration_cast<std::chrono::milliseconds>(t - now) +
                     std::chrono::milliseconds(1);
            if (d < wait)
                wait = std::max(d, std::chrono::milliseconds(0));
        };
        if (!delayed_.empty())
            until(delayed_.begin()->first);
        for (const Runtime& r : modules_) {
            if (r.heartbeatScheduledMs)
                until(r.nextHeartbeat);
            if (now < r.offlineUntil)
                until(r.offlineUntil);
        }
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        if (n < 0 && errno != EINTR) {
            std::perror("corvantis-sim: poll");
            return 1;
        }
        if (n <= 0)
            continue;
        for (std::size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents)
                continue;
            const Slot& s = slots[k];
            switch (s.kind) {
            case Kind::Signal: {
                signalfd_siginfo si;
                while (::read(signalFd_, &si, sizeof si) == sizeof si) {
                    if (si.ssi_signo == SIGUSR1) {
                        writeState();
                    } else {
                        writeState();
                        return 0;
                    }
                }
                break;
            }
            case Kind::Listener:
                onAccept(s.module);
                break;
            case Kind::Udp:
                onDiscovery(s.module);
                break;
            case Kind::UsbControl:
                onUsbControl();
                break;
            case Kind::Conn: {
                auto it = connections_.find(s.port);
                if (it == connections_.end())
                    break;
                if (fds[k].revents & POLLOUT)
                    flush(it->second);
                if (fds[k].revents & (POLLIN | POLLHUP | POLLERR))
                    onReadable(s.port);
                break;
            }
            }
        }
    }
}

} // namespace csim
