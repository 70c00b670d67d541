// Runs the simulated modules: opens their transports, prints one line per
// endpoint, and drives everything from one poll loop (bytes in, packets
// through the firmware, replies out with the fault switches applied,
// heartbeats, discovery answers, signals).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/Config.h"
#include "sim/module/Firmware.h"
#include "sim/module/PacketLog.h"
#include "sim/module/Transport.h"
#include "sim/module/UsbAttachment.h"

namespace csim {

class Host {
public:
    explicit Host(SimConfig config);
    ~Host();
    // Opens the log and every transport and prints the endpoint lines and
    // "ready". False with a message on failure.
    bool start(std::string& error);
    // True when start() failed on the configuration rather than a transport.
    bool configError() const { return configError_; }
    // Runs until SIGTERM/SIGINT or the run-time bound; returns the exit status.
    int run();

private:
    using Clock = std::chrono::steady_clock;

    struct Connection {
        std::unique_ptr<Channel> channel;
        PortId id = 0;
        std::size_t module = 0;
        bool isPty = false;
        bool isUsb = false;
        Framer framer;
        std::vector<uint8_t> outbuf; // bytes the channel did not take yet
    };
    struct Runtime {
        std::unique_ptr<SimModule> module;
        int listener = -1;
        uint16_t tcpPort = 0;
        int udp = -1;
        unsigned tcpCount = 0;
        unsigned ptyCount = 0;
        uint64_t replies = 0;
        uint64_t garbageSent = 0;
        unsigned heartbeatScheduledMs = 0;
        Clock::time_point nextHeartbeat;
        // Off its links (rebooting) until then; a pty comes back after it.
        Clock::time_point offlineUntil;
        bool ptyReopen = false;
        unsigned usbCount = 0;
        bool usbReplug = false; // plug the USB device in again once back
        // While it reboots a module's network stack is down: its TCP port is
        // closed (connections are refused) and opened again once it is back.
        bool tcpReopen = false;
    };
    struct Delayed {
        PortId port;
        std::vector<uint8_t> bytes;
    };

    bool openPty(std::size_t module, std::string& error);
    // USB attachment (UsbHost.cpp).
    bool wantsUsb(std::size_t module) const;
    bool openUsb(std::size_t module, std::string& error);
    void onUsbControl();
    void onReadable(PortId id);
    void onAccept(std::size_t module);
    void onDiscovery(std::size_t module);
    void closeConnection(PortId id, const char* why);
    void dropAll(std::size_t module, unsigned offlineMs);
    void comeBack(Clock::time_point now);
    void send(PortId id, const std::vector<Packet>& packets, bool asReplies);
    void writeNow(Connection& c, const std::vector<uint8_t>& bytes);
    void flush(Connection& c);
    void heartbeats(Clock::time_point now);
    bool writeState();
    void printLine(const std::string& line);

    SimConfig config_;
    PacketLog log_;
    std::vector<Runtime> modules_;
    std::map<PortId, Connection> connections_;
    std::multimap<Clock::time_point, Delayed> delayed_; // replies held back by the delay fault
    PortId nextPort_ = 1;
    int signalFd_ = -1;
    std::unique_ptr<UsbBus> usb_; // the emulated USB bus, when a module is on it
    bool configError_ = false;
};

} // namespace csim
