// The option parser: matching, values, conversions, messages and results.
#include "app/ParseParameters.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "RecordingDisplay.h"
#include "app/Log.h"

namespace {

using Args = std::vector<std::string>;

struct Parsed {
    int result = -1;
    Parameters params;
    std::vector<std::string> errors;
    std::vector<std::string> infos;
    std::string log;
};

// Parses "Updater" followed by the arguments, with the debug log captured.
Parsed sParse(const Args& args, const char* program = "/usr/local/bin/Updater") {
    Log::DeactivatePackage(0xFFFFFFFF);
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    Log::SetOutput(stream);
    std::vector<std::string> storage = {program};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    Parsed parsed;
    RecordingDisplay display;
    parsed.result =
        ParseParameters(static_cast<int>(storage.size()), argv.data(), parsed.params, display);
    parsed.errors = display.errors();
    parsed.infos = display.infos();
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    fclose(stream);
    parsed.log.assign(buffer, size);
    free(buffer);
    return parsed;
}

TEST(ParseParameters, Defaults) {
    Parsed p = sParse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.commands.Value(), 0u);
    EXPECT_EQ(p.params.deviceSerial, 0u);
    EXPECT_EQ(p.params.routerSerial, 0u);
    EXPECT_EQ(p.params.transport, 1u);
    EXPECT_FALSE(p.params.transportGiven);
    EXPECT_EQ(p.params.baudRate, 115200u);
    EXPECT_EQ(p.params.moduleAddress, 0u);
    EXPECT_EQ(p.params.build, "");
    EXPECT_EQ(p.params.serverURL, "http://" UPDATER_SERVER_HOST "/cgi/u");
    EXPECT_EQ(p.params.baseDirectory, "");
    EXPECT_EQ(p.params.appName, "Updater");
    EXPECT_FALSE(p.params.override);
    EXPECT_TRUE(p.params.ueiBytesLoad);
    EXPECT_FALSE(p.params.logMaskGiven);
    EXPECT_FALSE(p.params.helpRequested);
    EXPECT_TRUE(p.errors.empty());
}

TEST(ParseParameters, CommandBitsAndMatching) {
    struct Case {
        Args args;
        uint32_t commands;
        bool override;
    };
    const Case cases[] = {
        {{"-B"}, COMMAND_LIST_BUILDS, false},
        {{"-L"}, COMMAND_LIST_LOCAL_BUILDS, false},
        {{"-D", "-G", "-I", "-U", "-N", "-C", "-J"},
         COMMAND_DISCOVER | COMMAND_GET | COMMAND_INFO | COMMAND_UPDATE | COMMAND_FINGERPRINT |
             COMMAND_CHECK | COMMAND_JWT,
         false},
        {{"-Z", "anything"}, COMMAND_Z, false},
        {{"-OVERRIDE"}, 0, true},
        {{"-O"}, 0, true},
        {{"-OV"}, 0, true},
        {{"-OVER"}, 0, true},
        {{"-OVERRIDEX"}, 0, false},
        {{"--OVERRIDE"}, 0, false},
        {{"-Bx"}, 0, false},
        {{"-DG"}, 0, false},
        {{"-b"}, 0, false}, // missing value
        {{"-d40F5849A"}, 0, false},
        {{"-U=1"}, 0, false}, // no value allowed
        {{"-"}, 0, false},
        {{"--"}, 0, false},
        {{"---"}, 0, false},
        {{"D", "U", "x"}, 0, false}, // not options
        {{"-l", "-D"}, COMMAND_DISCOVER, false},
        {{"-k", "-U", "-n", "-e", "-l", "message"}, COMMAND_UPDATE, false},
        {{"-Z"}, 0, false},
        {{"-Z", "-D"}, COMMAND_DISCOVER, false},
        {{"-u", "-D"}, COMMAND_DISCOVER, false},
    };
    for (const Case& c : cases) {
        Parsed p = sParse(c.args);
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, 0) << label;
        EXPECT_EQ(p.params.commands.Value(), c.commands) << label;
        EXPECT_EQ(p.params.override, c.override) << label;
        EXPECT_TRUE(p.errors.empty()) << label;
    }
}

