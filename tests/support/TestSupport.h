// Helpers shared by the tests: running a program with a bound on its run
// time, keeping a simulator running in the background, temporary directories
// that clean up after themselves, and the locations of the built programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

// The top of the source tree and of the build tree. Both come from the
// environment set by ctest (UPDATER_SOURCE_DIR, UPDATER_BUILD_DIR) and fall
// back to the paths known when the tests were configured.
std::string sourceDir();
std::string buildDir();
// A path below the build tree, e.g. buildPath("Updater").
std::string buildPath(const std::string& relative);
std::string sourcePath(const std::string& relative);

// True when this process runs in a network namespace whose interfaces are
// only loopback and the veth ends that tools/netns-pair and netns-run
// --multicast create (vhost*, vmod*, vmcast*): nothing sent from here can reach the machine's real
// network.
bool networkIsolated();

// The programs that can send or answer discovery traffic (the Updater, the
// module simulator and its USB wrapper) are started only from an isolated network
// namespace. runProcess and BackgroundProcess refuse to start them otherwise
// (the result reports status -1 and an explanation in err), so a test that
// was registered without its namespace fails instead of reaching the host's
// network.
bool needsIsolation(const std::string& program);

struct ProcessResult {
    int status = -1;       // exit status, or 128 + signal when killed
    bool timedOut = false; // the time limit ran out and the process was killed
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

struct ProcessOptions {
    // Extra "NAME=value" entries; they replace inherited ones of the same name.
    std::vector<std::string> env;
    // Names removed from the inherited environment.
    std::vector<std::string> unsetEnv;
    std::string stdinData;
    std::string workDir; // empty: the current directory
    std::chrono::milliseconds timeout{20000};
};

// Runs argv[0] (a path, or a name looked up in PATH) with the arguments and
// waits for it, at most options.timeout; a process still running then is
// killed with SIGKILL and reported as timed out.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A program kept running in the background (a simulator, a server). Its
// standard output is read line by line; standard error goes to the test's
// standard error. The destructor stops it (SIGTERM, then SIGKILL after 2 s).
class BackgroundProcess {
public:
    BackgroundProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool running();
    pid_t pid() const { return pid_; }
    // Reads one line of the process's standard output (without its line
    // break). Returns false at end of output or when the time-out passes.
    bool readLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends SIGTERM and waits, at most `grace`, then SIGKILL. Returns the
    // exit status as runProcess reports it.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(2));

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string pending_;
    int status_ = -1;
};

// A fresh directory below TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// An anonymous temporary file that collects what the code under test writes
// to a FILE* stream, read back as text. The file goes away with the object.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    // Null when no temporary file could be made (text() is then empty).
    FILE* stream() const { return file_; }
    // Everything written to the stream so far.
    std::string text() const;

private:
    FILE* file_;
};

// Captures the debug log for as long as it lives: points the log's output at
// a temporary file and switches the given packages on; at destruction
// switches them off again and gives the output back to standard error.
// LogT is the application's log class (Log); it is a parameter so that this
// library, which the device-library tests link as well, does not depend on
// the application. Usage: testsupport::LogCapture<Log> log(DEBUG_Updater);
template <class LogT> class LogCapture : public CapturedOutput {
public:
    explicit LogCapture(uint32_t packages) : packages_(packages) {
        LogT::SetOutput(stream());
        LogT::ActivatePackage(packages_);
    }
    ~LogCapture() {
        LogT::DeactivatePackage(packages_);
        LogT::SetOutput(stderr);
    }

private:
    uint32_t packages_;
};

} // namespace testsupport
