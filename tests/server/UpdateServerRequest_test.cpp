// UpdateServerRequest: what each query sends, and how each reads the replies
// that a server may give, well-formed or not. The replies come from a real
// HTTP server on loopback.
#include "server/UpdateServerRequest.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "CannedServer.h"
#include "app/Log.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr uint32_t kSerial = 0xABCD;

class UpdateServerRequestTest : public ::testing::Test {
protected:
    CannedServer server;
    std::string url = server.url();
    const char* u() { return url.c_str(); }
    std::string lastTarget() {
        auto t = server.targets();
        return t.empty() ? "" : t.back();
    }
};

TEST_F(UpdateServerRequestTest, PingAcceptsOnlyOkWithStatus200) {
    struct Case {
        int status;
        const char* body;
        bool ok;
    } cases[] = {
        {200, "ok\n", true},     {200, "okay\n", true}, {200, "\n\nok", true}, {500, "ok\n", false},
        {200, "error\n", false}, {200, "", false},      {200, "o\n", false},   {200, "OK\n", false},
        {404, "ok\n", false},    {200, " ok\n", false},
    };
    for (const auto& c : cases) {
        server.set("hi", c.status, c.body);
        EXPECT_EQ(UpdateServerRequest::ping(u()), c.ok) << c.status << " [" << c.body << "]";
    }
    EXPECT_EQ(lastTarget(), "/cgi/u?op=hi&rv=2&");
}

TEST_F(UpdateServerRequestTest, FailuresAreLoggedWithStatusOrURL) {
    testsupport::TempDir dir;
    FILE* out = std::fopen(dir.file("log").c_str(), "w+");
    ASSERT_NE(out, nullptr);
    Log::SetOutput(out);
    Log::ActivatePackage(DEBUG_ServerComm);
    server.set("hi", 500, "ok\n");
    EXPECT_FALSE(UpdateServerRequest::ping(u()));
    server.set("builds", 500, "ok\n");
    std::map<std::string, std::string> builds;
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, u()));
    server.set("qu", 200, "error\n");
    std::string b, f;
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, b, f, u()));
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(stderr);
    std::fclose(out);
    const std::string log = testsupport::readFile(dir.file("log"));
    EXPECT_NE(log.find("PING ==> [500] [ok\n]\n"), std::string::npos) << log;
    EXPECT_NE(log.find("GetBuildList ==> [500] [ok\n]\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ServerCommClass: QueryBuild failed [" + url + "?op=qu&sn=0000ABCD&]\n"),
              std::string::npos)
        << log;
}

TEST_F(UpdateServerRequestTest, UnreachableServerFailsEveryQuery) {
    CannedServer* gone = new CannedServer;
    const std::string deadURL = gone->url();
    delete gone;
    std::string b = "keep", f = "keep", data = "x", token = "keep";
    std::map<std::string, std::string> builds{{"1", "1.0.0"}};
    uint32_t sn = 7, bld = 9;
    const uint32_t fp[4] = {1, 2, 3, 4};
    EXPECT_FALSE(UpdateServerRequest::ping(deadURL.c_str()));
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(kSerial, b, f, deadURL.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(kSerial, "fw", "1", data, deadURL.c_str(), false));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(kSerial, builds, deadURL.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fp, sn, bld, deadURL.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetDeviceJWT(kSerial, token, deadURL.c_str()));
    EXPECT_EQ(b, "keep");
    EXPECT_EQ(f, "keep");
    EXPECT_EQ(data, "") << "emptied before the request";
    EXPECT_TRUE(builds.empty()) << "emptied before the request";
    EXPECT_EQ(sn, 7u);
    EXPECT_EQ(bld, 9u);
    EXPECT_EQ(token, "keep");
}

TEST_F(UpdateServerRequestTest, QueryBuildReadsBuildAndFirmware) {
    struct Case {
        const char* body;
        bool ok;
        const char* build;
        const char* firmware;
    } cases[] = {
        {"ok\n1234\n2.11.2\n", true, "1234", "2.11.2"},
        {"ok\r\n1234\r\n2.11.2\r\n", true, "1234", "2.11.2"},
        {"ok\n\n1234\n\n2.11.2", true, "1234", "2.11.2"}, // empty lines are skipped
        {"ok\n1234\n", true, "1234", "old"},              // no line 3: firmware kept
        {"ok\n", false, "old", "old"},                    // no build: nothing to read
        {"error\n1234\n2.11.2\n", false, "old", "old"},
    };
    for (const auto& c : cases) {
        server.set("qu", 200, c.body);
        std::string build = "old", firmware = "old";
        EXPECT_EQ(UpdateServerRequest::QueryBuild(kSerial, build, firmware, u()), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
    EXPECT_EQ(lastTarget(), "/cgi/u?op=qu&sn=0000ABCD&");
}

TEST_F(UpdateServerRequestTest, GetBuildSendsItsParametersInNameOrder) {
    server.set("bird", 200, "ok\nQUJD\n");
    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(kSerial, "X", "1234", data, u(), false));
    EXPECT_EQ(lastTarget(), "/cgi/u?bld=1234&fw=X&no_cal=false&op=bird&sn=0000ABCD&");
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0x40F5849A, "2.11.2", "7", data, u(), true));
    EXPECT_EQ(lastTarget(), "/cgi/u?bld=7&fw=2.11.2&no_cal=true&op=bird&sn=40F5849A&");
}

