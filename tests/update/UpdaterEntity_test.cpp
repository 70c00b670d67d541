// The upgrade entity against the module simulator over a real link (TCP on
// loopback and a pseudo-terminal): the firmware sequence checked in the
// simulator's flash dump, the chunking of data packets, UEI byte arrays and
// pooled packets, the loader start, the reboot wait, and the protocol faults.
#include "updater/UpdaterEntity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "devlib/Module.h"
#include "tests/app/RecordingDisplay.h"
#include "tests/devlib_module/SimModule.h"
#include "tests/support/TestSupport.h"

namespace {

using Halvern::Corvantis::Module;
using simtest::Transport;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kAddress = 0x1000;
constexpr uint32_t kFlashSize = 0x4000;
constexpr auto kSimReady = std::chrono::seconds(10);
// How long the simulated module stays off its links while it reboots: longer
// than one poll of the reboot wait, or the link engine's reconnection hides
// the drop from it.
constexpr int kRebootMs = 1000;
// Bound of the reboot wait in these tests.
constexpr unsigned int kTestRebootWaitMs = 2000;

// A block as the BIRD file gives it: the big-endian address, then the image.
Bytes makeBlock(uint32_t address, size_t size) {
    Bytes block = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                   uint8_t(address)};
    for (size_t i = 0; i < size; ++i)
        block.push_back(static_cast<uint8_t>(i * 11 + 1));
    return block;
}

std::string expectedFlash(const Bytes& block) {
    std::string flash(kFlashSize, '\xFF');
    for (size_t i = 4; i < block.size(); ++i)
        flash[kAddress + i - 4] = static_cast<char>(block[i]);
    return flash;
}

// Lines of the simulator's packet log with the given prefix (e.g. "rx").
std::vector<std::string> logData(const std::string& log, const std::string& startsWith) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(at, end - at);
        const size_t data = line.find(" data=");
        if (line.rfind("rx ", 0) == 0 && data != std::string::npos) {
            const std::string bytes = line.substr(data + 6, line.find(' ', data + 6) - data - 6);
            if (bytes.rfind(startsWith, 0) == 0)
                out.push_back(bytes);
        }
        at = end + 1;
    }
    return out;
}

class UpdaterEntityTest : public ::testing::TestWithParam<Transport> {
protected:
    testsupport::TempDir tmp;
    std::string flashDump = tmp.file("flash.bin");
    std::string log = tmp.file("packets.log");
    std::string state = tmp.file("state.json");
    std::unique_ptr<simtest::SimModule> sim;
    std::unique_ptr<Module> module;
    RecordingDisplay display;
    UpdaterEntity entity;

    void start(nlohmann::json upgrade = nlohmann::json::object(),
               nlohmann::json extra = nlohmann::json::object()) {
        upgrade["flashBase"] = 0;
        upgrade["flashSize"] = kFlashSize;
        upgrade["flashDump"] = flashDump;
        if (!upgrade.contains("rebootMs"))
            upgrade["rebootMs"] = kRebootMs;
        nlohmann::json config = {{"serial", "40F5849A"}, {"model", 21}, {"upgrade", upgrade}};
        for (auto& item : extra.items())
            config[item.key()] = item.value();
        const std::string path = tmp.file("sim.json");
        ASSERT_TRUE(testsupport::writeFile(path, config.dump()));
        std::vector<std::string> flags = simtest::transportFlags(GetParam());
        flags.insert(flags.end(), {"--config", path, "--state", state});
        sim = std::make_unique<simtest::SimModule>(flags, log);
        ASSERT_TRUE(sim->ok());
        module = std::make_unique<Module>(2, false);
        const linkSpec where = GetParam() == Transport::TCP ? sim->tcpSpec() : sim->serialSpec();
        ASSERT_EQ(module->connectFromSpec(where), aErrNone);
        entity.init(module.get(), 0, true, false);
        // A TCP link does not show the reboot as a drop (see below): the
        // tests that only need the flash dump do not wait out the full bound.
        entity.setRebootWaitBound(kTestRebootWaitMs);
    }

    // Prepares and transfers one firmware block; the prepare's result first.
    aErr transfer(const Bytes& block, unsigned short* blockSizeOut = nullptr) {
        unsigned short blockSize = 0;
        aErr err = entity.TransferPrepare(block.data(), block.size(), 0, blockSize);
        if (blockSizeOut)
            *blockSizeOut = blockSize;
        if (err != aErrNone)
            return err;
        return entity.FirmwareTransfer(block.data(), block.size(), blockSize, display);
    }

