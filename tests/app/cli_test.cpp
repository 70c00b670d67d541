// End-to-end runs of the Updater program: options, usage text, messages,
// the updater directory and exit statuses, compared byte for byte.
//
// Every run is kept out of the real home directory: a run either names its
// store with -i inside a temporary directory, or runs under a user id that
// has no password entry, with HOME pointing into a temporary directory.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

using Args = std::vector<std::string>;
using testsupport::ProcessOptions;
using testsupport::ProcessResult;

// A user id and group id without a password entry.
constexpr unsigned kNobodyId = 54321;

// What each operation prints in these runs (no module attached, the update
// server unreachable on a closed loopback port): its placeholder line while
// the operation is not built yet, or what the real operation reports. Kept
// in one place so the expectations follow when operations arrive. Each
// alternative is whole lines; a "*" stands for the rest of its line, and an
// empty alternative means the operation prints nothing.
struct OperationOutput {
    const char* name;
    std::vector<std::string> alternatives;
};

const std::string kServerFailed = "Server request failed for *\n";

const OperationOutput kOperationOutput[] = {
    // No module is attached and discovery finds nothing in the test's namespace.
    {"Discover_Devices", {""}},
    {"Discover_SXNetwork_Devices", {""}},
    // The server is unreachable and the store is empty.
    {"Update_Firmware", {"Could not find valid build for this device.\n"}},
    {"Download_Firmware", {kServerFailed}},
    {"Get_BuildList", {kServerFailed}},
    {"Get_BuildListLocal", {""}},
    {"Get_JWT", {kServerFailed}},
    {"Recover_Firmware", {"Recover_Firmware: not available in this build\n"}},
    {"Get_Fingerprint", {"Get_Fingerprint: not available in this build\n"}},
};

// A closed port on loopback: every server query fails at once.
const char kUnreachableServer[] = "http://127.0.0.1:1/cgi/u";

const std::string kVersion = "Updater (Version: 2.11.2 Apr 29 2025)\n";

std::string sUsageBlock(int n) {
    std::string text = testsupport::readFile(
        testsupport::sourcePath("tests/app/data/usage_block" + std::to_string(n) + ".txt"));
    size_t host = text.find("@HOST@");
    if (host != std::string::npos) {
        text.replace(host, 6, UPDATER_SERVER_HOST);
    }
    return text;
}

const std::string kShort = sUsageBlock(1);
const std::string kHelp = kShort + sUsageBlock(2) + sUsageBlock(4);
const std::string kHelpExtended = kShort + sUsageBlock(2) + sUsageBlock(3) + sUsageBlock(4);

const std::string kRetrieveLatest = "Retrieving firmware for device with serial number 40F5849A\n"
                                    "No build specified\n"
                                    "Using Latest build\n";

bool sIsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string sReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

ProcessResult sRunUpdater(const Args& args, const ProcessOptions& options = {}) {
    Args argv = {testsupport::buildPath("Updater")};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProcess(argv, options);
}