TEST(ParseParameters, CommandsIsSetMeansAny) {
    CommandsClass commands;
    commands.Set(COMMAND_GET);
    EXPECT_TRUE(commands.IsSet(COMMAND_GET | COMMAND_UPDATE));
    EXPECT_FALSE(commands.IsSet(COMMAND_UPDATE));
    EXPECT_TRUE(commands.IsSet(kCommandMask));
    commands.Set(COMMAND_UPDATE);
    EXPECT_EQ(commands.Value(), 0xAu);
}

TEST(ParseParameters, HelpStopsParsing) {
    struct Case {
        Args args;
        bool logMaskGiven;
    };
    const Case cases[] = {
        {{"-h"}, false},
        {{"-H"}, false},
        {{"--help"}, false},
        {{"--h"}, false},
        {{"--he"}, false},
        {{"--hel"}, false},
        {{"-X", "0x10000", "-h"}, true},
        {{"-h", "-X", "0x10000", "-d", "xyz", "-Y"}, false},
    };
    for (const Case& c : cases) {
        Parsed p = sParse(c.args);
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, 0) << label;
        EXPECT_TRUE(p.params.helpRequested) << label;
        EXPECT_TRUE(p.params.commands.IsSet(COMMAND_HELP)) << label;
        EXPECT_FALSE(p.params.commands.IsSet(kCommandMask)) << label;
        EXPECT_EQ(p.params.logMaskGiven, c.logMaskGiven) << label;
        EXPECT_TRUE(p.errors.empty()) << label;
    }
    for (const char* notHelp : {"--helpx", "-help", "-hx", "--help=1", "-h=1", "--x"}) {
        Parsed p = sParse({notHelp});
        EXPECT_FALSE(p.params.helpRequested) << notHelp;
    }
}

TEST(ParseParameters, SerialNumbers) {
    struct Case {
        Args args;
        int result;
        uint32_t device;
        uint32_t router;
        std::vector<std::string> errors;
    };
    const std::string kBad = "Invalid serial number obtained from argument [";
    const std::string kBadRouter = "Invalid router serial number obtained from argument [";
    const Case cases[] = {
        {{"-d", "40F5849A"}, 0, 0x40F5849A, 0, {}},
        {{"-d=40F5849A"}, 0, 0x40F5849A, 0, {}},
        {{"-d", "0x40f5849a"}, 0, 0x40F5849A, 0, {}},
        {{"-d", "0X00000001"}, 0, 1, 0, {}},
        {{"-d", "000040F5849A"}, 0, 0x40F5849A, 0, {}},
        {{"-d", "0x"}, 1, 0, 0, {kBad + "]"}},
        {{"-d", "xyz"}, 1, 0, 0, {kBad + "xyz]"}},
        {{"-d", "0"}, 1, 0, 0, {kBad + "0]"}},
        {{"-d", "0x0x1"}, 1, 0, 0, {kBad + "0x1]"}},
        {{"-d", "12 34"}, 1, 0, 0, {kBad + "12 34]"}},
        {{"-d", "140F5849A"}, 1, 0, 0, {kBad + "140F5849A]"}}, // beyond 32 bits
        {{"-d="}, 1, 0, 0, {kBad + "]"}},
        {{"-d", "-U"}, 0, 0, 0, {}},
        {{"-r", "D272031D"}, 0, 0, 0xD272031D, {}},
        {{"-r", "0xD272031D", "-d", "2181F0EE"}, 0, 0x2181F0EE, 0xD272031D, {}},
        {{"-r", "0xZZ", "-d", "q"}, 1, 0, 0, {kBadRouter + "ZZ]", kBad + "q]"}},
    };
    for (const Case& c : cases) {
        Parsed p = sParse(c.args);
        std::string label = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, c.result) << label;
        EXPECT_EQ(p.params.deviceSerial, c.device) << label;
        EXPECT_EQ(p.params.routerSerial, c.router) << label;
        EXPECT_EQ(p.errors, c.errors) << label;
    }
}