    // Reboots the module (which writes the flash dump) and returns the dump.
    std::string rebootAndDump() {
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        const auto until = Clock::now() + kSimReady;
        while (Clock::now() < until && testsupport::readFile(flashDump).size() != kFlashSize)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return testsupport::readFile(flashDump);
    }
};

TEST_P(UpdaterEntityTest, PacketsOf26WithSumAndWritePerChunk) {
    start();
    const Bytes block = makeBlock(kAddress, 600);
    unsigned short blockSize = 0;
    ASSERT_EQ(transfer(block, &blockSize), aErrNone);
    EXPECT_EQ(blockSize, 256);
    // 256, 256 and 88 bytes, each in packets of at most 26, each chunk summed
    // and written.
    const std::string rx = testsupport::readFile(log);
    const std::vector<std::string> writes = logData(rx, "5F05");
    EXPECT_EQ(writes, (std::vector<std::string>{"5F050100", "5F050100", "5F050058"}));
    EXPECT_EQ(logData(rx, "5F04").size(), 3u);
    EXPECT_EQ(logData(rx, "5F01").size(), 10u + 10u + 4u); // 256 = 9*26+22, 88 = 3*26+10
    EXPECT_TRUE(rebootAndDump() == expectedFlash(block));
    EXPECT_EQ(display.calls.front(), "display_progress 1");
    EXPECT_NE(std::find(display.calls.begin(), display.calls.end(), "display_progress 0"),
              display.calls.end());
}

TEST_P(UpdaterEntityTest, ChunkOf60GoesAs26And26And8) {
    start({{"blockSize", 60}});
    const Bytes block = makeBlock(kAddress, 60);
    ASSERT_EQ(transfer(block), aErrNone);
    std::vector<size_t> sizes;
    for (const std::string& d : logData(testsupport::readFile(log), "5F01"))
        sizes.push_back(d.size() / 2 - 2);
    EXPECT_EQ(sizes, (std::vector<size_t>{26, 26, 8}));
}

TEST_P(UpdaterEntityTest, AddressOnlyBlockSendsNothingAndSucceeds) {
    start();
    const Bytes block = makeBlock(kAddress, 0);
    ASSERT_EQ(transfer(block), aErrNone);
    EXPECT_TRUE(logData(testsupport::readFile(log), "5F01").empty());
    EXPECT_TRUE(logData(testsupport::readFile(log), "5F05").empty());
    for (const std::string& call : display.calls)
        EXPECT_EQ(call.rfind("update_progress", 0), std::string::npos);
}

TEST_P(UpdaterEntityTest, UEIByteArraysWithPooledPackets) {
    start({{"ueiData", true}}, {{"pooled", true}});
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
    const Bytes block = makeBlock(kAddress, 1000);
    ASSERT_EQ(transfer(block), aErrNone);
    EXPECT_TRUE(logData(testsupport::readFile(log), "5F01").empty()) << "no data packets";
    EXPECT_TRUE(rebootAndDump() == expectedFlash(block));
}

TEST_P(UpdaterEntityTest, ModuleWithoutUEIDataSaysSo) {
    start();
    EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
    const Bytes block = makeBlock(kAddress, 100);
    ASSERT_EQ(transfer(block), aErrNone);
    EXPECT_FALSE(logData(testsupport::readFile(log), "5F01").empty()) << "packets instead";
}

TEST_P(UpdaterEntityTest, ShortCountGetsTheSameBytesAgain) {
    start({{"faults", {{"shortCountOnce", true}}}});
    const Bytes block = makeBlock(kAddress, 60);
    ASSERT_EQ(transfer(block), aErrNone);
    const std::vector<std::string> data = logData(testsupport::readFile(log), "5F01");
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(data[0], data[1]);
    EXPECT_EQ(data.size(), 4u);
    EXPECT_TRUE(rebootAndDump() == expectedFlash(block));
}

TEST_P(UpdaterEntityTest, PacketAcknowledgedShortEveryTimeIsSentTenTimesMoreThenFails) {
    start({{"faults", {{"shortCountAlways", true}}}});
    const Bytes block = makeBlock(kAddress, 60);
    EXPECT_EQ(transfer(block), aErrPacket);
    const std::vector<std::string> data = logData(testsupport::readFile(log), "5F01");
    // The first packet, then ten more of the same bytes; nothing after it
    // and no write of the failed chunk.
    ASSERT_EQ(data.size(), 11u);
    for (const std::string& d : data)
        EXPECT_EQ(d, data[0]);
    EXPECT_TRUE(logData(testsupport::readFile(log), "5F05").empty());
}