// Runs the program under kNobodyId, so the home directory comes from HOME
// (or is missing when home is empty).
ProcessResult sRunWithoutPasswordEntry(const Args& args, const std::string& home) {
    Args argv = {"setpriv", "--reuid=" + std::to_string(kNobodyId),
                 "--regid=" + std::to_string(kNobodyId), "--clear-groups",
                 testsupport::buildPath("Updater")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    if (home.empty()) {
        options.unsetEnv = {"HOME"};
    } else {
        options.env = {"HOME=" + home};
    }
    return testsupport::runProcess(argv, options);
}

struct CliCase {
    const char* name;
    Args args; // "-u <unreachable> -i <temporary>" is appended to each
    int status;
    std::string out;
    std::string err; // @BIN@ and @BASE@ stand for the program and the -i value
    bool directory;  // the updater directory is created
};

const CliCase kCases[] = {
    // Nothing runnable: version line and short usage.
    {"override_alone", {"-OVERRIDE"}, 0, kVersion, kShort, false},
    {"override_abbreviated", {"-OV"}, 0, kVersion, kShort, false},
    {"serial_alone", {"-d", "40F5849A"}, 0, kVersion, kShort, false},
    {"unmatched_long", {"-Bx"}, 0, kVersion, kShort, false},
    {"letters_run_together", {"-DG"}, 0, kVersion, kShort, false},
    {"not_options", {"D", "U", "help"}, 0, kVersion, kShort, false},
    // Help.
    {"help", {"-h"}, 0, kVersion, kHelp, false},
    {"help_upper", {"-H"}, 0, kVersion, kHelp, false},
    {"help_long", {"--help"}, 0, kVersion, kHelp, false},
    {"help_abbreviated", {"--he"}, 0, kVersion, kHelp, false},
    {"help_with_commands", {"-D", "-U", "-d", "40F5849A", "-h"}, 0, kVersion, kHelp, false},
    {"mask_then_help", {"-X", "0x10000", "-h"}, 0, kVersion, kHelpExtended, false},
    {"help_then_mask", {"-h", "-X", "0x10000"}, 0, kVersion, kHelp, false},
    // Commands that run nothing.
    {"check", {"-C"}, 0, kVersion, "", true},
    {"info", {"-I"}, 0, kVersion, "", true},
    {"z_with_value", {"-Z", "value"}, 0, kVersion, "", true},
    // Parse failures: the message, version line, short usage, status 1.
    {"serial_0x",
     {"-d", "0x"},
     1,
     kVersion,
     "Invalid serial number obtained from argument []\n" + kShort,
     false},
    {"serial_xyz",
     {"-D", "-d", "xyz"},
     1,
     kVersion,
     "Invalid serial number obtained from argument [xyz]\n" + kShort,
     false},
    {"serial_too_long",
     {"-U", "-d", "140F5849A"},
     1,
     kVersion,
     "Invalid serial number obtained from argument [140F5849A]\n" + kShort,
     false},
    {"router_invalid",
     {"-D", "-r", "0xQ"},
     1,
     kVersion,
     "Invalid router serial number obtained from argument [Q]\n" + kShort,
     false},
    {"transport_lower_case",
     {"-D", "-t", "usb"},
     1,
     kVersion,
     "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n" + kShort,
     false},
    {"unhandled_command", {"-Y", "-D"}, 1, kVersion, "Unhandled command: [-Y]\n" + kShort, false},
    // -X with leftovers: reported, the run goes on.
    {"mask_leftover",
     {"-X", "12abc", "-C"},
     0,
     kVersion,
     "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n",
     true},
    // Commands refused by the entry point before any operation runs.
    {"value_dropped_before_option",
     {"-d", "-U"},
     1,
     kVersion,
     "Must specify the specific device to be updated\n",
     true},
    {"get_without_serial",
     {"-G", "-D"},
     1,
     kVersion,
     "-G must specify a specific device via -d\n--help for usage information\n",
     true},
    {"fingerprint_without_port",
     {"-N", "-D"},
     1,
     kVersion,
     "Must specify the serial port used for connecting\n",
     true},
    {"builds_glued_value",
     {"-B", "-d40F5849A"},
     1,
     kVersion,
     "Error must supply a serial number for the List Builds command\n" + kShort,
     true},
    {"local_builds_without_serial",
     {"-L"},
     1,
     kVersion,
     "Error must supply a serial number for the List Local Builds command\n" + kShort,
     true},
    {"jwt_without_serial",
     {"-J"},
     1,
     kVersion,
     "Error must supply a serial number for the Get JWT command\n" + kShort,
     true},
    // Debug lines.
    {"debug_app_parameters",
     {"-X", "0x10000", "-C"},
     0,
     kVersion,
     "\nApplication parameters:[Updater]\n\t[@BIN@]\n\t[-X]\n\t[0x10000]\n\t[-C]\n"
     "\t[-u]\n\t[@URL@]\n\t[-i]\n\t[@BASE@]\n",
     true},
};

class CliTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliTest, OutputAndStatus) {
    const CliCase& c = GetParam();
    testsupport::TempDir temp;
    std::string base = temp.file("store");
    Args args = c.args;
    for (const char* arg : {"-u", kUnreachableServer, "-i"}) {
        args.push_back(arg);
    }
    args.push_back(base);
    ProcessOptions options;
    options.env = {"HOME=" + temp.file("home")};
    ProcessResult result = sRunUpdater(args, options);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    std::string err = sReplaceAll(c.err, "@BIN@", testsupport::buildPath("Updater"));
    err = sReplaceAll(err, "@URL@", kUnreachableServer);
    EXPECT_EQ(result.err, sReplaceAll(err, "@BASE@", base));
    EXPECT_EQ(sIsDirectory(base + "/updater"), c.directory);
    EXPECT_FALSE(sIsDirectory(temp.file("home")));
}

