// corvantis-update-server on its own, through an HTTP client that is not the
// updater's: the tree it serves, the replies it builds from BIRD info blocks,
// its input checks and its fault switches.
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/support/TestSupport.h"

namespace {

std::string birdtool() {
    return testsupport::buildPath("tools/birdtool/birdtool");
}

class UpdateServerSim : public ::testing::Test {
protected:
    testsupport::TempDir tmp;
    std::string tree = tmp.file("tree");
    std::string module = tree + "/40F5849A";
    std::unique_ptr<testsupport::BackgroundProcess> server;
    int port = 0;

    void SetUp() override {
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(module.c_str(), 0755), 0);
        // The info block after a large loader block, and a file without one.
        bird({"-o", module + "/100.bird", "--loader", "0:0:counter:200000", "--info",
              "100:1.2.3:40F5849A:MTM"});
        bird({"-o", module + "/200.bird", "--firmware", "0x1000:0:fill:64:0x11"});
        testsupport::writeFile(module + "/300.bird", "not a BIRD file at all");
        testsupport::writeFile(module + "/notes.txt", "ignored");
        testsupport::writeFile(module + "/12a.bird", "ignored: not a build number");
        testsupport::writeFile(tree + "/recovery.map",
                               "# w0 w1 w2 w3 serial build\n"
                               "00000001 DEADBEEF 00ABCDEF FFFFFFFF 40F5849A 100\n");
    }

    void bird(std::vector<std::string> args) {
        args.insert(args.begin(), {birdtool(), "create"});
        auto r = testsupport::runProcess(args);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    void start(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {
            testsupport::buildPath("sim/update-server/corvantis-update-server"), "--root", tree,
            "--max-seconds", "60"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        server = std::make_unique<testsupport::BackgroundProcess>(argv);
        std::string line;
        ASSERT_TRUE(server->readLine(line));
        port = std::stoi(line);
    }

    httplib::Result get(const std::string& target) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(10, 0);
        return client.Get(target.c_str());
    }
    std::string body(const std::string& target) {
        auto r = get(target);
        return r ? std::to_string(r->status) + " " + r->body : "no reply";
    }
};

TEST_F(UpdateServerSim, AnswersTheQueries) {
    start();
    EXPECT_EQ(body("/cgi/u?op=hi&rv=2&"), "200 ok\ncorvantis-update-server\n");
    EXPECT_EQ(body("/cgi/u?op=builds&sn=40F5849A&"), "200 ok\n100;1.2.3\n200;\n300;\n");
    // Lower-case serial numbers name the same folder.
    EXPECT_EQ(body("/cgi/u?op=builds&sn=40f5849a&"), "200 ok\n100;1.2.3\n200;\n300;\n");
    EXPECT_EQ(body("/cgi/u?op=qu&sn=40F5849A&"), "200 ok\n300\n\n");
    testsupport::writeFile(module + "/current", "100\n");
    EXPECT_EQ(body("/cgi/u?op=qu&sn=40F5849A&"), "200 ok\n100\n1.2.3\n");
    // A current file naming a build that does not exist is passed over.
    testsupport::writeFile(module + "/current", "999\n");
    EXPECT_EQ(body("/cgi/u?op=qu&sn=40F5849A&"), "200 ok\n300\n\n");
    EXPECT_EQ(body("/cgi/u?bld=300&fw=x&no_cal=false&op=bird&sn=40F5849A&"),
              "200 ok\nbm90IGEgQklSRCBmaWxlIGF0IGFsbA==\n");
    EXPECT_EQ(body("/cgi/u?brief=true&fp=00000001%20deadbeef%2000ABCDEF%20FFFFFFFF&op=fix&"),
              "200 ok\n40F5849A\n100\n");
}

TEST_F(UpdateServerSim, RefusesWhatItCannotAnswer) {
    start();
    struct Case {
        const char* target;
        const char* reply;
    } cases[] = {
        {"/cgi/u?op=qu&sn=../../etc&", "400 error\nbad serial number\n"},
        {"/cgi/u?op=qu&sn=0000ABC&", "400 error\nbad serial number\n"},
        {"/cgi/u?op=qu&sn=12345678&", "200 error\nunknown module 12345678\n"},
        {"/cgi/u?bld=../x&op=bird&sn=40F5849A&", "400 error\nbad build\n"},
        {"/cgi/u?bld=999&op=bird&sn=40F5849A&", "200 error\nno build 999 for 40F5849A\n"},
        {"/cgi/u?op=nope&", "400 error\nunknown op\n"},
        {"/cgi/u?brief=true&fp=1%202%203%204&op=fix&", "200 error\nunknown fingerprint\n"},
        {"/cgi/u?fp=1%202&op=fix&", "400 error\nbad fingerprint\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(body(c.target), c.reply) << c.target;
    auto r = get("/elsewhere?op=hi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
}

TEST_F(UpdateServerSim, FaultSwitchesApplyToTheNamedOps) {
    start({"--fault-op", "qu,builds", "--status", "502", "--first-line", "error", "--crlf"});
    EXPECT_EQ(body("/cgi/u?op=hi&rv=2&"), "200 ok\ncorvantis-update-server\n");
    EXPECT_EQ(body("/cgi/u?op=qu&sn=40F5849A&"), "502 error\r\n300\r\n\r\n");
    EXPECT_EQ(body("/cgi/u?op=builds&sn=40F5849A&"), "502 error\r\n100;1.2.3\r\n200;\r\n300;\r\n");
}

TEST_F(UpdateServerSim, TruncatedBodyEndsTheConnectionEarly) {
    start({"--truncate", "4"});
    auto r = get("/cgi/u?op=builds&sn=40F5849A&");
    // The client sees a reply shorter than announced: no complete result.
    EXPECT_FALSE(r && r->body == "ok\n100;1.2.3\n200;\n300;\n");
    if (r) {
        EXPECT_LE(r->body.size(), 4u);
    }
}

TEST_F(UpdateServerSim, LogsEveryRequestTarget) {
    const std::string log = tmp.file("requests.log");
    start({"--log", log});
    body("/cgi/u?op=hi&rv=2&");
    body("/cgi/u?json=false&op=ent_jwt&sn=40F5849A&");
    EXPECT_EQ(testsupport::readFile(log),
              "GET /cgi/u?op=hi&rv=2&\nGET /cgi/u?json=false&op=ent_jwt&sn=40F5849A&\n");
}

TEST_F(UpdateServerSim, StopsOnTermAndAfterItsLifetime) {
    start();
    EXPECT_EQ(server->stop(), 0);
    start({"--max-seconds", "1"});
    std::string line;
    // The server ends by itself: its output closes within a few seconds.
    EXPECT_FALSE(server->readLine(line, std::chrono::seconds(10)));
    // Its output may close a moment before it is gone: wait, with a bound.
    bool running = true;
    for (int i = 0; i < 500 && (running = server->running()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(running);
}

TEST_F(UpdateServerSim, RejectsBadCommandLines) {
    const std::string program = testsupport::buildPath("sim/update-server/corvantis-update-server");
    for (std::vector<std::string> argv : {std::vector<std::string>{program},
                                          {program, "--root"},
                                          {program, "--root", tree, "--status", "99"},
                                          {program, "--root", tree, "--delay-ms", "-1"},
                                          {program, "--root", tree, "--bogus", "1"}}) {
        auto r = testsupport::runProcess(argv);
        EXPECT_EQ(r.status, 2) << argv.size();
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
}

} // namespace
