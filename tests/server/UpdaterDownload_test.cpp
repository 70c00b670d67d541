// The -G, -B, -L and -J commands end to end: the real Updater binary against
// corvantis-update-server on loopback, serving a tree of BIRD files made by
// birdtool, with the store in a temporary directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CannedServer.h"
#include "app/UpdaterDisplayInterface.h"
#include "tests/support/TestSupport.h"
#include "updater/Updater.h"

using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::TempDir;

namespace {

constexpr const char* kSerial = "0000ABCD";
// Longest time a server is kept running by one test.
constexpr const char* kServerLifetimeSeconds = "120";
constexpr std::chrono::seconds kUpdaterTimeout{30};

std::string birdtool() {
    return testsupport::buildPath("tools/birdtool/birdtool");
}
std::string serverProgram() {
    return testsupport::buildPath("sim/update-server/corvantis-update-server");
}

void makeBird(const std::string& path, const std::string& build, const std::string& version,
              const std::string& size = "3000") {
    ProcessResult r = testsupport::runProcess(
        {birdtool(), "create", "-o", path, "--info", build + ":" + version + ":" + kSerial + ":MTM",
         "--loader", "0x0:0:hex:00112233", "--firmware", "0x1000:1:counter:" + size});
    ASSERT_EQ(r.status, 0) << r.err;
}

// Every file below a directory, by path relative to it, with its bytes.
void snapshotInto(const std::string& root, const std::string& relative,
                  std::map<std::string, std::string>& out) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    DIR* d = opendir(path.c_str());
    if (!d)
        return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        struct stat st;
        if (stat((root + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out[rel + "/"] = "";
            snapshotInto(root, rel, out);
        } else {
            out[rel] = testsupport::readFile(root + "/" + rel);
        }
    }
    closedir(d);
}

std::map<std::string, std::string> snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    snapshotInto(root, "", out);
    return out;
}

class UpdaterDownload : public ::testing::Test {
protected:
    TempDir tmp;
    std::string tree = tmp.file("tree");
    std::string module = tree + "/" + kSerial;
    std::string storeParent = tmp.file("home");
    std::string store = storeParent + "/updater";
    std::string deviceDir = store + "/" + kSerial;
    std::string requestLog = tmp.file("requests.log");
    std::unique_ptr<BackgroundProcess> server;
    std::string url;

    void SetUp() override {
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(module.c_str(), 0755), 0);
        makeBird(module + "/1234.bird", "1234", "2.11.2");
        makeBird(module + "/1240.bird", "1240", "2.12.0");
        makeBird(module + "/1250.bird", "1250", "2.9.7");
    }

    // Starts the server on the tree with the given fault switches.
    void startServer(std::vector<std::string> extra = {}) {
        server.reset();
        std::vector<std::string> argv = {
            serverProgram(),       "--root", tree, "--log", requestLog, "--max-seconds",
            kServerLifetimeSeconds};
        argv.insert(argv.end(), extra.begin(), extra.end());
        server = std::make_unique<BackgroundProcess>(argv);
        std::string port;
        ASSERT_TRUE(server->readLine(port)) << "the server printed no port";
        url = "http://127.0.0.1:" + port + "/cgi/u";
    }

    ProcessResult updater(std::vector<std::string> args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {testsupport::buildPath("Updater"), "-i", storeParent, "-u",
                                         url};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::ProcessOptions options;
        options.env = env;
        options.timeout = kUpdaterTimeout;
        return testsupport::runProcess(argv, options);
    }

    std::string settings() { return testsupport::readFile(deviceDir + "/.settings"); }
};

// True when text has the shape: A an upper-case letter, a a lower-case one,
// d a digit, _ a digit or a space, anything else itself.
bool hasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const char k = shape[i];
        const bool ok = k == 'A'   ? std::isupper(c)
                        : k == 'a' ? std::islower(c)
                        : k == 'd' ? std::isdigit(c)
                        : k == '_' ? (std::isdigit(c) || c == ' ')
                                   : c == static_cast<unsigned char>(k);
        if (!ok)
            return false;
    }
    return true;
}

