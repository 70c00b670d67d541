// A corvantis-sim process for the tests of the link object, modules and
// entities: started with the given flags, its endpoints read from the lines
// it prints, and linkSpec records made for them.
#pragma once

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devlib/aDefs.h"
#include "tests/support/TestSupport.h"

namespace simtest {

constexpr unsigned int kSimSerial = 0x40F5849A;
constexpr unsigned int kSerialBaud = 115200;

class SimModule {
public:
    // Starts the simulator with `flags` (e.g. {"--tcp", "127.0.0.1:0"}) and
    // waits for its "ready" line. ok() tells whether it came up.
    explicit SimModule(const std::vector<std::string>& flags, const std::string& logPath = "") {
        std::vector<std::string> argv{testsupport::buildPath("corvantis-sim"), "--max-runtime",
                                      "120"};
        if (!logPath.empty()) {
            argv.push_back("--log");
            argv.push_back(logPath);
        }
        argv.insert(argv.end(), flags.begin(), flags.end());
        process_ = std::make_unique<testsupport::BackgroundProcess>(argv);
        std::string line;
        while (process_->readLine(line, std::chrono::seconds(10))) {
            if (line == "ready") {
                ready_ = true;
                break;
            }
            parse(line);
        }
    }

    bool ok() const { return ready_; }
    const std::string& ptyPath() const { return ptyPath_; }
    unsigned short tcpPort() const { return tcpPort_; }

    // A specifier for the simulator's TCP endpoint on loopback.
    linkSpec tcpSpec(unsigned int serial = kSimSerial) const {
        linkSpec where{};
        where.type = linkTypeTCPIP;
        where.serialNumber = serial;
        where.address = inet_addr("127.0.0.1");
        where.port = tcpPort_;
        return where;
    }

    // A specifier for the simulator's pseudo-terminal.
    linkSpec serialSpec(unsigned int serial = kSimSerial) const {
        linkSpec where{};
        where.type = linkTypeSerial;
        where.serialNumber = serial;
        where.address = kSerialBaud;
        std::strncpy(where.portName, ptyPath_.c_str(), sizeof(where.portName) - 1);
        return where;
    }

    void stop() { process_->stop(); }

private:
    void parse(const std::string& line) {
        if (line.rfind("tcp ", 0) == 0) {
            std::string endpoint = line.substr(4, line.find(' ', 4) - 4);
            tcpPort_ =
                static_cast<unsigned short>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)));
        } else if (line.rfind("pty ", 0) == 0) {
            ptyPath_ = line.substr(4, line.find(' ', 4) - 4);
        }
    }

    std::unique_ptr<testsupport::BackgroundProcess> process_;
    bool ready_ = false;
    std::string ptyPath_;
    unsigned short tcpPort_ = 0;
};

// The transports every integration test runs over.
enum class Transport { TCP, Serial };

inline std::vector<std::string> transportFlags(Transport transport) {
    return transport == Transport::TCP ? std::vector<std::string>{"--tcp", "127.0.0.1:0"}
                                       : std::vector<std::string>{"--pty"};
}

inline const char* transportName(Transport transport) {
    return transport == Transport::TCP ? "TCP" : "Serial";
}

} // namespace simtest
