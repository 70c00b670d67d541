// End-to-end runs of the update command (-U): the real Updater against a
// simulated module reached by TCP/IP discovery inside the test's own network
// namespace, with the store in a temporary directory. Every successful update
// is checked against the module's flash dump, byte for byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestSupport.h"

namespace {

using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr unsigned int kSerial = 0x40F5849A;
const std::string kSerialText = "40F5849A";
constexpr unsigned int kOtherSerial = 0x11223344;
constexpr unsigned int kModel = 0x15; // shown as CV-LOAD1
const std::string kModelName = "CV-LOAD1";
constexpr uint32_t kFlashSize = 0x10000;
constexpr uint32_t kImageAddress = 0x1000;
constexpr uint32_t kImageSize = 3000;         // 12 chunks of 256 and a short one
constexpr uint32_t kSerialOffset = 0x80;      // serial word, from the image start
constexpr uint32_t kDescriptorOffset = 0x100; // firmware descriptor
constexpr uint32_t kDescriptorMagic = 0xC0DE5EED;
constexpr uint32_t kNewBuild = 1234;
constexpr uint32_t kNewVersion = 0x2F020304; // 2.3.4, as the BIRD file says
// No update server answers here: the server's build query fails at once.
const std::string kNoServer = "http://127.0.0.1:9/cgi/u";
// Bound of one Updater run: room for the 30-second bound of the reboot wait
// should a module's reboot not show as a link drop.
constexpr std::chrono::seconds kUpdaterTimeout{50};
constexpr std::chrono::seconds kSimReady{10};
// How long the simulated module stays off its links while it reboots: longer
// than one poll of the reboot wait, or the link engine's reconnection hides
// the drop from it.
constexpr int kRebootMs = 1000;

void putLE32(Bytes& image, uint32_t at, uint32_t value) {
    for (int b = 0; b < 4; ++b)
        image[at + b] = static_cast<uint8_t>(value >> (8 * b));
}

// The image bytes of the test firmware: a pattern, a descriptor the module
// recognises after its reboot, and `serial` in the serial word.
Bytes makeImage(uint32_t build, uint32_t serial, uint32_t model = kModel) {
    Bytes image(kImageSize);
    for (uint32_t i = 0; i < kImageSize; ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    putLE32(image, kDescriptorOffset, kDescriptorMagic);
    putLE32(image, kDescriptorOffset + 4, build);
    putLE32(image, kDescriptorOffset + 8, kNewVersion);
    putLE32(image, kDescriptorOffset + 12, model);
    putLE32(image, kSerialOffset, serial);
    return image;
}

// What the flash must hold after writing `image` at kImageAddress.
std::string expectedFlash(const Bytes& image) {
    std::string flash(kFlashSize, '\xFF');
    for (size_t i = 0; i < image.size(); ++i)
        flash[kImageAddress + i] = static_cast<char>(image[i]);
    return flash;
}

std::string hex32(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", v);
    return text;
}

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "[" << part << "] not in:\n" << text;
}

struct BirdOptions {
    bool generic = true;               // serial-number offsets block
    uint32_t infoSerial = kSerial;     // serial field of the info block
    std::string model = kModelName;    // model field of the info block
    uint32_t imageSerial = 0xFFFFFFFF; // serial word inside the image
    uint32_t imageModel = kModel;      // model in the firmware descriptor
    bool loader = false;               // a loader block before the firmware
};

class UpdaterUpdate : public ::testing::Test {
protected:
    TempDir tmp;
    std::string storeParent = tmp.file("home");
    std::string deviceDir = storeParent + "/updater/" + kSerialText;
    std::string flashDump = tmp.file("flash.bin");
    std::string simLog = tmp.file("packets.log");
    std::unique_ptr<BackgroundProcess> sim;
    uint16_t simPort = 0;
    std::string serverUrl = kNoServer;