INSTANTIATE_TEST_SUITE_P(Cases, CliTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<CliCase>& info) {
                             return std::string(info.param.name);
                         });

// Runs that reach the operations. Standard output and standard error are
// taken together, in the order written, and compared with the expectation,
// in which "{Operation}" stands for what that operation prints
// (kOperationOutput). So the order of the calls shows, and an operation that
// must not run would show up as unexpected lines.
struct DispatchCase {
    const char* name;
    Args args; // "-u <unreachable> -i <temporary>" is appended to each
    int status;
    std::string output;
};

const std::string kSearchUSB = "Searching for Corvantis devices\n";
const std::string kListedUSB = "Discovered Devices: (USB)\n    No devices found.\n";
const std::string kListedTCPIP = "Discovered Devices: (TCPIP)\n    No devices found.\n";

const DispatchCase kDispatchCases[] = {
    {"discover", {"-D"}, 0, kVersion + kSearchUSB + "{Discover_Devices}" + kListedUSB},
    // Discovery comes first among the final commands.
    {"discover_first",
     {"-U", "-D", "-d", "40F5849A", "-B", "-J"},
     0,
     kVersion + kSearchUSB + "{Discover_Devices}" + kListedUSB},
    {"discover_tcpx",
     {"-D", "-t", "TCPX"},
     0,
     kVersion + kSearchUSB + "{Discover_Devices}" + kListedTCPIP},
    {"discover_tcpip",
     {"-D", "-t", "TCPIP"},
     0,
     kVersion + kSearchUSB + "{Discover_Devices}" + kListedTCPIP},
    {"discover_recover_is_usb",
     {"-D", "-t", "RECOVER"},
     0,
     kVersion + kSearchUSB + "{Discover_Devices}" + kListedUSB},
    {"discover_router",
     {"-D", "-r", "D272031D"},
     0,
     kVersion + "Searching for Corvantis Network devices connected to D272031D\n"
                "{Discover_SXNetwork_Devices}Discovered Devices: (Unknown)\n"
                "    No devices found.\n"},
    {"update", {"-U", "-d", "40F5849A", "-m", "yes"}, 1, kVersion + "{Update_Firmware}"},
    {"update_tcp_is_not_recovery",
     {"-U", "-t", "TCP", "-d", "40F5849A"},
     1,
     kVersion + "{Update_Firmware}"},
    {"update_recover",
     {"-U", "-t", "RECOVER", "-s", "/dev/serial"},
     1,
     kVersion + "{Recover_Firmware}"},
    {"get_then_update",
     {"-G", "-U", "-d", "40F5849A"},
     1,
     kVersion + kRetrieveLatest + "{Download_Firmware}{Update_Firmware}"},
    {"get_build",
     {"-G", "-d=40F5849A", "-b", "007"},
     1,
     kVersion + "Retrieving firmware for device with serial number 40F5849A\n"
                "Retrieving firmware build 7\n{Download_Firmware}"},
    // The fingerprint runs first; its failure does not stop the fetch.
    {"fingerprint_then_get",
     {"-G", "-d", "40F5849A", "-N", "-s", "/dev/ttyUSB0"},
     1,
     kVersion + "{Get_Fingerprint}Got no response from chip\n" + kRetrieveLatest +
         "{Download_Firmware}"},
    // The server is unreachable: the query fails, so no list and status 1.
    {"builds", {"-B", "-d=40F5849A", "-L"}, 1, kVersion + "{Get_BuildList}"},
    {"local_builds",
     {"-L", "-J", "-d", "40F5849A"},
     0,
     kVersion + "{Get_BuildListLocal}No builds found for device [40F5849A]\n"},
    // No token is a failure, not an empty token.
    {"jwt", {"-J", "-d", "40F5849A"}, 1, kVersion + "{Get_JWT}"},
    {"debug_serial_prefix",
     {"-X", "1", "-X", "8", "-d", "0x40F5849A", "-B"},
     1,
     // Parsing comes before the version line.
     "Discarding '0x' serial number prefix\n" + kVersion + "{Get_BuildList}"},
};