TEST(ParseParameters, PrefixDiscardIsLogged) {
    Parsed p = sParse({"-X", "1", "-d", "0x40F5849A", "-r", "0XD272031D"});
    EXPECT_EQ(p.log, "Discarding '0x' serial number prefix\n"
                     "Discarding '0x' router serial number prefix\n");
}

TEST(ParseParameters, Transport) {
    struct Case {
        const char* value;
        uint32_t transport;
    };
    const Case cases[] = {{"USB", 1},  {"USBX", 1},      {"TCP", 2},        {"TCPIP", 2},
                          {"TCPX", 2}, {"RECOVER", 255}, {"RECOVERY", 255}, {"usb", 0},
                          {"US", 0},   {"RECOVE", 0},    {"", 0},           {"tcp", 0}};
    for (const Case& c : cases) {
        Parsed p = sParse({"-t", c.value});
        EXPECT_EQ(p.params.transport, c.transport) << c.value;
        EXPECT_TRUE(p.params.transportGiven) << c.value;
        if (c.transport == 0) {
            EXPECT_EQ(p.result, 1) << c.value;
            EXPECT_EQ(p.errors,
                      std::vector<std::string>{std::string("Invalid transport type:[") + c.value +
                                               "]\nMust be one of the following: USB, "
                                               "TCPIP, RECOVER"});
        } else {
            EXPECT_EQ(p.result, 0) << c.value;
            EXPECT_TRUE(p.errors.empty()) << c.value;
        }
    }
}

TEST(ParseParameters, DecimalValues) {
    struct Case {
        const char* value;
        const char* build;
        uint32_t baud;
    };
    const Case cases[] = {
        {"007", "7", 7},
        {"abc", "0", 0},
        {"12a", "0", 0},
        {"99528558", "99528558", 99528558},
        {"4294967295", "4294967295", 4294967295u},
        {"4294967296", "0", 0},
        {"", "0", 0},
        {"+5", "0", 0},
    };
    for (const Case& c : cases) {
        Parsed p = sParse({"-b", c.value, "-o", c.value});
        EXPECT_EQ(p.result, 0) << c.value;
        EXPECT_EQ(p.params.build, c.build) << c.value;
        EXPECT_EQ(p.params.baudRate, c.baud) << c.value;
        EXPECT_TRUE(p.errors.empty()) << c.value;
    }
}