TEST_F(UpdateServerRequestTest, GetBuildTakesLineTwoAsSent) {
    struct Case {
        int status;
        const char* body;
        bool ok;
        const char* data;
    } cases[] = {
        {200, "ok\nQUJD\n", true, "QUJD"},       {200, "ok\nQUJD", true, "QUJD"},
        {200, "ok\nQUJD\r\n", true, "QUJD\r"}, // the carriage return stays (and fails decoding)
        {200, "ok\nQUJD\nmore\n", true, "QUJD"}, {200, "ok\n", true, ""}, // success without a file
        {200, "error\nQUJD\n", false, ""},       {503, "ok\nQUJD\n", false, ""},
    };
    for (const auto& c : cases) {
        server.set("bird", c.status, c.body);
        std::string data = "stale";
        EXPECT_EQ(UpdateServerRequest::GetBuild(kSerial, "X", "1", data, u(), false), c.ok)
            << c.body;
        EXPECT_EQ(data, c.data) << c.body;
    }
}

TEST_F(UpdateServerRequestTest, GetBuildListReadsEntries) {
    server.set("builds", 200, "ok\n1234;2.11.2\n1240;2.12.0\n12\n1250\n");
    std::map<std::string, std::string> builds{{"999", "stale"}};
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, u()));
    const std::map<std::string, std::string> expected{
        {"1234", "2.11.2"}, {"1240", "2.12.0"}, {"1250", ""}};
    EXPECT_EQ(builds, expected);
    EXPECT_EQ(lastTarget(), "/cgi/u?op=builds&sn=0000ABCD&");
}

TEST_F(UpdateServerRequestTest, GetBuildListEdgeCases) {
    struct Case {
        const char* body;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"ok\n1234;1.0.0\n1234;2.0.0\n", {{"1234", "1.0.0"}}}, // first version kept
        {"ok\r\n1234;2.11.2\r\n1240\r\n", {{"1234", "2.11.2"}, {"1240", ""}}},
        {"ok\n1234;2.11.2;extra\n", {{"1234", "2.11.2"}}},
        {"ok\n;;;\n", {}},                       // no build before the first delimiter
        {"ok\nabc;1.0.0\n", {{"abc", "1.0.0"}}}, // kept as text; the caller judges it
        {"ok\n", {}},
    };
    for (const auto& c : cases) {
        server.set("builds", 200, c.body);
        std::map<std::string, std::string> builds;
        EXPECT_TRUE(UpdateServerRequest::GetBuildList(kSerial, builds, u())) << c.body;
        EXPECT_EQ(builds, c.expected) << c.body;
    }
}

TEST_F(UpdateServerRequestTest, GetRecoveryInfoReadsSerialAndBuild) {
    struct Case {
        const char* body;
        bool ok;
        uint32_t serial;
        uint32_t build;
    } cases[] = {
        {"ok\n0000ABCD\n0x10\n", true, 0xABCD, 16},
        {"ok\n0000ABCD\n010\n", true, 0xABCD, 8},
        {"ok\n0000ABCD\n1234\n", true, 0xABCD, 1234},
        {"ok\n40F5849Azz\n99x\n", true, 0x40F5849A, 99}, // conversion stops at unfit characters
        {"ok\n0000ABCD\n", false, 1, 2},                 // no build line
        {"ok\n", false, 1, 2},
        {"error\n0000ABCD\n16\n", false, 1, 2},
    };
    const uint32_t fp[4] = {0x1, 0xDEADBEEF, 0x00ABCDEF, 0xFFFFFFFF};
    for (const auto& c : cases) {
        server.set("fix", 200, c.body);
        uint32_t serial = 1, build = 2;
        EXPECT_EQ(UpdateServerRequest::GetRecoveryInfo(fp, serial, build, u()), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
    EXPECT_EQ(lastTarget(),
              "/cgi/u?brief=true&fp=00000001%20DEADBEEF%2000ABCDEF%20FFFFFFFF&op=fix&");
}

TEST_F(UpdateServerRequestTest, GetDeviceJWTReadsThreeParts) {
    struct Case {
        const char* body;
        bool ok;
        const char* token;
    } cases[] = {
        {"ok\naa.bb.cc\r\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
        {"ok\naa.bb.cc.dd\n", true, "aa.bb.cc.dd"},
        {"ok\na.bb.cc\n", false, "old"},
        {"ok\naa.b.cc\n", false, "old"},
        {"ok\naa.bb.c\n", false, "old"},
        {"ok\naa.bb.\r\n", false, "old"},
        {"ok\naabbcc\n", false, "old"},
        {"ok\naa.bbcc\n", false, "old"},
        {"ok\nab\n", false, "old"},
        {"ok\n", false, "old"},
        {"error\naa.bb.cc\n", false, "old"},
    };
    for (const auto& c : cases) {
        server.set("ent_jwt", 200, c.body);
        std::string token = "old";
        EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(kSerial, token, u()), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
    EXPECT_EQ(lastTarget(), "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&");
}

TEST(SplitCorvantisVersion, ExactlyThreeParts) {
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("1.2.3"), (V{"1", "2", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("1..3"), (V{"1", "", "3"}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion(".."), (V{"", "", ""}));
    EXPECT_EQ(UpdateServerRequest::SplitCorvantisVersion("10.200.3000"), (V{"10", "200", "3000"}));
    for (const char* bad : {"1.2", "1.2.3.4", "", "123", "1.2.3.", ".1.2.3", "1....."})
        EXPECT_TRUE(UpdateServerRequest::SplitCorvantisVersion(bad).empty()) << bad;
}

} // namespace