// The last line of text, without its line break.
std::string lastLine(const std::string& text) {
    std::string t = text;
    if (!t.empty() && t.back() == '\n')
        t.pop_back();
    return t.substr(t.rfind('\n') == std::string::npos ? 0 : t.rfind('\n') + 1);
}

// Three dot-separated parts of at least 2 base64url characters each.
bool isToken(const std::string& text) {
    size_t parts = 0, run = 0;
    for (char c : text) {
        if (c == '.') {
            if (run < 2)
                return false;
            ++parts;
            run = 0;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') {
            ++run;
        } else {
            return false;
        }
    }
    return parts == 2 && run >= 2;
}

::testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "[" << part << "] not in:\n" << text;
}

TEST_F(UpdaterDownload, GetLatestBuildStoresFileAndRecordsIt) {
    startServer();
    ProcessResult r = updater({"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Retrieving firmware for device with serial number 0000ABCD\n"
                                "No build specified\n"
                                "Using Latest build\n"
                                "Retrieving build 1250\n"
                                "Validating build 1250 with server\n"
                                "Build 1250 is valid\n"));
    // The highest build is current, whatever its version.
    EXPECT_EQ(testsupport::readFile(deviceDir + "/1250.bird"),
              testsupport::readFile(module + "/1250.bird"));
    const std::string s = settings();
    EXPECT_TRUE(contains(s, "LATEST_DOWNLOAD=1250.bird\n"));
    const size_t date = s.find("LAST_DOWNLOAD_DATE=");
    ASSERT_NE(date, std::string::npos) << s;
    const size_t from = date + std::strlen("LAST_DOWNLOAD_DATE=");
    EXPECT_TRUE(hasShape(s.substr(from, s.find('\n', from) - from), "Aaa Aaa _d dd:dd:dd dddd"))
        << s;
    EXPECT_TRUE(contains(s, "CREATED_TIME="));
    // The image request as the server saw it: names in order, trailing "&",
    // the firmware identifier from the current-build query.
    EXPECT_TRUE(contains(testsupport::readFile(requestLog),
                         "GET /cgi/u?bld=1250&fw=2.9.7&no_cal=false&op=bird&sn=0000ABCD&\n"));
}