// Matches text at position at against pattern (a "*" matching the rest of
// a line); returns the position after the match, or npos.
size_t sMatchLines(const std::string& text, size_t at, const std::string& pattern) {
    size_t p = 0;
    while (p < pattern.size()) {
        if (pattern[p] == '*') {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                return std::string::npos;
            }
            at = end;
            ++p;
        } else if (at < text.size() && text[at] == pattern[p]) {
            ++at;
            ++p;
        } else {
            return std::string::npos;
        }
    }
    return at;
}

// True when text is exactly the expectation: literal text in which each
// "{Operation}" stands for one of that operation's alternatives.
bool sMatchesDispatch(const std::string& text, size_t at, const std::string& expected,
                      size_t from) {
    size_t open = expected.find('{', from);
    std::string literal = expected.substr(from, open == std::string::npos ? open : open - from);
    if (text.compare(at, literal.size(), literal) != 0) {
        return false;
    }
    at += literal.size();
    if (open == std::string::npos) {
        return at == text.size();
    }
    size_t close = expected.find('}', open);
    std::string name = expected.substr(open + 1, close - open - 1);
    for (const OperationOutput& operation : kOperationOutput) {
        if (name != operation.name) {
            continue;
        }
        for (const std::string& alternative : operation.alternatives) {
            size_t next = sMatchLines(text, at, alternative);
            if (next != std::string::npos && sMatchesDispatch(text, next, expected, close + 1)) {
                return true;
            }
        }
        return false;
    }
    ADD_FAILURE() << "no output listed for " << name;
    return false;
}

// True when err ends with the debug line of a missing home directory.
bool sEndsWithHomeFailure(const std::string& err) {
    const std::string line = "\nUpdater: FailedaDirectory_GetHomeDirectory()==> ";
    size_t at = err.rfind(line);
    if (at == std::string::npos || err.back() != '\n') {
        return false;
    }
    std::string code = err.substr(at + line.size(), err.size() - 1 - at - line.size());
    return !code.empty() && code.find_first_not_of("0123456789") == std::string::npos;
}

class DispatchTest : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchTest, OrderAndStatus) {
    const DispatchCase& c = GetParam();
    testsupport::TempDir temp;
    std::string base = temp.file("store");
    Args argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", testsupport::buildPath("Updater")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    for (const char* arg : {"-u", kUnreachableServer, "-i"}) {
        argv.push_back(arg);
    }
    argv.push_back(base);
    ProcessOptions options;
    options.env = {"HOME=" + temp.file("home")};
    ProcessResult result = testsupport::runProcess(argv, options);
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE(sMatchesDispatch(result.out, 0, c.output, 0)) << "output:\n"
                                                              << result.out << "\nexpected:\n"
                                                              << c.output;
    EXPECT_TRUE(sIsDirectory(base + "/updater"));
    EXPECT_FALSE(sIsDirectory(temp.file("home")));
}

