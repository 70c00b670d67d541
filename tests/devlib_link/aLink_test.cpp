// The link engine over an in-memory stream pair driven by the test as the
// module: synchronisation and its failing sequences, resynchronisation after
// garbage, heartbeat answers, the user filter, pooled writes, force-route on
// start and stop, use counting, status values and reset (over loopback TCP).
#include "devlib/aLink.h"

#include <atomic>
#include <pty.h>
#include <unistd.h>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devlib/aDefs.h"
#include "devlib/aLinkManagerInternal.h"
#include "devlib/aPacket.h"
#include "tests/devlib_link/LoopbackPeer.h"
#include "tests/devlib_link/MemoryWire.h"

namespace {

using linktest::LoopbackPeer;
using linktest::MemoryWire;
using linktest::WirePacket;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kWait{5000};
const WirePacket kMagic{0xAD, {}};
const WirePacket kForceRouteOn{0xAF, {1}};
const WirePacket kForceRouteOff{0xAF, {0}};

// Polls a condition every millisecond, at most `timeout`.
template <typename F> bool eventually(F condition, milliseconds timeout = kWait) {
    auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return condition();
}

aPacket* makePacket(uint8_t address, std::vector<uint8_t> data) {
    static const uint8_t none = 0;
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                  data.empty() ? &none : data.data());
}

WirePacket wireOf(const aPacket* p) {
    return WirePacket{p->address, std::vector<uint8_t>(p->data, p->data + p->dataSize)};
}

// Receives packets until one that is not a magic packet, counting the magic
// ones skipped.
bool receiveSkippingMagic(MemoryWire& wire, WirePacket& out, int* magics = nullptr) {
    while (wire.receive(out, kWait)) {
        if (out == kMagic) {
            if (magics != nullptr) {
                (*magics)++;
            }
            continue;
        }
        return true;
    }
    return false;
}

// A link over a memory wire, started, with the start's force-route packet
// already taken off the wire.
class LinkTest : public ::testing::Test {
protected:
    void startLink(MemoryWire::Mode mode = MemoryWire::Mode::Polling) {
        wire.reset(new MemoryWire(mode));
        id = aLink_Create(wire->makeStream());
        ASSERT_NE(id, 0u);
        ASSERT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
        ASSERT_EQ(aLink_Start(id), aErrNone);
        ASSERT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
        WirePacket first;
        ASSERT_TRUE(wire->receive(first, kWait));
        ASSERT_EQ(first, kForceRouteOn);
    }
    void TearDown() override {
        if (wire) {
            wire->release();
        }
        if (id != 0) {
            aLink_Destroy(&id);
        }
    }
    aLinkRecord* record() { return sGetLink(id); }

    // Runs aLink_Sync on a thread and waits for the first batch of six magic
    // packets (in blocking mode the test triggers it with an empty read).
    void beginSync() {
        syncResult = aErrUnknown;
        syncer = std::thread([this] { syncResult = aLink_Sync(id); });
        ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusSyncing; }));
        wire->emptyRead();
        expectMagics(6);
    }
    void expectMagics(int n) {
        for (int i = 0; i < n; i++) {
            WirePacket p;
            ASSERT_TRUE(wire->receive(p, kWait)) << "magic " << i;
            ASSERT_EQ(p, kMagic) << "magic " << i;
        }
    }
    void endSync() {
        if (syncer.joinable()) {
            syncer.join();
        }
    }
    int syncState() { return record()->syncState.load(); }

    std::unique_ptr<MemoryWire> wire;
    unsigned int id = 0;
    std::thread syncer;
    std::atomic<aErr> syncResult{aErrUnknown};
};