TEST(ParseParameters, UeiBytesFlag) {
    struct Case {
        const char* value;
        bool load;
    };
    const Case cases[] = {{"1", true},       {"10", true}, {"1x", true},   {"true", true},
                          {"trueish", true}, {"0", false}, {"yes", false}, {"tru", false},
                          {"TRUE", false},   {"", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(sParse({"-m", c.value}).params.ueiBytesLoad, c.load) << c.value;
    }
}

TEST(ParseParameters, LogMask) {
    Parsed p = sParse({"-X", "0x1", "-X", "8", "-D"});
    EXPECT_EQ(p.result, 0);
    EXPECT_TRUE(p.params.logMaskGiven);
    EXPECT_EQ(p.params.logMask, 0x9u);

    struct Case {
        const char* value;
        const char* leftover; // null: accepted
    };
    const Case cases[] = {
        {"12abc", "abc"},     {"0x1G", "G"},       {"0X10000", nullptr}, {"65536", nullptr},
        {"0x", nullptr},      {"x1", "x1"},        {" 1", " 1"},         {"0xFFFFFFFF", nullptr},
        {"0x100000000", "0"}, {"4294967296", "6"}, {"0x1f", nullptr},
    };
    for (const Case& c : cases) {
        Parsed q = sParse({"-X", c.value});
        EXPECT_EQ(q.result, 0) << c.value;
        EXPECT_TRUE(q.params.logMaskGiven) << c.value;
        if (c.leftover) {
            EXPECT_EQ(q.errors,
                      std::vector<std::string>{std::string("Invalid format for \"-X\" parameter, "
                                                           "unprocessed characters [") +
                                               c.leftover + "]"})
                << c.value;
            EXPECT_EQ(q.params.logMask, 0u) << c.value;
        } else {
            EXPECT_TRUE(q.errors.empty()) << c.value;
        }
    }
}

TEST(ParseParameters, UnhandledCommandFailsButParsingGoesOn) {
    Parsed p = sParse({"-Y", "-D", "-d", "xyz", "-U"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.errors,
              (std::vector<std::string>{"Unhandled command: [-Y]",
                                        "Invalid serial number obtained from argument [xyz]"}));
    EXPECT_EQ(p.params.commands.Value(), unsigned(COMMAND_DISCOVER | COMMAND_UPDATE));
}

TEST(ParseParameters, TextValuesAreStoredUnchanged) {
    Parsed p = sParse({"-i", "/tmp/a b", "-f", "x=y.bird", "-s", "/dev/ttyUSB0", "-u",
                       "http://127.0.0.1:8080/cgi/u", "-f=second"});
    EXPECT_EQ(p.params.baseDirectory, "/tmp/a b");
    EXPECT_EQ(p.params.birdFile, "second");
    EXPECT_EQ(p.params.serialPort, "/dev/ttyUSB0");
    EXPECT_EQ(p.params.serverURL, "http://127.0.0.1:8080/cgi/u");
}

TEST(ParseParameters, ApplicationNameAndDebugLines) {
    EXPECT_EQ(sParse({}, "C:\\bin\\Up.exe").params.appName, "Up.exe");
    EXPECT_EQ(sParse({}, "./x/Updater").params.appName, "Updater");
    EXPECT_EQ(sParse({}, "Updater").params.appName, "Updater");

    Parsed p = sParse({"-X", "0x10000", "-D"}, "./bin/Updater");
    EXPECT_EQ(p.log, "\nApplication parameters:[Updater]\n"
                     "\t[./bin/Updater]\n\t[-X]\n\t[0x10000]\n\t[-D]\n");
    // Help ends the parse before the debug lines.
    EXPECT_EQ(sParse({"-X", "0x10000", "-h"}).log, "");
}

TEST(ParseParameters, OddArgumentVectors) {
    Parameters params;
    RecordingDisplay display;
    EXPECT_EQ(ParseParameters(0, nullptr, params, display), 0);
    EXPECT_EQ(params.appName, "");
    char name[] = "Updater";
    char d[] = "-d";
    char* argv[] = {name, d, nullptr, nullptr};
    EXPECT_EQ(ParseParameters(3, argv, params, display), 0);
    EXPECT_EQ(ParseParameters(-5, argv, params, display), 0);
    EXPECT_TRUE(display.lines.empty());
}

TEST(ParseParameters, OverLongValues) {
    std::string longHex(100000, 'A');
    Parsed p = sParse({"-d", longHex, "-t", std::string(100000, 'x'), "-X", longHex, "-b",
                       std::string(100000, '9')});
    EXPECT_EQ(p.result, 1);
    ASSERT_EQ(p.errors.size(), 3u);
    for (const std::string& error : p.errors) {
        EXPECT_EQ(error.size(), 2047u);
    }
    EXPECT_EQ(p.params.build, "0");
}

// Random argument lists made of option-like pieces: the parser never crashes,
// returns 0 or 1 and keeps its fields within their ranges.
TEST(ParseParameters, GarbageArgumentLists) {
    const char* pieces[] = {
        "-",  "--", "-d", "-t",       "-X",    "-h",  "--he",    "-O", "-B", "-U",
        "=",  "0x", "x",  "-d=",      "-X=0x", "USB", "RECOVER", "-Y", "-b", "12",
        "-m", "-Z", "-i", "\xff\xfe", "-o",    "-r",  "--help=", ""};
    std::mt19937 random(4242);
    for (int round = 0; round < 2000; ++round) {
        Args args;
        int count = static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            std::string arg = pieces[random() % (sizeof pieces / sizeof pieces[0])];
            if (random() % 4 == 0) {
                arg += pieces[random() % (sizeof pieces / sizeof pieces[0])];
            }
            args.push_back(arg);
        }
        Parsed p = sParse(args);
        ASSERT_TRUE(p.result == 0 || p.result == 1) << ::testing::PrintToString(args);
        ASSERT_TRUE(p.params.transport == 0 || p.params.transport == 1 || p.params.transport == 2 ||
                    p.params.transport == 255);
    }
}

} // namespace