    // Writes a BIRD file with one firmware block (and optionally a loader
    // block) and returns the image bytes it carries.
    Bytes makeBird(const std::string& path, uint32_t build, const BirdOptions& o = {}) {
        Bytes image = makeImage(build, o.imageSerial, o.imageModel);
        const std::string source = path + ".img";
        EXPECT_TRUE(testsupport::writeFile(source, std::string(image.begin(), image.end())));
        char serialText[16];
        std::snprintf(serialText, sizeof serialText, "%08X", o.infoSerial);
        std::vector<std::string> argv = {testsupport::buildPath("tools/birdtool/birdtool"),
                                         "create",
                                         "-o",
                                         path,
                                         "--info",
                                         std::to_string(build) + ":2.3.4:" + serialText + ":" +
                                             o.model};
        if (o.generic) {
            argv.push_back("--serial-offsets");
            argv.push_back(hex32(kImageAddress + kSerialOffset) + ":0");
        }
        if (o.loader) {
            argv.push_back("--loader");
            argv.push_back("0x20000000:0:counter:100");
        }
        argv.push_back("--firmware");
        argv.push_back(hex32(kImageAddress) + ":0:" + source);
        ProcessResult r = testsupport::runProcess(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        return image;
    }

    // Puts a BIRD file for `build` into the module's store directory.
    Bytes storeBird(uint32_t build, const BirdOptions& o = {}) {
        mkdir(storeParent.c_str(), 0755);
        mkdir((storeParent + "/updater").c_str(), 0755);
        mkdir(deviceDir.c_str(), 0755);
        return makeBird(deviceDir + "/" + std::to_string(build) + ".bird", build, o);
    }

    // Starts the simulated module with the given upgrade settings and
    // discovery, and waits until it is ready.
    void startSim(nlohmann::json upgrade = nlohmann::json::object(),
                  nlohmann::json extra = nlohmann::json::object()) {
        upgrade["flashBase"] = 0;
        upgrade["flashSize"] = kFlashSize;
        upgrade["flashDump"] = flashDump;
        upgrade["serialAddress"] = kImageAddress + kSerialOffset;
        if (!upgrade.contains("rebootMs"))
            upgrade["rebootMs"] = kRebootMs;
        nlohmann::json module = {{"serial", kSerialText}, {"model", kModel},    {"version", 1},
                                 {"build", 1000},         {"tcp", "0.0.0.0:0"}, {"discovery", true},
                                 {"upgrade", upgrade}};
        for (auto& item : extra.items())
            module[item.key()] = item.value();
        const std::string config = tmp.file("sim.json");
        ASSERT_TRUE(testsupport::writeFile(config, module.dump()));
        sim.reset();
        sim = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{testsupport::buildPath("corvantis-sim"), "--config", config,
                                     "--log", simLog, "--max-runtime", "120"});
        std::string line;
        bool ready = false;
        while (sim->readLine(line, kSimReady)) {
            if (line.rfind("tcp ", 0) == 0)
                simPort = static_cast<uint16_t>(std::atoi(line.c_str() + line.find(':', 4) + 1));
            if (line == "ready") {
                ready = true;
                break;
            }
        }
        ASSERT_TRUE(ready) << "the simulator did not come up";
    }