TEST_F(LinkTest, SyncOnTwoAnswersFromTheModule) {
    startLink(MemoryWire::Mode::Blocking);
    beginSync();
    wire->send({0x02, 0x00, 0x02, 0x00});
    endSync();
    EXPECT_EQ(syncResult.load(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(record()->syncAddress.load(), 2);
    EXPECT_EQ(syncState(), kSyncStateNone);
    // Packets flow again after synchronising.
    wire->send({0x02, 0x02, 0x03, 0x41});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wireOf(p), (WirePacket{0x02, {0x03, 0x41}}));
    aPacket_Destroy(&p);
}

TEST_F(LinkTest, SecondAddressDifferentDoesNotSyncAndFourthByteRestarts) {
    startLink(MemoryWire::Mode::Blocking);
    beginSync();
    wire->send({0x02, 0x00, 0x04});
    ASSERT_TRUE(eventually([this] { return syncState() == kSyncStateStart; }));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    EXPECT_EQ(wire->pendingToModule(), 0u) << "no restart before the fourth byte";
    wire->send({0x00});
    expectMagics(6); // the fourth byte restarted synchronisation
    // The reader may still be between writing the magics and settling its
    // state: wait for the state, boundedly.
    EXPECT_TRUE(eventually([this] { return syncState() == kSyncStateByte1; }))
        << "state " << syncState();
    // The module then answers properly.
    wire->send({0x02, 0x00, 0x02, 0x00});
    endSync();
    EXPECT_EQ(syncResult.load(), aErrNone);
}

struct SyncCase {
    const char* name;
    std::vector<uint8_t> bytes;
    int stateAfter; // synchronisation state after the bytes
    bool restarted; // six new magic packets went out
};

class SyncSequenceTest : public LinkTest, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncSequenceTest, Case) {
    const SyncCase& c = GetParam();
    startLink(MemoryWire::Mode::Blocking);
    beginSync();
    wire->send(c.bytes);
    ASSERT_TRUE(eventually([&] {
        return wire->pendingToHost() == 0 && syncState() == c.stateAfter;
    })) << "state "
        << syncState();
    if (c.restarted) {
        expectMagics(6);
    }
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    // Bring the state machine back to a fresh attempt with odd bytes: one
    // leads from the middle of a sequence to the restarting state, the next
    // restarts.
    if (syncState() != kSyncStateStart && syncState() != kSyncStateByte1) {
        wire->send({0x01});
        ASSERT_TRUE(eventually([&] { return syncState() == kSyncStateStart; }));
    }
    wire->send({0x01});
    expectMagics(6);
    wire->send({0x06, 0x00, 0x06, 0x00});
    endSync();
    EXPECT_EQ(syncResult.load(), aErrNone);
    EXPECT_EQ(record()->syncAddress.load(), 6);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SyncSequenceTest,
    ::testing::Values(SyncCase{"oddFirstByte", {0x03}, kSyncStateByte1, true},
                      SyncCase{"zeroFirstByte", {0x00}, kSyncStateByte1, true},
                      SyncCase{"addressOnly", {0x02}, kSyncStateByte2, false},
                      SyncCase{"lengthNotZero", {0x02, 0x05}, kSyncStateStart, false},
                      SyncCase{"oneAnswer", {0x02, 0x00}, kSyncStateByte3, false},
                      SyncCase{"otherAddress", {0x02, 0x00, 0x04}, kSyncStateStart, false},
                      SyncCase{
                          "secondLengthNotZero", {0x02, 0x00, 0x02, 0x01}, kSyncStateStart, false}),
    [](const ::testing::TestParamInfo<SyncCase>& info) { return std::string(info.param.name); });

TEST_F(LinkTest, SyncTimesOutWhenModuleIsSilent) {
    startLink(MemoryWire::Mode::Polling);
    auto start = steady_clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    EXPECT_GE(steady_clock::now() - start, milliseconds(2000));
    EXPECT_NE(aLink_GetStatus(id), kLinkStatusRunning);
    // Retries come about every 100 ms of silence, six magic packets each:
    // some twenty to thirty attempts in the two seconds, not a flood (a
    // retry on every empty read would make thousands).
    size_t magics = wire->pendingToModule() / 2;
    EXPECT_LE(magics, 6u * 60u);
    EXPECT_GE(magics, 6u * 2u);
}

TEST_F(LinkTest, SyncOverPollingStreamWithAnsweringModule) {
    startLink(MemoryWire::Mode::Polling);
    std::atomic<bool> stop{false};
    std::thread module([&] {
        WirePacket p;
        while (!stop && wire->receive(p, milliseconds(50))) {
        }
        while (!stop) {
            if (wire->receive(p, milliseconds(20)) && p == kMagic) {
                wire->send({0x04, 0x00});
            }
        }
    });
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(record()->syncAddress.load(), 4);
    // Leftover answers were drained.
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    stop = true;
    module.join();
}

