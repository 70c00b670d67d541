// Tests of the simulator's upgrade entity (command 95) at the wire: the
// firmware sequence (prepare, data packets or one UEI byte array, sum,
// write, reboot), the flash model and its dump, the firmware descriptor that
// decides what the module reports after the reboot, the loader start, and the
// fault switches of the upgrade protocol.
#include <fstream>

#include "tests/sim/SimClient.h"

namespace {

using namespace simtest;
using namespace std::chrono_literals;

constexpr uint8_t kUp = 95;
constexpr uint32_t kImageAddr = 0x1000;

// A test image: `size` bytes with a firmware descriptor at 0x100 (magic,
// build, version, model, little-endian) and a serial word at 0x80.
Bytes makeImage(std::size_t size, uint32_t build, uint32_t version, uint32_t model,
                uint32_t serial = 0, bool descriptor = true) {
    Bytes img(size);
    for (std::size_t i = 0; i < size; ++i)
        img[i] = static_cast<uint8_t>(i * 13 + 5);
    auto le = [&](std::size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b)
            img[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    if (descriptor) {
        le(0x100, 0xC0DE5EED);
        le(0x104, build);
        le(0x108, version);
        le(0x10C, model);
    }
    le(0x80, serial);
    return img;
}

nlohmann::json upgradeConfig(nlohmann::json upgrade = nlohmann::json::object()) {
    upgrade["flashDump"] = "@DIR@/flash.bin";
    if (!upgrade.contains("rebootMs"))
        upgrade["rebootMs"] = 100;
    return {{"serial", "40F5849A"}, {"model", 21},          {"version", 1},
            {"build", 1},           {"tcp", "127.0.0.1:0"}, {"upgrade", upgrade}};
}

struct Exchange {
    Client& c;
    std::string ask(const Bytes& req) {
        c.sendPacket(2, req);
        auto p = c.readPacket();
        return p ? hex(p->data) : std::string("none");
    }
};

// Sends one block of the firmware sequence by data packets and writes it.
void transferBlock(Client& c, uint32_t addr, const Bytes& image, uint16_t expectBlock) {
    Exchange x{c};
    Bytes prep{kUp,
               3,
               0,
               static_cast<uint8_t>(addr >> 24),
               static_cast<uint8_t>(addr >> 16),
               static_cast<uint8_t>(addr >> 8),
               static_cast<uint8_t>(addr)};
    ASSERT_EQ(x.ask(prep), hex({kUp, 7, 0, uint8_t(expectBlock >> 8), uint8_t(expectBlock)}));
    for (std::size_t off = 0; off < image.size(); off += expectBlock) {
        std::size_t chunk = std::min<std::size_t>(expectBlock, image.size() - off);
        uint32_t sum = 0;
        for (std::size_t p = 0; p < chunk; p += 26) {
            std::size_t n = std::min<std::size_t>(26, chunk - p);
            Bytes d{kUp, 1};
            d.insert(d.end(), image.begin() + long(off + p), image.begin() + long(off + p + n));
            ASSERT_EQ(x.ask(d), hex({kUp, 1, uint8_t(n)}));
            for (std::size_t i = 0; i < n; ++i)
                sum += image[off + p + i];
        }
        ASSERT_EQ(x.ask({kUp, 4}), hex({kUp, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16),
                                        uint8_t(sum >> 8), uint8_t(sum)}));
        ASSERT_EQ(x.ask({kUp, 5, uint8_t(chunk >> 8), uint8_t(chunk)}), "5F0700");
    }
}

// Reconnects after a reboot, within a bound.
std::unique_ptr<Client> reconnect(Sim& sim) {
    for (int i = 0; i < 50; ++i) {
        auto c = sim.connect();
        if (c) {
            c->send({0xAD, 0});
            if (c->readPacket(200ms))
                return c;
        }
        usleep(20000);
    }
    return nullptr;
}

Bytes readFlash(Sim& sim) {
    std::string s = testsupport::readFile(sim.dir.file("flash.bin"));
    return Bytes(s.begin(), s.end());
}

TEST(UpgradeSim, FirmwareByPacketsIsWrittenAndTheDescriptorRunsAfterTheReboot) {
    Sim sim(Sim::FromJson{},
            upgradeConfig({{"blockSize", 256}, {"serialAddress", kImageAddr + 0x80}}));
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    Bytes image = makeImage(600, 4321, 0x2F020F03, 21, 0x40F5849A);
    transferBlock(*c, kImageAddr, image, 256);
    c->sendPacket(2, {kUp, 6}); // reboot: no reply, the link drops
    EXPECT_TRUE(c->closedWithin(2000ms));
    auto again = reconnect(sim);
    ASSERT_TRUE(again);
    Exchange x{*again};
    EXPECT_EQ(x.ask(get(3, 7)), "0307002F020F03");
    EXPECT_EQ(x.ask({73, 0xFF}), "49FF000010E1");
    EXPECT_EQ(x.ask(get(3, 9)), "03090040F5849A");
    Bytes flash = readFlash(sim);
    ASSERT_EQ(flash.size(), 1u << 20);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + kImageAddr));
    EXPECT_EQ(flash[kImageAddr + image.size()], 0xFF) << "nothing written past the block";
}