    // A module that rebooted keeps its TCP port closed for a moment, as a real
    // one does: wait (boundedly) until it accepts connections again.
    bool waitModuleBack() {
        const auto deadline = std::chrono::steady_clock::now() + kSimReady;
        while (std::chrono::steady_clock::now() < deadline) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(simPort);
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            ::close(fd);
            if (up)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    ProcessResult updater(std::vector<std::string> args) {
        std::vector<std::string> argv = {testsupport::buildPath("Updater"), "-i", storeParent, "-u",
                                         serverUrl};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::ProcessOptions options;
        options.timeout = kUpdaterTimeout;
        return testsupport::runProcess(argv, options);
    }

    std::string flash() { return testsupport::readFile(flashDump); }

    // The module took `image`: its flash holds it byte for byte, and the
    // device list, once the module is back from its reboot, shows the
    // firmware it now runs.
    void expectUpdated(const Bytes& image) {
        EXPECT_TRUE(flash() == expectedFlash(image)) << "the flash differs from the image";
        ASSERT_TRUE(waitModuleBack());
        ProcessResult r = updater({"-D", "-t", "TCP"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, "    " + kSerialText + "  02       02      " + kModelName +
                                        "       2.3.4 (1234) ["));
    }
    std::string settings() { return testsupport::readFile(deviceDir + "/.settings"); }
};

TEST_F(UpdaterUpdate, FromStoreWithBuildPatchesSerialIntoGenericImage) {
    Bytes image = storeBird(kNewBuild);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Updating firmware with build: 1234"));
    EXPECT_TRUE(contains(r.out, "Transferring firmware block 1 of 1, 3004 bytes"));
    EXPECT_TRUE(contains(r.out, "Transferred 1 blocks, 3004 total bytes"));
    EXPECT_TRUE(contains(r.out, "Update time: "));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
    EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=1234.bird"));
    EXPECT_TRUE(contains(settings(), "LAST_TRANSFER_DATE="));
}

TEST_F(UpdaterUpdate, FromStoreUsesLatestDownloadThenLatestTransfer) {
    Bytes image = storeBird(kNewBuild);
    ASSERT_TRUE(testsupport::writeFile(deviceDir + "/.settings", "LATEST_DOWNLOAD=1234.bird\n"));
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Updating with the Latest Download"));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);

    // Only the transfer record is left: it chooses the build again.
    ASSERT_TRUE(waitModuleBack());
    ASSERT_TRUE(testsupport::writeFile(deviceDir + "/.settings", "LATEST_TRANSFER=1234.bird\n"));
    r = updater({"-U", "-d", kSerialText});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Updating with the Latest Transfer"));
}

TEST_F(UpdaterUpdate, DownloadThenUpdateTakesTheServersLatestBuild) {
    // The release on the update server; nothing in the store yet.
    const std::string release = tmp.file("tree/" + kSerialText + "/1234.bird");
    ASSERT_EQ(mkdir(tmp.file("tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(tmp.file("tree/" + kSerialText).c_str(), 0755), 0);
    Bytes image = makeBird(tmp.file("release.bird"), kNewBuild);
    ASSERT_EQ(std::rename(tmp.file("release.bird").c_str(), release.c_str()), 0);
    BackgroundProcess server({testsupport::buildPath("sim/update-server/corvantis-update-server"),
                              "--root", tmp.file("tree"), "--max-seconds", "120"});
    std::string port;
    ASSERT_TRUE(server.readLine(port)) << "the update server printed no port";
    serverUrl = "http://127.0.0.1:" + port + "/cgi/u";
    startSim();
    ProcessResult r = updater({"-G", "-U", "-d", kSerialText});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(testsupport::readFile(deviceDir + "/1234.bird") == testsupport::readFile(release))
        << "the store holds the server's file";
    EXPECT_TRUE(contains(settings(), "LATEST_DOWNLOAD=1234.bird"));
    EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=1234.bird"));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
}

TEST_F(UpdaterUpdate, NoBuildAnywhereFails) {
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Could not find valid build for this device."));
}

TEST_F(UpdaterUpdate, BuildNotInStoreFailsToLoadWithoutDownloading) {
    storeBird(kNewBuild);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", "999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Failed to load bird file"));
    EXPECT_FALSE(testsupport::fileExists(flashDump)) << "nothing may be written";
}

TEST_F(UpdaterUpdate, FromFileRecordsPathInNewStoreDirectory) {
    const std::string path = tmp.file("given.bird");
    Bytes image = makeBird(path, kNewBuild);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-f", path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Updating from Birdfile: " + path));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
    // The module had no store directory: the record goes into a new one.
    EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=" + path + "\n"));
}

TEST_F(UpdaterUpdate, DeviceSpecificImageForAnotherSerialFailsValidation) {
    BirdOptions o;
    o.generic = false;
    o.infoSerial = kOtherSerial;
    o.imageSerial = kOtherSerial;
    storeBird(kNewBuild, o);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Birdfile failed validation"));
    EXPECT_FALSE(testsupport::fileExists(deviceDir + "/.settings") &&
                 settings().find("LATEST_TRANSFER") != std::string::npos);
}

TEST_F(UpdaterUpdate, DeviceSpecificImageForThisSerialIsWrittenUnchanged) {
    BirdOptions o;
    o.generic = false;
    o.imageSerial = kSerial;
    Bytes image = storeBird(kNewBuild, o);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    expectUpdated(image);
}

TEST_F(UpdaterUpdate, WrongModelFailsWithModelMessageAndOverrideTransfersAnyway) {
    BirdOptions o;
    o.model = "CV-TEMP8";
    Bytes image = storeBird(kNewBuild, o);
    startSim();
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "Connected device model and Bird file model do not match [CV-LOAD1] (0)"));
    EXPECT_TRUE(contains(r.err, "Birdfile failed validation"));