TEST_P(UpdaterEntityTest, ProtocolFaultsGiveTheirCodes) {
    struct Case {
        nlohmann::json faults;
        aErr prepare;
        aErr transfer;
    } cases[] = {
        {{{"wrongSum", "always"}}, aErrNone, aErrInvalidOption},
        {{{"noReplyTo", {4}}}, aErrNone, aErrPacket},
        {{{"noReplyTo", {1}}}, aErrNone, aErrPacket},
        {{{"noReplyTo", {5}}}, aErrNone, aErrInvalidOption},
        {{{"noReplyTo", {3}}}, aErrTimeout, aErrTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.dump());
        module.reset();
        sim.reset();
        start({{"faults", c.faults}});
        const Bytes block = makeBlock(kAddress, 100);
        unsigned short blockSize = 0;
        aErr err = entity.TransferPrepare(block.data(), block.size(), 0, blockSize);
        EXPECT_EQ(err, c.prepare);
        if (err == aErrNone) {
            EXPECT_EQ(entity.FirmwareTransfer(block.data(), block.size(), blockSize, display),
                      c.transfer);
        }
    }
}

TEST_P(UpdaterEntityTest, WrongSumOnceFailsThenANewPrepareSucceeds) {
    start({{"faults", {{"wrongSum", "once"}}}});
    const Bytes block = makeBlock(kAddress, 300);
    EXPECT_EQ(transfer(block), aErrInvalidOption);
    ASSERT_EQ(transfer(block), aErrNone);
    EXPECT_TRUE(rebootAndDump() == expectedFlash(block));
}

TEST_P(UpdaterEntityTest, LoaderInitAndStart) {
    start();
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    const Bytes loader = makeBlock(0x20000000, 100);
    unsigned short blockSize = 0;
    ASSERT_EQ(entity.TransferPrepare(loader.data(), loader.size(), 0, blockSize), aErrNone);
    EXPECT_EQ(entity.LoaderTransfer(loader.data(), loader.size()), aErrNone);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
}

TEST_P(UpdaterEntityTest, LoaderStartAfterReattachIsConfirmed) {
    if (GetParam() == Transport::Serial)
        GTEST_SKIP() << "a reattached pty gets a new name; reconnecting by name cannot follow it";
    start({{"load", "reattach"}});
    EXPECT_EQ(entity.LoaderInit(), aErrNone);
    EXPECT_EQ(entity.LoaderStart(), aErrNone);
    EXPECT_TRUE(module->isConnected());
}

TEST_P(UpdaterEntityTest, SilentLoaderStartTimesOut) {
    start({{"load", "silent"}});
    EXPECT_EQ(entity.LoaderStart(), aErrTimeout);
}

TEST_P(UpdaterEntityTest, RebootWaitsForTheLinkToDrop) {
    start();
    entity.setRebootWaitBound(kUpgradeRebootWaitMs);
    const Bytes block = makeBlock(kAddress, 50);
    ASSERT_EQ(transfer(block), aErrNone);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    EXPECT_FALSE(module->isConnected());
    EXPECT_EQ(display.calls.back(), "update_spinner 0 Verifying Update");
}

TEST_P(UpdaterEntityTest, RebootThatKeepsTheLinkIsGivenUpAfterTheBound) {
    start({{"faults", {{"rebootNoDrop", true}}}});
    constexpr unsigned int kBoundMs = 1500;
    entity.setRebootWaitBound(kBoundMs);
    const auto begin = Clock::now();
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    const auto took = Clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(kBoundMs));
    EXPECT_LT(took, std::chrono::milliseconds(kBoundMs + 2000));
    EXPECT_TRUE(module->isConnected());
}

TEST_P(UpdaterEntityTest, NoLinkDropWaitDrawsAtMostOneSpinnerStep) {
    start({{"faults", {{"rebootNoDrop", true}}}});
    entity.init(module.get(), 0, true, true);
    EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
    int steps = 0;
    for (const std::string& call : display.calls)
        steps += call == "update_spinner 1 Verifying Update";
    EXPECT_LE(steps, 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, UpdaterEntityTest,
                         ::testing::Values(Transport::TCP, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return std::string(simtest::transportName(info.param));
                         });

} // namespace