TEST_F(LinkTest, GarbageResynchronisesAndPacketsFlowAgain) {
    startLink(MemoryWire::Mode::Polling);
    // An odd byte where an address belongs: out of step.
    wire->send({0x03});
    expectMagics(6);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    wire->send({0x02, 0x00, 0x02, 0x00});
    ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
    // A length byte above 28 is garbage too, even inside a packet start.
    wire->send({0x02, 0x1D});
    ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusSyncing; }));
    wire->send({0x02, 0x00, 0x02, 0x00});
    ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusRunning; }));
    wire->send({0x02, 0x03, 0x03, 0x41, 0x20});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(wireOf(p), (WirePacket{0x02, {0x03, 0x41, 0x20}}));
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

struct HeartbeatCase {
    std::vector<uint8_t> in;
    WirePacket answer;
};

class HeartbeatTest : public LinkTest, public ::testing::WithParamInterface<HeartbeatCase> {};

TEST_P(HeartbeatTest, AnsweredAndNeverQueued) {
    startLink();
    wire->send(GetParam().in);
    WirePacket p;
    ASSERT_TRUE(receiveSkippingMagic(*wire, p));
    EXPECT_EQ(p, GetParam().answer);
    // A packet after the heartbeat reaches the FIFO; the heartbeat did not.
    wire->send({0x02, 0x01, 0x55});
    aPacket* got = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(wireOf(got), (WirePacket{0x02, {0x55}}));
    aPacket_Destroy(&got);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Heartbeats, HeartbeatTest,
                         ::testing::Values(HeartbeatCase{{0x02, 0x02, 0x00, 0x00}, {0x02, {0, 2}}},
                                           HeartbeatCase{{0x02, 0x02, 0x00, 0x01}, {0x02, {0, 3}}},
                                           HeartbeatCase{{0x04, 0x02, 0x00, 0xFE},
                                                         {0x04, {0, 0}}}));

TEST_F(LinkTest, ThreeByteHeartbeatCommandIsAnOrdinaryPacket) {
    startLink();
    wire->send({0x02, 0x03, 0x00, 0x01, 0x02});
    aPacket* got = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->dataSize, 3);
    aPacket_Destroy(&got);
}

struct FilterLog {
    std::atomic<int> seen{0};
};

bool sConsumeCommand11AndHeartbeats(const aPacket* p, const void* ref) {
    FilterLog* log = static_cast<FilterLog*>(const_cast<void*>(ref));
    log->seen++;
    return p->dataSize >= 1 && (p->data[0] == 0x11 || p->data[0] == 0x00);
}

TEST_F(LinkTest, UserFilterConsumesPacketsHeartbeatsIncluded) {
    startLink();
    FilterLog log;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, sConsumeCommand11AndHeartbeats, &log), aErrNone);
    wire->send({0x02, 0x01, 0x11, 0x02, 0x02, 0x00, 0x00, 0x02, 0x01, 0x22});
    aPacket* got = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(wireOf(got), (WirePacket{0x02, {0x22}}));
    aPacket_Destroy(&got);
    EXPECT_EQ(log.seen.load(), 3);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    // Removing the filter brings heartbeat answers back; the first heartbeat
    // was never answered, or its answer would come first.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    wire->send({0x02, 0x02, 0x00, 0x07});
    WirePacket p;
    ASSERT_TRUE(receiveSkippingMagic(*wire, p));
    EXPECT_EQ(p, (WirePacket{0x02, {0x00, 0x09}}));
    EXPECT_EQ(log.seen.load(), 3);
}

class PoolingTest : public LinkTest, public ::testing::WithParamInterface<int> {};

