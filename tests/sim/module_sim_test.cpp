// Wire-level tests of the module simulator: a small client of the test's own
// speaks raw bytes to corvantis-sim over TCP and a pseudo-terminal and checks
// what comes back against the packet format (address, length, data), the UEI
// reply forms, byte-array chunking, store slots, factory data, heartbeats and
// the fault switches. Nothing here uses the device library.
#include "tests/sim/SimClient.h"

namespace {

using namespace simtest;
using namespace std::chrono_literals;

TEST(ModuleSim, PrintsEndpointLinesThenReady) {
    Sim sim({"--tcp", "127.0.0.1:0", "--pty", "--serial", "0A1B2C3D"});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.tcpPorts.size(), 1u);
    ASSERT_EQ(sim.ptys.size(), 1u);
    EXPECT_NE(sim.tcpPorts[0], 0);
    EXPECT_NE(sim.lines[0].find("serial=0A1B2C3D"), std::string::npos);
}

TEST(ModuleSim, AnswersMagicFromItsAddressSoASyncSequenceReads_A0A0) {
    Sim sim({"--address", "6"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    // The host's synchronisation: six cmdMAGIC packets in one burst.
    Bytes burst;
    for (int i = 0; i < 6; ++i)
        burst.insert(burst.end(), {0xAD, 0x00});
    c->send(burst);
    EXPECT_EQ(hex(c->readBytes(12)), "060006000600060006000600");
    EXPECT_TRUE(c->readBytes(1, kQuietWait).empty()) << "one answer per cmdMAGIC";
}

TEST(ModuleSim, SystemGetsAnswerInTheReplyFormWithTheValueWidthOfTheOption) {
    Sim sim({"--serial", "12345678", "--model", "7", "--version", "0x2F020B05", "--build", "4660",
             "--address", "4", "--option", "4=1"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    struct Case {
        Bytes request;
        std::string reply; // data bytes in hex
    } cases[] = {
        {get(3, 7), "0307002F020B05"}, // version, 32-bit
        {get(3, 9), "030900"
                    "12345678"},                     // serial number
        {get(3, 8), "03080007"},                     // model, one byte
        {get(3, 1), "03010004"},                     // module address
        {get(3, 2), "03020004"},                     // router address defaults to its own
        {get(3, 4), "03040001"},                     // LED as configured
        {get(3, 43), "032B0000001234"},              // build
        {{3, 0x40 | 39, 0x20, 0}, "03270012345678"}, // unique id word 0 = serial
        {{73, 0xFF}, "49FF00001234"},                // module information: build
        {{73, 1, 3, 7, 0, 0x40}, "490103070000"},    // entity present: version get
        {{73, 1, 3, 7, 0, 0x80}, "49010307001D"},    // version is read-only
        {{73, 1, 95, 10, 0, 0x80}, "49015F0A001D"},  // upgrade data by UEI: off by default
        {{73, 1, 50, 1, 0, 0x40}, "49013201001C"},   // no entity 50
        {{73, 4, 3}, "49040301"},                    // one system entity
        {{23, 9, 8, 7}, "17090807"},                 // debug echo
        {set(3, 4, {0}), "03C400"},                  // LED set: option|0xC0, plain index
        {get(3, 4), "03040000"},                     // and it took
    };
    for (const Case& k : cases) {
        c->sendPacket(4, k.request);
        auto p = c->readPacket();
        ASSERT_TRUE(p) << "no reply to " << hex(k.request);
        EXPECT_EQ(p->addr, 4);
        EXPECT_EQ(hex(p->data), k.reply) << "request " << hex(k.request);
    }
}

TEST(ModuleSim, ErrorRepliesCarryTheCodeAfterTheSpecifierWithBit7) {
    Sim sim({"--error", "3:12:21"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    struct Case {
        Bytes request;
        std::string reply;
    } cases[] = {
        {get(3, 5), "0305801D"},               // no option 5: aErrInvalidOption
        {get(3, 63), "033F801D"},              // none beyond the table either
        {set(3, 7, {0, 0, 0, 1}), "03C7801D"}, // a read-only option refuses a set
        {get(50, 1), "3201801C"},              // unknown entity: aErrInvalidEntity
        {get(3, 7, 1), "0307811A"},            // index 1 of the one system entity: aErrIndexRange
        {{3, 0x40 | 39, 0x20, 4}, "0327801A"}, // unique id has words 0..3
        {get(3, 12), "030C8015"},              // the error switch: aErrUnimplemented
        {set(3, 2, {}), "03C2800E"},           // a set without its value: aErrSize
    };
    for (const Case& k : cases) {
        c->sendPacket(2, k.request);
        auto p = c->readPacket();
        ASSERT_TRUE(p) << "no reply to " << hex(k.request);
        EXPECT_EQ(hex(p->data), k.reply) << "request " << hex(k.request);
    }
    // Packets for another address and unknown raw commands get no answer.
    c->sendPacket(8, get(3, 7));
    c->sendPacket(2, {24, 1});
    EXPECT_FALSE(c->readPacket(kQuietWait));
}

TEST(ModuleSim, ByteArraysTravelInChunksOf24WithSequenceAndContinueFlag) {
    Sim sim({});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    for (std::size_t size : {0u, 1u, 24u, 25u, 50u, 1000u, 3100u}) {
        Bytes value(size);
        for (std::size_t i = 0; i < size; ++i)
            value[i] = static_cast<uint8_t>(i * 7 + size);
        sendArray(*c, 2, 3, 32, value);
        auto ack = c->readPacket();
        ASSERT_TRUE(ack) << size;
        EXPECT_EQ(hex(ack->data), "03E000") << "one reply after the last chunk, size " << size;
        c->sendPacket(2, get(3, 32));
        std::vector<Pkt> raw;
        auto back = readArray(*c, 3, 32, &raw);
        ASSERT_TRUE(back) << size;
        EXPECT_EQ(*back, value) << size;
        EXPECT_EQ(raw.size(), size == 0 ? 1 : (size + 23) / 24) << size;
    }
}

TEST(ModuleSim, FiftyByteArrayHasTheDocumentedTrailers) {
    Sim sim({"--option", "32=" + std::string(50, 'x')});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->sendPacket(2, get(3, 32));
    std::vector<Pkt> raw;
    for (int i = 0; i < 3; ++i) {
        auto p = c->readPacket();
        ASSERT_TRUE(p);
        raw.push_back(*p);
    }
    EXPECT_EQ(raw[0].data.size(), 28u);
    EXPECT_EQ(raw[0].data.back(), 0x80);
    EXPECT_EQ(raw[1].data.size(), 28u);
    EXPECT_EQ(raw[1].data.back(), 0x81);
    EXPECT_EQ(raw[2].data.size(), 6u);
    EXPECT_EQ(raw[2].data.back(), 0x02);
}

TEST(ModuleSim, ArrayChunkOutOfSequenceIsRefused) {
    Sim sim({});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    Bytes first{3, 0x80 | 32, 0x20};
    first.insert(first.end(), 24, 'a');
    first.push_back(0x80);                      // sequence 0, more follows
    Bytes third{3, 0x80 | 32, 0x20, 'b', 0x02}; // sequence 2: 1 is missing
    c->sendPacket(2, first);
    c->sendPacket(2, third);
    auto p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "03E08018"); // aErrPacket
}

TEST(ModuleSim, ReorderFaultSwapsSecondAndThirdChunk) {
    Sim sim({"--reorder-chunks", "--option", "32=" + std::string(60, 'y')});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->sendPacket(2, get(3, 32));
    std::vector<uint8_t> trailers;
    for (int i = 0; i < 3; ++i) {
        auto p = c->readPacket();
        ASSERT_TRUE(p);
        trailers.push_back(p->data.back());
    }
    EXPECT_EQ(hex(trailers), "800281");
}

TEST(ModuleSim, StoreSlotWriteReadCloseAndErrors) {
    Sim sim({});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    auto ask = [&](const Bytes& req) {
        c->sendPacket(2, req);
        auto p = c->readPacket();
        return p ? hex(p->data) : std::string("none");
    };
    EXPECT_EQ(ask({4, 1, 0, 1}), "0401000104"
                                 "00");           // capacity 1024
    EXPECT_EQ(ask({4, 2, 0, 1}), "040200010000"); // empty
    EXPECT_EQ(ask({4, 1, 0, 9}), "0481000903");   // no slot 9: aErrNotFound
    std::string open = ask({4, 4, 0, 1});
    ASSERT_EQ(open.size(), 10u);
    uint8_t h = static_cast<uint8_t>(std::stoi(open.substr(8), nullptr, 16));
    EXPECT_EQ(ask({4, 3, 0, 1}), "0483000105"); // already open: aErrBusy
    Bytes data(60);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    for (std::size_t off = 0; off < data.size(); off += 25) {
        std::size_t n = std::min<std::size_t>(25, data.size() - off);
        Bytes req{4, 7, h};
        uint8_t sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            req.push_back(data[off + i]);
            sum = static_cast<uint8_t>(sum + data[off + i]);
        }
        EXPECT_EQ(ask(req), hex({4, 7, h, sum}));
    }
    EXPECT_EQ(ask({4, 8, h}), hex({4, 8, h, 0}));
    EXPECT_EQ(ask({4, 8, h}), hex({4, 0x88, h, 2})); // closed handle: aErrParam
    EXPECT_EQ(ask({4, 2, 0, 1}), "04020001003C");    // 60 bytes now
    std::string ropen = ask({4, 3, 0, 1});
    ASSERT_EQ(ropen.size(), 10u);
    uint8_t rh = static_cast<uint8_t>(std::stoi(ropen.substr(8), nullptr, 16));
    Bytes back;
    for (int i = 0; i < 3; ++i) {
        c->sendPacket(2, {4, 6, rh});
        auto p = c->readPacket();
        ASSERT_TRUE(p);
        back.insert(back.end(), p->data.begin() + 3, p->data.end());
    }
    EXPECT_EQ(back, data);
    EXPECT_EQ(ask({4, 8, rh}), hex({4, 8, rh, 0}));
    // The state dump shows what was written.
    auto st = sim.dumpState();
    ASSERT_FALSE(st.is_null());
    EXPECT_EQ(st["modules"][0]["stores"][0]["slots"][1]["data"], "hex:" + hex(data));
}

TEST(ModuleSim, FactoryDataReadsIn26ByteRepliesAndWritesCommitAtTheEnd) {
    Bytes initial(30);
    for (std::size_t i = 0; i < initial.size(); ++i)
        initial[i] = static_cast<uint8_t>(0xA0 + i);
    Sim sim({});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    // Write selector 2: first packet with 0x40|0x10, then 0x10, then the end.
    c->sendPacket(2, [&] {
        Bytes b{94, 0x52};
        b.insert(b.end(), initial.begin(), initial.begin() + 26);
        return b;
    }());
    auto p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5E02");
    c->sendPacket(2, {94, 0x12, initial[26], initial[27], initial[28], initial[29]});
    p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5E02");
    c->sendPacket(2, {94, 0x20, 0, 30});
    p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5E00");
    // Read it back: a full reply (28 data bytes) means more follows.
    c->sendPacket(2, {94, 0x42});
    p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data.size(), 28u);
    Bytes back(p->data.begin() + 2, p->data.end());
    c->sendPacket(2, {94, 0x02});
    p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->data.size(), 6u);
    back.insert(back.end(), p->data.begin() + 2, p->data.end());
    EXPECT_EQ(back, initial);
    c->sendPacket(2, {94, 0x20, 0, 29}); // a wrong count: aErrSize
    p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "5E800E");
}

TEST(ModuleSim, HeartbeatsComeAtTheIntervalAndAnswersAreChecked) {
    Sim sim({"--heartbeat-ms", "100"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    std::vector<std::chrono::steady_clock::time_point> at;
    std::vector<uint8_t> counters;
    auto end = std::chrono::steady_clock::now() + 1500ms;
    while (counters.size() < 8 && std::chrono::steady_clock::now() < end) {
        auto p = c->readPacket(500ms, true);
        ASSERT_TRUE(p) << "heartbeat missing";
        ASSERT_EQ(p->addr, 2);
        ASSERT_EQ(p->data.size(), 2u);
        ASSERT_EQ(p->data[0], 0);
        at.push_back(std::chrono::steady_clock::now());
        counters.push_back(p->data[1]);
        // Answer all but the fourth, and the seventh wrongly.
        if (counters.size() == 7)
            c->sendPacket(2, {0, static_cast<uint8_t>(p->data[1] + 1)});
        else if (counters.size() != 4)
            c->sendPacket(2, {0, static_cast<uint8_t>(p->data[1] + 2)});
    }
    ASSERT_EQ(counters.size(), 8u);
    for (std::size_t i = 1; i < counters.size(); ++i)
        EXPECT_EQ(counters[i], uint8_t(counters[i - 1] + 1));
    auto span = std::chrono::duration_cast<std::chrono::milliseconds>(at.back() - at.front());
    // Seven intervals of 100 ms; generous bounds, this is not a timing test.
    EXPECT_GE(span.count(), 500);
    EXPECT_LE(span.count(), 1400);
    // System option 3 reads the interval in steps of 100 ms. Its reply also
    // shows that the answers sent before it have been taken in.
    c->sendPacket(2, get(3, 3));
    auto p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(hex(p->data), "03030001");
    auto st = sim.dumpState();
    ASSERT_FALSE(st.is_null());
    const auto& hb = st["modules"][0]["heartbeats"];
    EXPECT_EQ(hb["answered"], 6);
    EXPECT_EQ(hb["wrong"], 1);
    EXPECT_GE(hb["missed"].get<int>(), 1);
    // Setting it to 0 stops them.
    c->sendPacket(2, set(3, 3, {0}));
    ASSERT_TRUE(c->readPacket());
    c->readPacket(150ms, true); // one may have been on its way
    EXPECT_FALSE(c->readPacket(kQuietWait, true));
}

TEST(ModuleSim, GarbageBeforeRepliesIsWrittenAsConfigured) {
    Sim sim({"--garbage", "FF0103", "--garbage-every", "2"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->send({0xAD, 0, 0xAD, 0, 0xAD, 0});
    EXPECT_EQ(hex(c->readBytes(9)), "0200"
                                    "FF0103"
                                    "0200"
                                    "0200");
}

TEST(ModuleSim, SilentAfterNPacketsAnswersNothingMore) {
    Sim sim({"--silent-after", "2"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->send({0xAD, 0, 0xAD, 0, 0xAD, 0});
    EXPECT_EQ(hex(c->readBytes(6, kQuietWait * 2)), "02000200");
}

TEST(ModuleSim, DelayHoldsRepliesBack) {
    Sim sim({"--delay-ms", "300"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    auto t0 = std::chrono::steady_clock::now();
    c->send({0xAD, 0});
    EXPECT_TRUE(c->readBytes(2, 150ms).empty());
    EXPECT_EQ(hex(c->readBytes(2)), "0200");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
}

TEST(ModuleSim, DropAfterNResetsTheConnectionOnceAndServesTheNext) {
    Sim sim({"--drop-after", "2"});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    c->send({0xAD, 0});
    EXPECT_EQ(hex(c->readBytes(2)), "0200");
    c->send({0xAD, 0});
    EXPECT_TRUE(c->closedWithin(kReplyWait));
    auto again = sim.connect();
    ASSERT_TRUE(again);
    again->send({0xAD, 0});
    EXPECT_EQ(hex(again->readBytes(2)), "0200");
    EXPECT_NE(sim.log().find("drop"), std::string::npos);
}

TEST(ModuleSim, SerialLinkOverAPseudoTerminalWithResync) {
    Sim sim({"--pty", "--address", "8"});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.ptys.size(), 1u);
    auto c = Client::serial(sim.ptys[0]);
    ASSERT_TRUE(c);
    // Odd bytes and a bogus length before the request are skipped.
    c->send({0x01, 0xFF, 0x04, 0x1F, 0x08, 0x03, 0x03, 0x49, 0x20});
    auto p = c->readPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->addr, 8);
    EXPECT_EQ(hex(p->data), "03090040F5849A");
    EXPECT_NE(sim.log().find("rx serial=40F5849A ep=pty1 addr=08 len=3 data=034920"),
              std::string::npos);
    EXPECT_NE(sim.log().find("ep=pty1 skip n=4"), std::string::npos);
}

TEST(ModuleSim, SeveralModulesFromOneConfigurationFile) {
    testsupport::TempDir dir;
    nlohmann::json cfg = {
        {"modules",
         {{{"serial", "11111111"}, {"tcp", "127.0.0.1:0"}, {"address", 2}},
          {{"serial", "22222222"},
           {"tcp", "127.0.0.1:0"},
           {"address", 4},
           {"faults", {{"errors", {{{"cmd", 3}, {"option", 7}, {"code", 21}}}}}}}}}};
    ASSERT_TRUE(testsupport::writeFile(dir.file("cfg.json"), cfg.dump()));
    Sim sim({"--config", dir.file("cfg.json")});
    ASSERT_TRUE(sim.ready);
    ASSERT_EQ(sim.tcpPorts.size(), 2u);
    auto a = sim.connect(0);
    auto b = sim.connect(1);
    ASSERT_TRUE(a && b);
    a->sendPacket(2, get(3, 9));
    b->sendPacket(4, get(3, 9));
    auto pa = a->readPacket();
    auto pb = b->readPacket();
    ASSERT_TRUE(pa && pb);
    EXPECT_EQ(hex(pa->data), "03090011111111");
    EXPECT_EQ(hex(pb->data), "03090022222222");
    b->sendPacket(4, get(3, 7));
    pb = b->readPacket();
    ASSERT_TRUE(pb);
    EXPECT_EQ(hex(pb->data), "03078015");
}

TEST(ModuleSim, SaveAndResetKeepOnlySavedSettingsAndStateIsWrittenAtExit) {
    Sim sim({});
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    auto call = [&](const Bytes& req) {
        c->sendPacket(2, req);
        auto p = c->readPacket();
        return p ? hex(p->data) : std::string("none");
    };
    EXPECT_EQ(call(set(3, 6, {3})), "03C600"); // boot slot 3
    EXPECT_EQ(call(set(3, 10, {})), "03CA00"); // save
    EXPECT_EQ(call(set(3, 6, {5})), "03C600"); // boot slot 5, not saved
    EXPECT_EQ(call(set(3, 11, {})), "03CB00"); // reset
    EXPECT_EQ(call(get(3, 6)), "03060003");
    sim.proc->stop();
    auto st = nlohmann::json::parse(testsupport::readFile(sim.dir.file("state.json")));
    EXPECT_EQ(st["modules"][0]["resetCount"], 1);
    EXPECT_EQ(st["modules"][0]["saveCount"], 1);
    EXPECT_EQ(st["modules"][0]["options"]["6"], 3);
}

TEST(ModuleSim, RouterForwardsToItsNetworkAndAnswersI2CProbes) {
    nlohmann::json cfg = {
        {"serial", "D272031D"},
        {"address", 2},
        {"tcp", "127.0.0.1:0"},
        {"network",
         {{{"serial", "11111111"}, {"address", 4}, {"model", 9}},
          {{"serial", "22222222"}, {"address", 10}, {"upgrade", {{"rebootMs", 50}}}}}}};
    Sim sim(Sim::FromJson{}, cfg);
    ASSERT_TRUE(sim.ready);
    auto c = sim.connect();
    ASSERT_TRUE(c);
    auto ask = [&](uint8_t addr, const Bytes& req) {
        c->sendPacket(addr, req);
        auto p = c->readPacket();
        return p ? hex({p->addr}) + ":" + hex(p->data) : std::string("none");
    };
    EXPECT_EQ(ask(2, set(3, 20, {1})), "02:03D400"); // route to me
    // I2C writes of two zero bytes at speed 3: a module answers, a gap fails.
    EXPECT_EQ(ask(2, {8, 0, 4, 2, 3, 0, 0}), "02:0800040000");
    EXPECT_EQ(ask(2, {8, 0, 6, 2, 3, 0, 0}), "02:0800060086");
    EXPECT_EQ(ask(2, {8, 0, 10, 2, 3, 0, 0}), "02:08000A0000");
    // Packets for a network module come back from its address.
    EXPECT_EQ(ask(4, get(3, 9)), "04:03090011111111");
    EXPECT_EQ(ask(4, get(3, 8)), "04:03080009");
    EXPECT_EQ(ask(10, get(3, 9)), "0A:03090022222222");
    EXPECT_EQ(ask(6, get(3, 9)), "none");
    // A routed module that reboots does not take the router's link down.
    c->sendPacket(10, {95, 6});
    EXPECT_FALSE(c->closedWithin(300ms));
    EXPECT_EQ(ask(10, {73, 0xFF}), "0A:49FF00000000"); // back in its loader: no firmware
    EXPECT_EQ(ask(2, set(3, 20, {0})), "02:03D400");
    auto st = sim.dumpState();
    ASSERT_FALSE(st.is_null());
    EXPECT_EQ(st["modules"][0]["routeToMeHistory"], nlohmann::json::array({1, 0}));
    EXPECT_EQ(st["modules"][0]["network"][1]["upgrade"]["reboots"], 1);
}

TEST(ModuleSim, BadConfigurationExitsWith2) {
    testsupport::TempDir dir;
    ASSERT_TRUE(testsupport::writeFile(dir.file("bad.json"),
                                       R"({"modules": [{"upgrade": {"load": "later"}}]})"));
    ASSERT_TRUE(testsupport::writeFile(dir.file("twice.json"),
                                       R"({"network": [{"address": 4}, {"address": 4}]})"));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--address", "3"}, "address"},
        {{"--serial", "XYZ"}, "not a number"},
        {{"--error", "3:7"}, "--error"},
        {{"--config", dir.file("missing.json")}, "cannot read"},
        {{"--config", dir.file("bad.json")}, "upgrade.load"},
        {{"--config", dir.file("twice.json")}, "two modules at address 4"},
    };
    for (const Case& k : cases) {
        std::vector<std::string> argv{testsupport::buildPath("corvantis-sim")};
        argv.insert(argv.end(), k.args.begin(), k.args.end());
        auto r = testsupport::runProcess(argv);
        EXPECT_EQ(r.status, 2) << k.message;
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
    }
}

} // namespace
