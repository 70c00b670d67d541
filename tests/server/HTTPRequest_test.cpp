// HTTPRequest: the request URL, replies of any status, bodies in pieces, and
// the failures that must surface as runtime errors instead of hanging.
#include "server/HTTPRequest.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include <gtest/gtest.h>

#include "CannedServer.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(HTTPRequest, BuildURL) {
    struct Case {
        std::map<std::string, std::string> params;
        const char* expected;
    } cases[] = {
        {{}, "http://h/cgi/u"},
        {{{"b", "2"}, {"a", "1"}}, "http://h/cgi/u?a=1&b=2&"},
        // Byte-wise key order: upper case before lower case, "no_cal" after "fw".
        {{{"sn", "0000ABCD"}, {"op", "bird"}, {"no_cal", "false"}, {"fw", "X"}, {"bld", "1234"}},
         "http://h/cgi/u?bld=1234&fw=X&no_cal=false&op=bird&sn=0000ABCD&"},
        {{{"a", "x"}, {"B", "y"}}, "http://h/cgi/u?B=y&a=x&"},
        // Values go out verbatim.
        {{{"fp", "1%202"}}, "http://h/cgi/u?fp=1%202&"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", c.params), c.expected);
}

TEST(HTTPRequest, GetReturnsStatusBodyAndURL) {
    CannedServer server;
    server.set("hi", 200, "ok\nthere\n");
    HTTPResponse r = HTTPRequest::GET(server.url().c_str(), {{"rv", "2"}, {"op", "hi"}});
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_STREQ(r.get_response(), "ok\nthere\n");
    EXPECT_EQ(std::string(r.get_request()), server.url() + "?op=hi&rv=2&");
    ASSERT_EQ(server.targets().size(), 1u);
    EXPECT_EQ(server.targets()[0], "/cgi/u?op=hi&rv=2&");
}

TEST(HTTPRequest, EmptyParameterMapSendsNoQuery) {
    CannedServer server;
    server.setDefault(200, "plain");
    HTTPResponse r = HTTPRequest::GET(server.url().c_str(), {});
    EXPECT_EQ(std::string(r.get_request()), server.url());
    ASSERT_EQ(server.targets().size(), 1u);
    EXPECT_EQ(server.targets()[0], "/cgi/u");
}

TEST(HTTPRequest, ErrorStatusIsANormalResult) {
    CannedServer server;
    for (int status : {404, 500}) {
        server.set("x", status, "sorry " + std::to_string(status));
        HTTPResponse r = HTTPRequest::GET(server.url().c_str(), {{"op", "x"}});
        EXPECT_EQ(r.get_status(), status);
        EXPECT_EQ(r.body(), "sorry " + std::to_string(status));
    }
}

TEST(HTTPRequest, BodyInManyChunksIsConcatenatedInOrder) {
    CannedServer server;
    std::string body;
    for (int i = 0; i < 50000; ++i)
        body += static_cast<char>('A' + i % 26);
    server.set("big", 200, body, 7);
    HTTPResponse r = HTTPRequest::GET(server.url().c_str(), {{"op", "big"}});
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_EQ(r.body(), body);
}

TEST(HTTPRequest, BodyWithNulBytesIsKeptWhole) {
    CannedServer server;
    const std::string body("a\0b\0c", 5);
    server.set("nul", 200, body);
    HTTPResponse r = HTTPRequest::GET(server.url().c_str(), {{"op", "nul"}});
    EXPECT_EQ(r.body(), body);
}

// A port on loopback that nothing listens on: a closed port found by binding
// and closing a socket.
int closedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST(HTTPRequest, UnreachableServerThrowsCurlText) {
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/cgi/u";
    try {
        HTTPRequest::GET(url.c_str(), {{"op", "hi"}});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Couldn't connect to server");
    }
}

TEST(HTTPRequest, OnlyHttpAndHttpsAreFetched) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("secret"), "ok\n");
    const std::string url = "file://" + dir.file("secret");
    EXPECT_THROW(HTTPRequest::GET(url.c_str(), {}), std::runtime_error);
}

TEST(HTTPRequest, SilentServerIsGivenUpOnAfterTheLowSpeedTime) {
    // A listening socket that never accepts: the connection is made by the
    // kernel, the request is sent, and no byte ever comes back.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(s, 4), 0);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u";

    setenv("UPDATER_HTTP_LOW_SPEED_TIME", "1", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HTTPRequest::GET(url.c_str(), {{"op", "hi"}}), std::runtime_error);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    unsetenv("UPDATER_HTTP_LOW_SPEED_TIME");
    close(s);
    // Well below the 60 s default: the override took effect.
    EXPECT_LT(elapsed, std::chrono::seconds(15));
}

TEST(HTTPRequest, HttpsPeerCertificateIsVerified) {
    // A TLS server with a self-signed certificate that no CA vouches for:
    // the request must fail verification instead of trusting it.
    testsupport::TempDir dir;
    auto made = testsupport::runProcess({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                         "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout",
                                         dir.file("key.pem"), "-out", dir.file("cert.pem")});
    if (made.status != 0)
        GTEST_SKIP() << "openssl could not make a certificate: " << made.err;
    httplib::SSLServer server(dir.file("cert.pem").c_str(), dir.file("key.pem").c_str());
    ASSERT_TRUE(server.is_valid());
    server.Get("/cgi/u", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("ok\n", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    for (int i = 0; i < 200 && !server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    std::string error;
    try {
        HTTPRequest::GET(url.c_str(), {{"op", "hi"}});
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    server.stop();
    thread.join();
    EXPECT_NE(error.find("certificate"), std::string::npos) << error;
}

} // namespace