// With the writer held inside a write, 200 packets queue up; once released,
// pooling sends them in as few writes as fit 4096 bytes.
TEST_P(PoolingTest, TwoHundredPackets) {
    const int dataSize = GetParam();
    wire.reset(new MemoryWire());
    id = aLink_Create(wire->makeStream());
    ASSERT_NE(id, 0u);
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    wire->closeGate();
    ASSERT_EQ(aLink_Start(id), aErrNone);
    ASSERT_TRUE(eventually([this] { return wire->blockedWriters() == 1; }));
    std::vector<uint8_t> data(static_cast<size_t>(dataSize), 0x33);
    for (int i = 0; i < 200; i++) {
        aPacket* p = makePacket(0x02, data);
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    wire->openGate();
    const size_t total = 200u * (2u + static_cast<size_t>(dataSize));
    ASSERT_TRUE(wire->waitForPendingToModule(3 + total, kWait));
    std::vector<size_t> writes = wire->writeSizes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], 3u); // the start's force-route packet
    std::vector<size_t> batches(writes.begin() + 1, writes.end());
    if (dataSize == 0) {
        EXPECT_EQ(batches, (std::vector<size_t>{400}));
    } else {
        EXPECT_EQ(batches, (std::vector<size_t>{4080, total - 4080}));
    }
    for (size_t w : writes) {
        EXPECT_LE(w, 4096u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PoolingTest, ::testing::Values(0, 28));

TEST_F(LinkTest, WithoutPoolingEachPacketIsOneWrite) {
    startLink();
    for (int i = 0; i < 20; i++) {
        aPacket* p = makePacket(0x02, {0x01, static_cast<uint8_t>(i)});
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    ASSERT_TRUE(wire->waitForPendingToModule(80, kWait));
    std::vector<size_t> writes = wire->writeSizes();
    ASSERT_EQ(writes.size(), 21u);
    for (size_t i = 1; i < writes.size(); i++) {
        EXPECT_EQ(writes[i], 4u);
    }
    for (int i = 0; i < 20; i++) {
        WirePacket p;
        ASSERT_TRUE(wire->receive(p, kWait));
        EXPECT_EQ(p.data[1], i) << "packets keep their order";
    }
}

TEST_F(LinkTest, StopSendsQueuedPacketsThenForceRouteRelease) {
    startLink();
    for (int i = 0; i < 5; i++) {
        aPacket* p = makePacket(0x02, {0x17, static_cast<uint8_t>(i)});
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    ASSERT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_TRUE(wire->deleted());
    std::vector<WirePacket> got;
    WirePacket p;
    while (wire->receive(p, milliseconds(0))) {
        got.push_back(p);
    }
    ASSERT_EQ(got.size(), 6u);
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(got[i], (WirePacket{0x02, {0x17, static_cast<uint8_t>(i)}}));
    }
    EXPECT_EQ(got.back(), kForceRouteOff);
}

TEST_F(LinkTest, ForceRouteQueuesItsPacket) {
    startLink();
    EXPECT_EQ(aLink_ForceRoute(id, 1), aErrNone);
    WirePacket p;
    ASSERT_TRUE(wire->receive(p, kWait));
    EXPECT_EQ(p, kForceRouteOn);
    EXPECT_EQ(aLink_ForceRoute(999999, 1), aErrNotFound);
}

TEST_F(LinkTest, StatusValues) {
    EXPECT_EQ(aLink_GetStatus(0), kLinkStatusInvalid);
    EXPECT_EQ(aLink_GetStatus(999999), kLinkStatusInvalid);
    startLink();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);

    // A failed read: status 6, and waits for replies return at once.
    wire->failReads(true);
    ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusIOError; }));
    auto start = steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(
                  id, [](const aPacket*, const void*) { return true; }, nullptr, 10000),
              nullptr);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
    wire->failReads(false);

    // Status 6 stays until the next synchronisation.
    wire->send({0x02, 0x00, 0x02, 0x00});
    ASSERT_TRUE(eventually([this] { return wire->pendingToHost() == 0; }));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusIOError);
    std::thread module([&] {
        WirePacket p;
        for (int i = 0; i < 200; i++) {
            if (wire->receive(p, milliseconds(20)) && p == kMagic) {
                wire->send({0x02, 0x00});
            }
            if (aLink_GetStatus(id) == kLinkStatusRunning && i > 20) {
                break;
            }
        }
    });
    EXPECT_EQ(aLink_Sync(id), aErrNone);
    module.join();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);

    // A packet the incoming FIFO refuses: status 8.
    aLinkFifo incoming = record()->incoming;
    aPacketFifo_Destroy(&incoming);
    wire->send({0x02, 0x01, 0x42});
    ASSERT_TRUE(eventually([this] { return aLink_GetStatus(id) == kLinkStatusPacketError; }));

    // Stopped links report 0.
    ASSERT_EQ(aLink_Stop(record()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
    EXPECT_EQ(aLink_Stop(record()), aErrNone);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
}

TEST_F(LinkTest, AwaitFirstTakesTheMatchingPacketAndLeavesOthers) {
    startLink();
    wire->send({0x02, 0x01, 0x10, 0x02, 0x01, 0x20, 0x02, 0x01, 0x30});
    auto is20 = [](const aPacket* p, const void*) {
        return p->dataSize == 1 && p->data[0] == 0x20;
    };
    aPacket* p = aLink_AwaitFirst(id, is20, nullptr, 5000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x20);
    aPacket_Destroy(&p);
    ASSERT_TRUE(eventually([this] {
        return aLink_DrainPackets(
                   id, [](const aPacket*, const void*) { return false; }, nullptr) == 0 &&
               wire->pendingToHost() == 0;
    }));
    EXPECT_EQ(aLink_DrainPackets(
                  id, [](const aPacket*, const void*) { return true; }, nullptr),
              2u);
    auto start = steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, is20, nullptr, 100), nullptr);
    EXPECT_GE(steady_clock::now() - start, milliseconds(90));
}

