// The link engine against corvantis-sim, the simulated module, over a
// pseudo-terminal (serial link) and over TCP on loopback: synchronisation,
// packets both ways, heartbeat answers, force-route on start and stop,
// time-outs when the module goes silent, resynchronisation after garbage and
// TCP reconnection after the module drops the connection.
#include "devlib/aLink.h"

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "devlib/aLinkManagerInternal.h"
#include "devlib/aPacket.h"
#include "tests/support/TestSupport.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr unsigned int kSerial = 0x40F5849A;
constexpr uint32_t kVersion = 0x2F020B05;
constexpr unsigned long kReplyMS = 1000;

// A running simulator with its endpoints.
struct Sim {
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::BackgroundProcess> process;
    std::string ptyPath;
    uint16_t tcpPort = 0;

    std::string logPath() const { return dir.file("packets.log"); }
    std::string statePath() const { return dir.file("state.json"); }

    bool start(std::vector<std::string> flags) {
        std::vector<std::string> argv = {testsupport::buildPath("corvantis-sim"),
                                         "--log",
                                         logPath(),
                                         "--state",
                                         statePath(),
                                         "--max-runtime",
                                         "120"};
        argv.insert(argv.end(), flags.begin(), flags.end());
        process.reset(new testsupport::BackgroundProcess(argv));
        std::string line;
        while (process->readLine(line, std::chrono::seconds(10))) {
            std::istringstream in(line);
            std::string kind, where;
            in >> kind >> where;
            if (kind == "pty") {
                ptyPath = where;
            } else if (kind == "tcp") {
                tcpPort = static_cast<uint16_t>(std::stoi(where.substr(where.rfind(':') + 1)));
            } else if (kind == "ready") {
                return true;
            }
        }
        return false;
    }
    // Stops the simulator and reads its state dump.
    nlohmann::json stopAndReadState() {
        process->stop();
        std::string text = testsupport::readFile(statePath());
        nlohmann::json all = nlohmann::json::parse(text, nullptr, false);
        if (all.is_discarded() || !all.contains("modules") || all["modules"].empty()) {
            return nlohmann::json();
        }
        return all["modules"][0];
    }
    std::string log() const { return testsupport::readFile(logPath()); }
};

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// Asks the module for its firmware version (system entity, option 7) and
// returns the reply, or null.
bool sIsVersionReply(const aPacket* p, const void*) {
    return p->address == 2 && p->dataSize == 7 && p->data[0] == 3 && (p->data[1] & 0x3F) == 7;
}

aPacket* requestVersion(unsigned int id, unsigned long waitMS = kReplyMS) {
    const uint8_t get[3] = {3, 7 | 0x40, 0x20}; // system entity, get option 7, index 0
    aPacket* request = aPacket_CreateWithData(2, 3, get);
    aErr err = aLink_PutPacket(id, request);
    aPacket_Destroy(&request);
    if (err != aErrNone) {
        return nullptr;
    }
    return aLink_AwaitFirst(id, sIsVersionReply, nullptr, waitMS);
}

uint32_t valueOf(const aPacket* reply) {
    return (uint32_t(reply->data[3]) << 24) | (uint32_t(reply->data[4]) << 16) |
           (uint32_t(reply->data[5]) << 8) | reply->data[6];
}

template <typename F> bool eventually(F condition, milliseconds timeout = milliseconds(5000)) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
    return condition();
}

// The same conversation over either transport.
void converse(Sim& sim, unsigned int id) {
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    ASSERT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(sGetLink(id)->syncAddress.load(), 2);
    for (int i = 0; i < 5; i++) {
        aPacket* reply = requestVersion(id);
        ASSERT_NE(reply, nullptr) << "request " << i;
        EXPECT_EQ(valueOf(reply), kVersion);
        aPacket_Destroy(&reply);
    }
    // The module's heartbeats (every 100 ms) are answered by the link and
    // never reach the incoming FIFO.
    std::this_thread::sleep_for(milliseconds(350));
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    // The stop's force-route release is the last thing written; the module
    // must have read it before it is stopped and dumps its state.
    EXPECT_TRUE(eventually([&] {
        return sim.log().find("addr=AF len=1 data=00") != std::string::npos;
    })) << "the stop's force-route release never arrived";
    nlohmann::json state = sim.stopAndReadState();
    ASSERT_FALSE(state.is_null()) << "no state dump";
    EXPECT_GE(state["heartbeats"]["answered"].get<int>(), 2);
    EXPECT_EQ(state["heartbeats"]["wrong"].get<int>(), 0);
    // Stopping released the forced route.
    EXPECT_EQ(state["forceRoute"].get<int>(), 0);
    EXPECT_NE(sim.log().find("data=01"), std::string::npos) << "the start's force-route";
}