TEST_F(UpdaterDownload, CurrentFileNamesTheCurrentBuild) {
    testsupport::writeFile(module + "/current", "1240\n");
    startServer();
    ProcessResult r = updater({"-G", "-d", "abcd"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Retrieving build 1240\n"));
    EXPECT_TRUE(testsupport::fileExists(deviceDir + "/1240.bird"));
    EXPECT_FALSE(testsupport::fileExists(deviceDir + "/1250.bird"));
}

TEST_F(UpdaterDownload, GetNamedBuildReplacesStoredFile) {
    startServer();
    ASSERT_EQ(mkdir(storeParent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(deviceDir.c_str(), 0755), 0);
    testsupport::writeFile(deviceDir + "/1234.bird", "stale bytes of an older download");
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "1234"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Retrieving firmware build 1234\nRetrieving build 1234\n"));
    EXPECT_EQ(testsupport::readFile(deviceDir + "/1234.bird"),
              testsupport::readFile(module + "/1234.bird"));
    EXPECT_TRUE(contains(settings(), "LATEST_DOWNLOAD=1234.bird\n"));
    // Nothing but the image and the attribute file: no temporary left over.
    auto files = snapshot(deviceDir);
    EXPECT_EQ(files.size(), 2u);
}

TEST_F(UpdaterDownload, BuildZeroMeansTheCurrentBuild) {
    startServer();
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Retrieving build 1250\n"));
}

TEST_F(UpdaterDownload, UnlistedBuildIsRefusedUnlessOverridden) {
    startServer();
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Validating build 999 with server\n"));
    EXPECT_TRUE(contains(r.err, "No valid build 999\n"));
    EXPECT_FALSE(testsupport::fileExists(deviceDir + "/999.bird"));
    EXPECT_EQ(testsupport::readFile(requestLog).find("op=bird"), std::string::npos);

    // With -OVERRIDE the image is asked for anyway; this server has none.
    r = updater({"-G", "-d", kSerial, "-b", "999", "-OVERRIDE"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "Override specified, skipping validation of build 999\n"));
    EXPECT_EQ(r.out.find("Validating"), std::string::npos);
    EXPECT_TRUE(contains(r.err, "Download failed\nFailed to retrieve a valid BIRD file\n"));
    EXPECT_TRUE(contains(testsupport::readFile(requestLog),
                         "GET /cgi/u?bld=999&fw=2.9.7&no_cal=false&op=bird&sn=0000ABCD&\n"));
    EXPECT_FALSE(testsupport::fileExists(deviceDir + "/999.bird"));
    EXPECT_EQ(settings().find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(UpdaterDownload, OverrideFetchesABuildTheListDoesNotOffer) {
    // The server holds 1300 but its list is made to fail, so only -OVERRIDE
    // gets it.
    makeBird(module + "/1300.bird", "1300", "3.0.0");
    startServer({"--fault-op", "builds", "--first-line", "error"});
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "1300"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "No valid build 1300\n"));
    r = updater({"-G", "-d", kSerial, "-b", "1300", "-OVERRIDE"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::readFile(deviceDir + "/1300.bird"),
              testsupport::readFile(module + "/1300.bird"));
}

TEST_F(UpdaterDownload, ListBuildsSortedByVersion) {
    startServer();
    ProcessResult r = updater({"-B", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Build List for device [0000ABCD]:\n\n"
                                "Build          \tVersion        \n"
                                "1240           \t2.12.0         \n"
                                "1234           \t2.11.2         \n"
                                "1250           \t2.9.7          \n"));
    EXPECT_TRUE(contains(testsupport::readFile(requestLog), "GET /cgi/u?op=builds&sn=0000ABCD&\n"));
}

TEST_F(UpdaterDownload, ListBuildsOfAModuleWithoutBuilds) {
    ASSERT_EQ(mkdir((tree + "/00000001").c_str(), 0755), 0);
    startServer();
    ProcessResult r = updater({"-B", "-d", "1"});
    // An answered query with an empty list is a success.
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "No builds found for device [00000001]\n"));
}

TEST_F(UpdaterDownload, ListLocalBuilds) {
    startServer();
    ASSERT_EQ(updater({"-G", "-d", kSerial, "-b", "1234"}).status, 0);
    ASSERT_EQ(updater({"-G", "-d", kSerial, "-b", "1240"}).status, 0);
    testsupport::writeFile(deviceDir + "/notes.txt", "hand-written notes\n");
    testsupport::writeFile(deviceDir + "/1299.bird", "BIRD but not one\n");
    server.reset(); // -L needs no server
    ProcessResult r = updater({"-L", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Build List for device [0000ABCD]:\n\n"
                                "Build          \tVersion        \n"));
    EXPECT_TRUE(contains(r.out, "1240           \t2.12.0         \n"
                                "1234           \t2.11.2         \n"));
    EXPECT_TRUE(contains(r.out, "1299           \t               \n"));
    EXPECT_TRUE(contains(r.out, "notes.txt      \t               \n"));
    EXPECT_EQ(r.out.find(".settings"), std::string::npos);
}

TEST_F(UpdaterDownload, ListLocalBuildsOfUnknownModule) {
    url = "http://127.0.0.1:9/cgi/u"; // not used by -L
    ProcessResult r = updater({"-L", "-d", "12345678"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "No builds found for device [12345678]\n"));
}

TEST_F(UpdaterDownload, FeatureToken) {
    startServer();
    ProcessResult r = updater({"-J", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(isToken(lastLine(r.out))) << r.out;
    testsupport::writeFile(module + "/jwt", "hdr.payload.sig\r\n");
    r = updater({"-J", "-d", kSerial});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nhdr.payload.sig\n"));
    EXPECT_TRUE(contains(testsupport::readFile(requestLog),
                         "GET /cgi/u?json=false&op=ent_jwt&sn=0000ABCD&\n"));
}

// Each fault of the server, with the command it hits: the documented error
// lines and exit 1, and the store exactly as it was.
TEST_F(UpdaterDownload, ServerFaultsFailWithoutTouchingTheStore) {
    struct Case {
        std::vector<std::string> faults;
        std::vector<std::string> command;
        std::vector<std::string> errors; // in this order on standard error
        const char* notOnStdout;
    } cases[] = {
        {{"--status", "500"}, {"-G", "-d", kSerial}, {"Server request failed for URL"}, nullptr},
        {{"--first-line", "error"},
         {"-G", "-d", kSerial},
         {"Server request failed for URL"},
         nullptr},
        {{"--fault-op", "qu", "--status", "404"},
         {"-G", "-d", kSerial},
         {"No build information for device"},
         nullptr},
        {{"--fault-op", "builds", "--status", "500"},
         {"-G", "-d", kSerial},
         {"No valid build 1250"},
         nullptr},
        {{"--fault-op", "bird", "--status", "500"},
         {"-G", "-d", kSerial},
         {"Download failed", "Failed to retrieve a valid BIRD file"},
         nullptr},
        {{"--fault-op", "bird", "--first-line", "error"},
         {"-G", "-d", kSerial},
         {"Download failed", "Failed to retrieve a valid BIRD file"},
         nullptr},
        {{"--fault-op", "bird", "--truncate", "200"},
         {"-G", "-d", kSerial},
         {"Download failed", "Failed to retrieve a valid BIRD file"},
         nullptr},
        // The image arrives, but with a carriage return that spoils the base64.
        {{"--fault-op", "bird", "--crlf"},
         {"-G", "-d", kSerial},
         {"Failed to retrieve a valid BIRD file"},
         nullptr},
        {{"--status", "503"}, {"-J", "-d", kSerial}, {"Server request failed for URL"}, nullptr},
        {{"--fault-op", "ent_jwt", "--first-line", "error"},
         {"-J", "-d", kSerial},
         {"Failed to retrieve jwt for 0000ABCD"},
         nullptr},
    };
    // A store that already holds a download, so that any change shows.
    startServer();
    ASSERT_EQ(updater({"-G", "-d", kSerial, "-b", "1234"}).status, 0);
    const auto before = snapshot(store);
    ASSERT_EQ(before.count(std::string(kSerial) + "/1234.bird"), 1u);

    for (const auto& c : cases) {
        std::string label;
        for (const auto& a : c.faults)
            label += a + " ";
        for (const auto& a : c.command)
            label += a + " ";
        SCOPED_TRACE(label);
        startServer(c.faults);
        ProcessResult r = updater(c.command);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        size_t at = 0;
        for (std::string e : c.errors) {
            const size_t u = e.find("URL");
            if (u != std::string::npos)
                e.replace(u, 3, url);
            const size_t found = r.err.find(e + "\n", at);
            EXPECT_NE(found, std::string::npos) << "[" << e << "] in order in:\n" << r.err;
            if (found != std::string::npos)
                at = found;
        }
        if (c.notOnStdout) {
            EXPECT_EQ(r.out.find(c.notOnStdout), std::string::npos) << r.out;
        }
        // Only the version line on standard output for -J: no empty token line.
        if (c.command[0] == "-J") {
            EXPECT_EQ(r.out.rfind("Updater (", 0), 0u) << r.out;
            EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        }
        EXPECT_EQ(snapshot(store), before);
    }
}

// A build list that could not be fetched is a failure of -B, unlike an
// answered query with an empty list (ListBuildsOfAModuleWithoutBuilds).
TEST_F(UpdaterDownload, ListBuildsFailureExitsOne) {
    struct Case {
        std::vector<std::string> faults;
        std::string error;
    } cases[] = {
        {{"--status", "500"}, "Server request failed for URL"},
        {{"--fault-op", "builds", "--first-line", "error"},
         "Failed to retrieve builds for 0000ABCD"},
        {{"--fault-op", "builds", "--truncate", "5"}, "Failed to retrieve builds for 0000ABCD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults[0] + " " + c.faults[1]);
        startServer(c.faults);
        std::string error = c.error;
        if (error.find("URL") != std::string::npos)
            error.replace(error.find("URL"), 3, url);
        ProcessResult r = updater({"-B", "-d", kSerial});
        EXPECT_TRUE(contains(r.err, error + "\n"));
        EXPECT_EQ(r.out.find("Build          \tVersion"), std::string::npos) << r.out;
        EXPECT_EQ(r.status, 1) << r.out << r.err;
    }
}

TEST_F(UpdaterDownload, UnreachableServerCreatesNothing) {
    url = "http://127.0.0.1:9/cgi/u"; // the discard port: nothing listens there
    ProcessResult r = updater({"-G", "-d", kSerial});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Server request failed for " + url + "\n"));
    EXPECT_FALSE(testsupport::fileExists(deviceDir));
}

TEST_F(UpdaterDownload, SilentServerIsGivenUpOnAfterTheTimeouts) {
    // The image request gets no answer at all; the low-speed time-out,
    // shortened for the test, ends it.
    startServer({"--fault-op", "bird", "--delay-ms", "600000"});
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = updater({"-G", "-d", kSerial}, {"UPDATER_HTTP_LOW_SPEED_TIME=1"});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Download failed\nFailed to retrieve a valid BIRD file\n"));
    EXPECT_LT(elapsed, std::chrono::seconds(20));

    // The same for the very first request.
    startServer({"--delay-ms", "600000"});
    r = updater({"-J", "-d", kSerial}, {"UPDATER_HTTP_LOW_SPEED_TIME=1"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Server request failed for " + url + "\n"));
}

TEST_F(UpdaterDownload, SlowServerStillDelivers) {
    // A delay well inside the time-outs changes nothing but the time taken.
    startServer({"--fault-op", "bird", "--delay-ms", "400"});
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "1240"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::readFile(deviceDir + "/1240.bird"),
              testsupport::readFile(module + "/1240.bird"));
}

TEST_F(UpdaterDownload, LargeImageRoundTrips) {
    makeBird(module + "/2000.bird", "2000", "3.1.4", "2000000");
    startServer();
    ProcessResult r = updater({"-G", "-d", kSerial, "-b", "2000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testsupport::readFile(deviceDir + "/2000.bird"),
              testsupport::readFile(module + "/2000.bird"));
}

// The operations called in this process, with a display that records what
// it is asked to show.
class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> info, errors;
    std::vector<std::string> events; // "spin", "clear:LABEL", "info", "error"
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char* label) override {
        events.push_back(active ? std::string("spin:") + (label ? label : "")
                                : std::string("clear:") + (label ? label : ""));
    }
    void info_message(const char* text) override {
        info.push_back(text);
        events.push_back("info");
    }
    void error_message(const char* text) override {
        errors.push_back(text);
        events.push_back("error");
    }
    bool saidError(const std::string& text) const {
        for (const auto& e : errors)
            if (e == text)
                return true;
        return false;
    }
};

TEST_F(UpdaterDownload, SpinnerTurnsWhileTheImageArrives) {
    startServer({"--fault-op", "bird", "--delay-ms", "700"});
    RecordingDisplay display;
    Updater u(url.c_str(), store.c_str(), display);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "1240", false, false), 1240u);
    size_t spins = 0, clears = 0, firstSpin = display.events.size(), lastClear = 0;
    for (size_t i = 0; i < display.events.size(); ++i) {
        if (display.events[i] == "spin:Downloading") {
            ++spins;
            firstSpin = std::min(firstSpin, i);
        }
        if (display.events[i] == "clear:Downloading") {
            ++clears;
            lastClear = i;
        }
    }
    // One step before the first wait and one per 100 ms slice without a
    // result: at least 5 in 700 ms even on a loaded machine.
    EXPECT_GE(spins, 5u);
    EXPECT_LE(spins, 30u) << "far more steps than 100 ms slices";
    EXPECT_EQ(clears, 1u);
    EXPECT_GT(lastClear, firstSpin);
    EXPECT_EQ(display.events.back(), "clear:Downloading");
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(UpdaterDownload, BadArgumentsFailBeforeAnyRequest) {
    startServer();
    RecordingDisplay display;
    Updater u(url.c_str(), store.c_str(), display);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "12x", false, false), 0u);
    EXPECT_TRUE(display.saidError("Build number '12x' must be an number"));
    EXPECT_EQ(u.Download_Firmware(0xABCD, "99999999999", false, false), 0u);
    EXPECT_TRUE(display.saidError("Build number '99999999999' must be an number"));
    EXPECT_EQ(u.Download_Firmware(0, "", false, false), 0u);
    EXPECT_TRUE(display.saidError("Serial Number must be non-zero"));
    EXPECT_EQ(testsupport::readFile(requestLog), "");
    EXPECT_FALSE(testsupport::fileExists(store));
}

TEST_F(UpdaterDownload, BuildListKeysThatAreNotNumbersNeverValidate) {
    CannedServer canned;
    canned.set("hi", 200, "ok\n");
    canned.set("qu", 200, "ok\n1234\nfw\n");
    canned.set("builds", 200, "ok\nabc;1.0.0\n1234x;2.0.0\n x;3.0.0\n");
    canned.set("bird", 200, "ok\nYmlyZAEB\n");
    RecordingDisplay display;
    const std::string cannedURL = canned.url();
    Updater u(cannedURL.c_str(), store.c_str(), display);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "", false, false), 0u);
    EXPECT_TRUE(display.saidError("No valid build 1234"));

    // A current build that is no number becomes build 0, which no list
    // entry validates either.
    canned.set("qu", 200, "ok\nlatest\nfw\n");
    EXPECT_EQ(u.Download_Firmware(0xABCD, "", false, false), 0u);
    EXPECT_TRUE(display.saidError("No valid build 0"));
}