INSTANTIATE_TEST_SUITE_P(Cases, DispatchTest, ::testing::ValuesIn(kDispatchCases),
                         [](const ::testing::TestParamInfo<DispatchCase>& info) {
                             return std::string(info.param.name);
                         });

class HomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to run under a user id without a password entry";
        }
        ASSERT_EQ(chown(temp_.path().c_str(), kNobodyId, kNobodyId), 0);
    }
    testsupport::TempDir temp_;
};

TEST_F(HomeTest, NoArgumentsAtAll) {
    std::string home = temp_.file("home");
    ProcessResult result = sRunWithoutPasswordEntry({}, home);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err, kShort);
    EXPECT_FALSE(sIsDirectory(home));
}

TEST_F(HomeTest, DefaultDirectoryBelowHome) {
    std::string home = temp_.file("home");
    ProcessResult result = sRunWithoutPasswordEntry({"-C"}, home);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(sIsDirectory(home + "/.halvern/updater"));
    struct stat st;
    ASSERT_EQ(stat((home + "/.halvern/updater").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobodyId);
}

TEST_F(HomeTest, NoHomeDirectoryFails) {
    ProcessResult quiet = sRunWithoutPasswordEntry({"-C"}, "");
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, kVersion);
    EXPECT_EQ(quiet.err, "");

    ProcessResult logged = sRunWithoutPasswordEntry({"-X", "0x10000", "-C"}, "");
    EXPECT_EQ(logged.status, 1);
    EXPECT_EQ(logged.out, kVersion);
    EXPECT_TRUE(sEndsWithHomeFailure(logged.err)) << logged.err;
}

TEST_F(HomeTest, OverLongHomeFails) {
    std::string home = temp_.path();
    while (home.size() < 5000) {
        home += "/abcdefgh";
    }
    ProcessResult result = sRunWithoutPasswordEntry({"-X", "0x10000", "-C"}, home);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_TRUE(sEndsWithHomeFailure(result.err))
        << result.err.substr(result.err.size() > 200 ? result.err.size() - 200 : 0);
}

TEST(Cli, DirectoryThatCannotBeCreated) {
    testsupport::TempDir temp;
    ASSERT_TRUE(testsupport::writeFile(temp.file("file"), "x"));
    ProcessResult result = sRunUpdater({"-C", "-i", temp.file("file")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err,
              "Could not find updater directory at " + temp.file("file") + "/updater\n");
}

TEST(Cli, OverLongDirectory) {
    testsupport::TempDir temp;
    std::string base = temp.path();
    while (base.size() < 5000) {
        base += "/abcdefgh";
    }
    ProcessResult result = sRunUpdater({"-C", "-i", base});
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kVersion);
    std::string message = "Could not find updater directory at " + base + "/updater";
    EXPECT_EQ(result.err, message.substr(0, 2047) + "\n");
}

TEST(Cli, OverLongValuesAndGarbage) {
    testsupport::TempDir temp;
    // One argument may hold at most 128 KiB.
    std::string huge(100000, 'A');
    ProcessResult result = sRunUpdater({"-D", "-d", huge, "-i", temp.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, kVersion);
    EXPECT_EQ(result.err,
              ("Invalid serial number obtained from argument [" + huge).substr(0, 2047) + "\n" +
                  kShort);

    Args garbage;
    for (int i = 0; i < 5000; ++i) {
        const char* pieces[] = {"-", "--", "-d", "=", "-X", "0x", "-t", "\t", "-O", "-b"};
        garbage.push_back(std::string(pieces[i % 10]) + std::to_string(i % 7));
    }
    garbage.push_back("-i");
    garbage.push_back(temp.path());
    ProcessResult many = sRunUpdater(garbage);
    ASSERT_FALSE(many.timedOut);
    EXPECT_TRUE(many.status == 0 || many.status == 1) << many.status;
    EXPECT_EQ(many.out.rfind(kVersion, 0), 0u);
}

} // namespace
