// The console display on a pseudo-terminal (progress bar, spinner and line
// clearing drawn byte for byte) and with redirected output (none of them).
#include "app/CLI_Display.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace {

constexpr std::chrono::milliseconds kDriverTimeout(10000);

std::string sDriverPath() {
    return testsupport::buildPath("tests/app/cli_display_driver");
}

struct TerminalRun {
    int status = -1;
    std::string output; // everything the terminal received, stdout and stderr
};

// Runs the driver with its standard streams on the slave side of a new
// pseudo-terminal in raw mode (no "\n" to "\r\n" translation), and collects
// what arrives on the master side until the driver exits.
TerminalRun sRunOnTerminal(const std::vector<std::string>& actions) {
    TerminalRun run;
    std::string driver = sDriverPath();
    std::vector<std::string> storage = {driver};
    storage.insert(storage.end(), actions.begin(), actions.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        return run;
    }
    if (pid == 0) {
        termios mode;
        if (tcgetattr(STDIN_FILENO, &mode) == 0) {
            cfmakeraw(&mode);
            tcsetattr(STDIN_FILENO, TCSANOW, &mode);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + kDriverTimeout;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fd = {master, POLLIN, 0};
        int ready = poll(&fd, 1, 100);
        if (ready < 0) {
            break;
        }
        if (ready == 0) {
            continue;
        }
        ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            break; // EIO once the driver has closed the terminal
        }
        run.output.append(buffer, static_cast<size_t>(got));
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const std::string kBar(69, '=');
const std::string kClear = "\r" + std::string(88, ' ') + "\r";

TEST(CLI_Display, ProgressBarOnTerminal) {
    struct Case {
        std::string action;
        std::string expected;
    };
    const Case cases[] = {
        {"P0", "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {"P0.5", "\r[" + std::string(34, '=') + ">" + std::string(34, ' ') + "] ( 50% ) "},
        {"P1", "\r[" + kBar + "> ] (100% ) "},
        {"P0.999", "\r[" + std::string(68, '=') + ">] ( 99% ) "},
        // Out of range fractions are drawn as 0 and 1.
        {"P-0.5", "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        {"P7", "\r[" + kBar + "> ] (100% ) "},
        {"Pnan", "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        // A label of 5 characters leaves a bar of 60.
        {"L0.5:abcde",
         "\r (abcde) [" + std::string(30, '=') + ">" + std::string(29, ' ') + "] ( 50% ) "},
        {"L1:abcde", "\r (abcde) [" + std::string(60, '=') + "> ] (100% ) "},
        // A label too long for the bar leaves no bar at all.
        {"L0.5:" + std::string(80, 'l'), "\r (" + std::string(80, 'l') + ") [> ] ( 50% ) "},
        {"T", ""},
        {"C", kClear},
    };
    for (const Case& c : cases) {
        TerminalRun run = sRunOnTerminal({c.action});
        EXPECT_EQ(run.status, 0) << c.action;
        EXPECT_EQ(run.output, c.expected) << c.action;
    }
}

TEST(CLI_Display, SpinnerFramesCycle) {
    TerminalRun run = sRunOnTerminal({"S9", "Wwaiting", "s"});
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    std::string expected;
    for (const char* frame : frames) {
        expected += std::string("\r ") + frame + "      \r";
    }
    expected += "\r (waiting) ..      \r";
    expected += kClear;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, expected);
}

TEST(CLI_Display, MessagesOnTerminalAndMutedSpinner) {
    TerminalRun run = sRunOnTerminal({"Ihello", "Eoops", "M", "Ihidden", "S1", "m", "Iback"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "hello\noops\n\r .      \rback\n");
}

TEST(CLI_Display, RedirectedOutputHasMessagesOnly) {
    testsupport::ProcessResult result = testsupport::runProcess(
        {sDriverPath(), "Ifirst", "P0.5", "L1:label", "S3", "Wx", "s", "T", "C", "Eerror",
         "Isecond\n", "M", "Ihidden", "Ehidden", "m", "Ilast"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "first\nsecond\n\nlast\n");
    EXPECT_EQ(result.err, "error\n");
}

} // namespace