    r = updater({"-U", "-OVERRIDE", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
}

TEST_F(UpdaterUpdate, UEIByteArraysWriteTheSameFlash) {
    Bytes image = storeBird(kNewBuild);
    startSim({{"ueiData", true}}, {{"pooled", true}});
    ProcessResult r =
        updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild), "-X", "0x400"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "val_UPGRADE_DATA_UEI"));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
}

TEST_F(UpdaterUpdate, LoaderWhoseStartMakesTheModuleAttachAnew) {
    BirdOptions o;
    o.loader = true;
    Bytes image = storeBird(kNewBuild, o);
    startSim({{"load", "reattach"}});
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Transferring loader block 1 of 1, 104 bytes"));
    EXPECT_TRUE(contains(r.out, "Starting Load on Device"));
    putLE32(image, kSerialOffset, kSerial);
    expectUpdated(image);
}

// One fault of the module's upgrade entity per case: what the run shows and
// how it ends. Failed runs leave the attribute file as it was, and a run
// after the fault (the module restarted without it) succeeds.
struct FaultCase {
    const char* name;
    nlohmann::json upgrade;
    int status;
    std::vector<std::string> out; // lines expected on standard output
    std::vector<std::string> err; // lines expected on standard error
};

class UpdaterUpdateFault : public UpdaterUpdate, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpdaterUpdateFault, ShowsItsMessagesAndARetryAfterwardsSucceeds) {
    const FaultCase& c = GetParam();
    Bytes image = storeBird(kNewBuild);
    const std::string before = "LATEST_DOWNLOAD=1234.bird\nLATEST_TRANSFER=1000.bird\n";
    ASSERT_TRUE(testsupport::writeFile(deviceDir + "/.settings", before));
    startSim(c.upgrade);
    ProcessResult r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& line : c.out)
        EXPECT_TRUE(contains(r.out, line));
    for (const std::string& line : c.err)
        EXPECT_TRUE(contains(r.err, line));
    putLE32(image, kSerialOffset, kSerial);
    if (c.status != 0) {
        EXPECT_EQ(settings(), before) << "a failed update must not touch the attributes";
        startSim();
        r = updater({"-U", "-d", kSerialText, "-b", std::to_string(kNewBuild)});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    expectUpdated(image);
    EXPECT_TRUE(contains(settings(), "LATEST_TRANSFER=1234.bird"));
}

const FaultCase kFaults[] = {
    {"WrongSumOnceIsRetried",
     {{"faults", {{"wrongSum", "once"}}}},
     0,
     {"  Retry 1"},
     {"NETWORK: Unable to validate transfer"}},
    {"WrongSumAlwaysFailsAfterFiveAttempts",
     {{"faults", {{"wrongSum", "always"}}}},
     1,
     {"  Retry 4"},
     {"NETWORK: Unable to validate transfer", "NETWORK: Failed to transfer firmware"}},
    {"ShortCountIsSentAgain", {{"faults", {{"shortCountOnce", true}}}}, 0, {}, {}},
    {"ShortCountAlwaysFailsTheBlock",
     {{"faults", {{"shortCountAlways", true}}}},
     1,
     {"  Retry 4"},
     {"NETWORK: Failed to transfer firmware"}},
    {"NoPrepareReplyEndsTheBlock",
     {{"faults", {{"noReplyTo", {3}}}}},
     1,
     {"Transferred 0 blocks, 0 total bytes"},
     {}},
    {"NoWriteReplyFails",
     {{"faults", {{"noReplyTo", {5}}}}},
     1,
     {"  Retry 4"},
     {"NETWORK: Failed to transfer firmware"}},
    // The link comes back by itself; the block is sent again from its start.
    {"LinkDropInTheMiddleOfABlockIsRetried",
     {{"faults", {{"dropAfterData", 40}}}},
     0,
     {"  Retry 1"},
     {"NETWORK: Failed to transfer firmware"}},
    {"LoaderStartNeverAnsweredCountsAsStarted",
     {{"load", "silent"}},
     0,
     {"Starting Load on Device"},
     {}},
};

INSTANTIATE_TEST_SUITE_P(Faults, UpdaterUpdateFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