TEST(LinkSimTest, SerialLinkOverPseudoTerminal) {
    Sim sim;
    ASSERT_TRUE(sim.start({"--pty", "--heartbeat-ms", "100"}));
    ASSERT_FALSE(sim.ptyPath.empty());
    unsigned int id = aLink_CreateSerial(kSerial, sim.ptyPath.c_str(), 115200);
    converse(sim, id);
}

TEST(LinkSimTest, TcpLinkOverLoopback) {
    Sim sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--heartbeat-ms", "100"}));
    ASSERT_NE(sim.tcpPort, 0);
    unsigned int id = aLink_CreateTCPIP(loopback(), sim.tcpPort);
    converse(sim, id);
}

struct Transport {
    const char* name;
    bool tcp;
};

class LinkSimFaultTest : public ::testing::TestWithParam<Transport> {
protected:
    unsigned int open(Sim& sim, std::vector<std::string> flags) {
        if (GetParam().tcp) {
            flags.insert(flags.end(), {"--tcp", "127.0.0.1:0"});
        } else {
            flags.push_back("--pty");
        }
        if (!sim.start(flags)) {
            return 0;
        }
        return GetParam().tcp ? aLink_CreateTCPIP(loopback(), sim.tcpPort)
                              : aLink_CreateSerial(kSerial, sim.ptyPath.c_str(), 115200);
    }
};

TEST_P(LinkSimFaultTest, RepliesTimeOutWhenTheModuleGoesSilent) {
    Sim sim;
    // Packets 1 (force-route) to 3 are handled, then nothing more.
    unsigned int id = open(sim, {"--silent-after", "3"});
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 2; i++) {
        aPacket* reply = requestVersion(id);
        ASSERT_NE(reply, nullptr);
        aPacket_Destroy(&reply);
    }
    auto start = steady_clock::now();
    aPacket* none = requestVersion(id, 300);
    auto took = steady_clock::now() - start;
    EXPECT_EQ(none, nullptr);
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LT(took, milliseconds(2000));
    // A silent module leaves the link running.
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    aLink_Destroy(&id);
}

TEST_P(LinkSimFaultTest, GarbageBeforeAReplyResynchronises) {
    Sim sim;
    unsigned int id = open(sim, {"--garbage", "FF0103", "--garbage-times", "1"});
    ASSERT_NE(id, 0u);
    // The first reply is preceded by garbage: the link resynchronises by
    // itself and that reply is lost; later ones come through.
    aPacket* first = requestVersion(id, 300);
    aPacket_Destroy(&first);
    ASSERT_TRUE(eventually([id] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
    aPacket* reply = nullptr;
    for (int i = 0; i < 5 && reply == nullptr; i++) {
        reply = requestVersion(id);
    }
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(valueOf(reply), kVersion);
    aPacket_Destroy(&reply);
    EXPECT_NE(sim.log().find("garbage"), std::string::npos);
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkSimFaultTest,
                         ::testing::Values(Transport{"serial", false}, Transport{"tcp", true}),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(info.param.name);
                         });

TEST(LinkSimTest, TcpLinkReconnectsAfterTheModuleDropsTheConnection) {
    Sim sim;
    // The third packet (force-route, one request, then this one) is not
    // answered and the connection is reset.
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--drop-after", "3"}));
    unsigned int id = aLink_CreateTCPIP(loopback(), sim.tcpPort);
    ASSERT_NE(id, 0u);
    aPacket* reply = requestVersion(id);
    ASSERT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
    aPacket* lost = requestVersion(id, 300);
    EXPECT_EQ(lost, nullptr);
    aPacket_Destroy(&lost);
    // The stream connects again by itself; requests are answered again.
    for (int i = 0; i < 10 && reply == nullptr; i++) {
        reply = requestVersion(id, 500);
    }
    ASSERT_NE(reply, nullptr) << "no reply after the drop";
    EXPECT_EQ(valueOf(reply), kVersion);
    aPacket_Destroy(&reply);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    aLink_Destroy(&id);
    std::string log = sim.log();
    EXPECT_NE(log.find("drop"), std::string::npos);
    EXPECT_NE(log.find("ep=tcp2"), std::string::npos) << "no second connection";
}

TEST(LinkSimTest, ResetOfTcpLinkConnectsAgain) {
    Sim sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0"}));
    unsigned int id = aLink_CreateTCPIP(loopback(), sim.tcpPort);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_Reset(id), aErrNone);
    aPacket* reply = requestVersion(id);
    ASSERT_NE(reply, nullptr);
    aPacket_Destroy(&reply);
    aLink_Destroy(&id);
    EXPECT_NE(sim.log().find("ep=tcp2"), std::string::npos);
}

} // namespace