TEST_F(UpdaterDownload, WriteFailureRecordsNothing) {
    CannedServer canned;
    canned.set("hi", 200, "ok\n");
    canned.set("qu", 200, "ok\n1234\nfw\n");
    canned.set("builds", 200, "ok\n1234;1.0.0\n");
    canned.set("bird", 200, "ok\nYmlyZAEB\n"); // "bird" 01 01
    const std::string cannedURL = canned.url();
    // The image's name is taken by a directory, so the file cannot be written.
    ASSERT_EQ(mkdir(storeParent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(deviceDir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((deviceDir + "/1234.bird").c_str(), 0755), 0);
    RecordingDisplay display;
    Updater u(cannedURL.c_str(), store.c_str(), display);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "", false, false), 0u);
    bool reported = false;
    for (const auto& e : display.errors)
        reported = reported || e.rfind("Failed to write file with ", 0) == 0;
    EXPECT_TRUE(reported);
    EXPECT_EQ(settings().find("LATEST_DOWNLOAD"), std::string::npos) << settings();

    // Once the name is free the same download succeeds and is recorded.
    ASSERT_EQ(rmdir((deviceDir + "/1234.bird").c_str()), 0);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "", false, false), 1234u);
    EXPECT_EQ(testsupport::readFile(deviceDir + "/1234.bird"), "bird\x01\x01");
    EXPECT_TRUE(contains(settings(), "LATEST_DOWNLOAD=1234.bird\n"));
}

TEST_F(UpdaterDownload, LocalListOfStoreThatCannotBeCreated) {
    // The updater directory's name is taken by a file.
    testsupport::writeFile(storeParent, "not a directory");
    RecordingDisplay display;
    Updater u("http://127.0.0.1:9/cgi/u", (storeParent + "/updater").c_str(), display);
    EXPECT_TRUE(u.Get_BuildListLocal(0xABCD).empty());
    ASSERT_EQ(display.errors.size(), 1u);
    EXPECT_EQ(display.errors[0].rfind("Failed to Create UpdaterStore in: Get_BuildListLocal - "
                                      "Exception: ",
                                      0),
              0u)
        << display.errors[0];
}

} // namespace