TEST(UpgradeSim, GenericImageTakesItsSerialFromTheSerialWord) {
    Sim sim(Sim::FromJson{},
            upgradeConfig({{"blockSize", 1024}, {"serialAddress", kImageAddr + 0x80}}));
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    transferBlock(*c, kImageAddr, makeImage(400, 7, 0x2F010203, 21, 0x00000000), 1024);
    c->sendPacket(2, {kUp, 6});
    auto again = reconnect(sim);
    ASSERT_TRUE(again);
    // An unpatched generic image: the module comes back with serial 0.
    EXPECT_EQ(Exchange{*again}.ask(get(3, 9)), "03090000000000");
}

TEST(UpgradeSim, InvalidFirmwareLeavesTheModuleInItsLoaderWithAnErrorWord) {
    struct Case {
        const char* what;
        Bytes image;
    } cases[] = {
        {"no descriptor", makeImage(300, 9, 0x2F010000, 21, 0, false)},
        {"another model", makeImage(300, 9, 0x2F010000, 22)},
    };
    for (const Case& k : cases) {
        Sim sim(Sim::FromJson{}, upgradeConfig({{"blockSize", 1024}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        transferBlock(*c, kImageAddr, k.image, 1024);
        c->sendPacket(2, {kUp, 6});
        auto again = reconnect(sim);
        ASSERT_TRUE(again) << k.what;
        Exchange x{*again};
        EXPECT_EQ(x.ask(get(3, 7)), "03070000000000") << k.what;
        EXPECT_EQ(x.ask({73, 0xFF}), "49FF00000000") << k.what;
        EXPECT_EQ(x.ask(get(3, 41)), "032900F1A50BAD") << k.what;
        EXPECT_EQ(x.ask(get(3, 8)), "03080015") << k.what << ": the hardware model stays";
    }
}

TEST(UpgradeSim, UeiByteArrayDataWhenSupportedAndPooledFeatureBit) {
    nlohmann::json cfg = upgradeConfig({{"blockSize", 1024}, {"ueiData", true}});
    cfg["pooled"] = true;
    Sim sim(Sim::FromJson{}, cfg);
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    Exchange x{*c};
    EXPECT_EQ(x.ask({73, 1, 95, 10, 0, 0x80}), "49015F0A0000");
    EXPECT_EQ(x.ask(get(3, 45)), "032D0080000000");
    Bytes image = makeImage(1024, 55, 0x2F020000, 21);
    EXPECT_EQ(x.ask({kUp, 3, 0, 0, 0, 0x10, 0x00}), "5F07000400");
    sendArray(*c, 2, kUp, 10, image);
    auto ack = c->readPacket();
    ASSERT_TRUE(ack);
    EXPECT_EQ(hex(ack->data), "5FCA00");
    uint32_t sum = 0;
    for (uint8_t b : image)
        sum += b;
    EXPECT_EQ(x.ask({kUp, 4}), hex({kUp, 7, 0, uint8_t(sum >> 24), uint8_t(sum >> 16),
                                    uint8_t(sum >> 8), uint8_t(sum)}));
    EXPECT_EQ(x.ask({kUp, 5, 0x04, 0x00}), "5F0700");
    sim.dumpState();
    Bytes flash = readFlash(sim);
    ASSERT_GE(flash.size(), kImageAddr + image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + kImageAddr));
}

TEST(UpgradeSim, WithoutUeiDataSupportOption10IsRefused) {
    Sim sim(Sim::FromJson{}, upgradeConfig());
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    Exchange x{*c};
    EXPECT_EQ(x.ask({73, 1, 95, 10, 0, 0x80}), "49015F0A001D");
    sendArray(*c, 2, kUp, 10, Bytes(30, 1));
    auto p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5FCA801D");
}

TEST(UpgradeSim, LoaderSequenceInitPrepareDataSumLoad) {
    Sim sim(Sim::FromJson{}, upgradeConfig({{"loadBase", "0x20001000"}}));
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    Exchange x{*c};
    EXPECT_EQ(x.ask({kUp, 0}), "5F0020001000");
    EXPECT_EQ(x.ask({kUp, 3, 0, 0x20, 0, 0x10, 0}), "5F07000100");
    EXPECT_EQ(x.ask({kUp, 1, 1, 2, 3}), "5F0103");
    EXPECT_EQ(x.ask({kUp, 4}), "5F070000000006");
    EXPECT_EQ(x.ask({kUp, 2}), "5F02");
    auto st = sim.dumpState();
    EXPECT_EQ(st["modules"][0]["upgrade"]["loaderBytes"], 3);
    EXPECT_EQ(st["modules"][0]["upgrade"]["bytesWritten"], 0) << "a loader is not flashed";
}

TEST(UpgradeSim, LoaderThatReattachesAnnouncesItsStartOnTheNewConnection) {
    Sim sim(Sim::FromJson{}, upgradeConfig({{"load", "reattach"}}));
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->sendPacket(2, {kUp, 2});
    EXPECT_TRUE(c->closedWithin(2000ms));
    std::unique_ptr<Client> again;
    for (int i = 0; i < 50 && !again; ++i) {
        again = sim.connect();
        if (!again)
            usleep(20000);
    }
    ASSERT_TRUE(again);
    auto p = again->readPacket(2000ms);
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5F02");
}

TEST(UpgradeSim, FaultSwitchesOfTheUpgradeProtocol) {
    {
        Sim sim(Sim::FromJson{},
                upgradeConfig({{"faults", {{"wrongSum", "once"}, {"shortCountOnce", true}}}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        Exchange x{*c};
        x.ask({kUp, 3, 0, 0, 0, 0x10, 0});
        EXPECT_EQ(x.ask({kUp, 1, 1, 2, 3}), "5F0102") << "acknowledged short once";
        EXPECT_EQ(x.ask({kUp, 1, 1, 2, 3}), "5F0103");
        EXPECT_EQ(x.ask({kUp, 4}), "5F070000000007") << "wrong sum once";
        EXPECT_EQ(x.ask({kUp, 4}), "5F070000000006");
    }
    {
        Sim sim(Sim::FromJson{},
                upgradeConfig({{"faults", {{"wrongSum", "always"}, {"noReplyTo", {5}}}}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        Exchange x{*c};
        x.ask({kUp, 3, 0, 0, 0, 0x10, 0});
        x.ask({kUp, 1, 9});
        EXPECT_EQ(x.ask({kUp, 4}), "5F07000000000A");
        EXPECT_EQ(x.ask({kUp, 4}), "5F07000000000A");
        c->sendPacket(2, {kUp, 5, 0, 1});
        EXPECT_FALSE(c->readPacket(300ms)) << "no reply to the write";
    }
    {
        Sim sim(Sim::FromJson{}, upgradeConfig({{"faults", {{"dropAfterData", 2}}}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        Exchange x{*c};
        x.ask({kUp, 3, 0, 0, 0, 0x10, 0});
        EXPECT_EQ(x.ask({kUp, 1, 9}), "5F0101");
        c->sendPacket(2, {kUp, 1, 9});
        EXPECT_TRUE(c->closedWithin(2000ms)) << "dropped in the middle of the block";
    }
    {
        Sim sim(Sim::FromJson{}, upgradeConfig({{"faults", {{"rebootNoDrop", true}}}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        c->sendPacket(2, {kUp, 6});
        EXPECT_FALSE(c->closedWithin(500ms)) << "the link stays up";
        EXPECT_EQ(Exchange{*c}.ask(get(3, 8)), "03080015") << "and still answers";
    }
    {
        Sim sim(Sim::FromJson{}, upgradeConfig({{"load", "silent"}}));
        ASSERT_TRUE(sim.ready);
        auto c = sim.connect();
        ASSERT_TRUE(c);
        c->sendPacket(2, {kUp, 2});
        EXPECT_FALSE(c->readPacket(300ms));
    }
}

} // namespace