TEST_F(LinkTest, UnregisteredIdsAreRefused) {
    const unsigned int none = 987654;
    aPacket* p = makePacket(0x02, {1});
    EXPECT_EQ(aLink_PutPacket(none, p), aErrParam);
    EXPECT_EQ(aLink_GetPacket(none), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(none, 10), nullptr);
    EXPECT_EQ(aLink_GetFirst(
                  none, [](const aPacket*, const void*) { return true; }, nullptr),
              nullptr);
    EXPECT_EQ(aLink_DrainPackets(
                  none, [](const aPacket*, const void*) { return true; }, nullptr),
              0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(none, nullptr, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(none, true), aErrParam);
    EXPECT_EQ(aLink_Start(none), aErrParam);
    EXPECT_EQ(aLink_Sync(none), aErrParam);
    EXPECT_EQ(aLink_Reset(none), aErrParam);
    unsigned int doomed = none;
    EXPECT_EQ(aLink_Destroy(&doomed), aErrParam);
    EXPECT_EQ(doomed, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
}

TEST_F(LinkTest, PacketsPutOnTheLinkReachTheModuleAsWireBytes) {
    startLink();
    aPacket* p = makePacket(0x04, {0x03, 0x47, 0x20});
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
    WirePacket w;
    ASSERT_TRUE(wire->receive(w, kWait));
    EXPECT_EQ(w, (WirePacket{0x04, {0x03, 0x47, 0x20}}));
}

TEST_F(LinkTest, ResetOfCallerMadeStreamIsRefusedAndLinkKeepsRunning) {
    startLink();
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    wire->send({0x02, 0x01, 0x01});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    EXPECT_NE(p, nullptr);
    aPacket_Destroy(&p);
}

// ---------------------------------------------------------------------------
// Creation paths, use counting and reset over loopback TCP.

TEST(LinkCreateTest, TcpLinksAreSharedByAddressAndEndWithTheirLastUser) {
    LoopbackPeer peer;
    size_t before = sRegistrySize();
    unsigned int first = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(peer.accept());
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(peer.readBytes(bytes, 3));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAF, 0x01, 0x01}));
    unsigned int second = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
    EXPECT_EQ(second, first);
    EXPECT_EQ(sRegistrySize(), before + 1);
    ASSERT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    // Packets still flow through the remaining use.
    ASSERT_TRUE(peer.sendBytes({0x02, 0x01, 0x61}));
    aPacket* p = aLink_AwaitPacket(first, 5000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    unsigned int keep = first;
    ASSERT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(keep), kLinkStatusInvalid);
    EXPECT_EQ(sRegistrySize(), before);
    // The stop's force-route release reached the module.
    ASSERT_TRUE(peer.readBytes(bytes, 3));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAF, 0x01, 0x00}));
}

TEST(LinkCreateTest, TcpLinksToOneAddressOnTwoPortsAreTwoLinks) {
    LoopbackPeer a;
    LoopbackPeer b;
    unsigned int first = aLink_CreateTCPIP(LoopbackPeer::address(), a.port());
    ASSERT_NE(first, 0u);
    unsigned int second = aLink_CreateTCPIP(LoopbackPeer::address(), b.port());
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);
    ASSERT_TRUE(a.accept());
    ASSERT_TRUE(b.accept());
    // Each link reaches its own peer.
    ASSERT_TRUE(b.sendBytes({0x02, 0x01, 0x62}));
    aPacket* p = aLink_AwaitPacket(second, 5000);
    ASSERT_NE(p, nullptr);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_AwaitPacket(first, 100), nullptr);
    aLink_Destroy(&second);
    aLink_Destroy(&first);
}

TEST(LinkCreateTest, FailedCreationsReturnZeroAndRegisterNothing) {
    size_t before = sRegistrySize();
    uint16_t closedPort;
    {
        LoopbackPeer gone;
        closedPort = gone.port();
    }
    EXPECT_EQ(aLink_CreateTCPIP(LoopbackPeer::address(), closedPort), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x1234, "/dev/null", 14400), 0u);
    EXPECT_EQ(aLink_CreateSerial(0x1234, "/nonexistent/tty", 115200), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x40F5849A), 0u); // no USB transport in this build
    unsigned short port = 0;
    unsigned int iface = 0;
    EXPECT_EQ(aLink_CreateServer(0x40F5849A, &port, &iface, true), 0u);
    EXPECT_EQ(aLink_CreateClient(LoopbackPeer::address(), 9000, 0), 0u);
    EXPECT_EQ(aLink_CreateClient(LoopbackPeer::address(), 9000, 424242), 0u);
    EXPECT_EQ(sRegistrySize(), before);
}

TEST(LinkCreateTest, ClientWithExistingLinkSharesIt) {
    LoopbackPeer peer;
    unsigned int id = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
    ASSERT_NE(id, 0u);
    unsigned int shared = aLink_CreateClient(LoopbackPeer::address(), peer.port(), id);
    EXPECT_EQ(shared, id);
    aLink_Destroy(&shared);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    aLink_Destroy(&id);
}

TEST(LinkCreateTest, SerialLinksAreSharedBySerialNumber) {
    int master = -1;
    int slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    size_t before = sRegistrySize();
    unsigned int first = aLink_CreateSerial(0x0A1B2C3D, name, 115200);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    unsigned int second = aLink_CreateSerial(0x0A1B2C3D, "/dev/ignored-when-shared", 9600);
    EXPECT_EQ(second, first);
    EXPECT_EQ(sRegistrySize(), before + 1);
    // A serial stream cannot be made again from the registry: reset refuses
    // and leaves the link running.
    EXPECT_EQ(aLink_Reset(first), aErrParam);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    aLink_Destroy(&second);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    aLink_Destroy(&first);
    EXPECT_EQ(sRegistrySize(), before);
    close(master);
    close(slave);
}

bool sConsumeAll(const aPacket*, const void*) {
    return true;
}

TEST(LinkCreateTest, ResetReconnectsWithFreshStateAndStartsAgain) {
    LoopbackPeer peer;
    unsigned int id = aLink_CreateTCPIP(LoopbackPeer::address(), peer.port());
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer.accept());
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(peer.readBytes(bytes, 3));
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, sConsumeAll, nullptr), aErrNone);
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    // A packet waiting in the incoming FIFO is lost with the old FIFOs.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    ASSERT_TRUE(peer.sendBytes({0x02, 0x01, 0x01}));
    ASSERT_TRUE(eventually([id] { return aPacketFifo_GetLength(sGetLink(id)->incoming) == 1; }));
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, sConsumeAll, nullptr), aErrNone);

    std::thread acceptor([&] { peer.accept(); });
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    acceptor.join();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    aLinkRecord* link = sGetLink(id);
    ASSERT_NE(link, nullptr);
    EXPECT_FALSE(link->pooled.load());
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    // The new connection carries the start's force-route packet, and the
    // filter is gone: a heartbeat is answered again.
    ASSERT_TRUE(peer.readBytes(bytes, 3));
    // The old connection's release may come first on the old socket only.
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0xAF, 0x01, 0x01}));
    ASSERT_TRUE(peer.sendBytes({0x02, 0x02, 0x00, 0x04}));
    ASSERT_TRUE(peer.readBytes(bytes, 4));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x02, 0x02, 0x00, 0x06}));
    aLink_Destroy(&id);
}

} // namespace
