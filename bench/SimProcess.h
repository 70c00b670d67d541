// One corvantis-sim process for a benchmark: started with the given
// arguments (and, when given, a JSON configuration written to a private
// temporary directory), its start-up lines read until "ready", its
// endpoints taken from those lines, and the process stopped again when the
// object goes.
//
// The simulator is looked up at $CORVANTIS_SIM, else as ../corvantis-sim
// next to the running program's directory (the build tree's layout: the
// benchmarks live in BUILD/bench/, the simulator is BUILD/corvantis-sim).
//
// A simulator with a USB attachment prints the umockdev directory of its
// emulated bus ("usb-env UMOCKDEV_DIR=..."); a process that runs under the
// umockdev preload reaches the bus once it sets UMOCKDEV_DIR to it
// (usbEnvironment()). The child is started without the caller's
// UMOCKDEV_DIR, so that it creates a bus of its own rather than joining a
// previous simulator's.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace benchsim {

// Lines read at most before "ready", and how long the simulator may take to
// print them.
constexpr int kSimStartLines = 40;
constexpr int kSimStartSeconds = 10;
// The simulator ends by itself after this long, should this process die
// without stopping it.
constexpr const char* kSimMaxRuntimeSeconds = "600";
// Longest start-up line kept.
constexpr size_t kSimLineBytes = 1024;
// Upper bound of the wait for the simulator to exit after SIGTERM, before
// it is killed.
constexpr int kSimStopMs = 3000;
constexpr int kSimStopPollMs = 10;

// The simulator program (see the file comment).
inline std::string simPath() {
    if (const char* path = std::getenv("CORVANTIS_SIM"))
        return path;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../corvantis-sim";
}

class SimProcess {
public:
    // Starts the simulator with `args` after the program name, plus
    // "--config FILE" when `configJson` is not empty, and waits (bounded by
    // kSimStartLines and kSimStartSeconds) for its "ready" line.
    explicit SimProcess(std::vector<std::string> args, const std::string& configJson = "") {
        if (!configJson.empty() && !writeConfig(configJson, args))
            return;
        args.push_back("--max-runtime");
        args.push_back(kSimMaxRuntimeSeconds);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        const std::string path = simPath();
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        // The environment without UMOCKDEV_DIR, made before the fork: the
        // child of a threaded process may only call async-signal-safe
        // functions until it executes the program.
        std::vector<char*> envp;
        for (char** e = environ; *e != nullptr; ++e) {
            if (std::strncmp(*e, "UMOCKDEV_DIR=", 13) != 0)
                envp.push_back(*e);
        }
        envp.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO); // the duplicate stays open across exec
            execve(path.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        if (pid_ < 0) {
            close(fds[0]);
            return;
        }
        out_ = fds[0];
        readStartLines();
        // Whatever the simulator prints later (a re-plugged device, a
        // re-opened terminal) is read and dropped, so that it never blocks
        // on a full pipe.
        drainer_ = std::thread([fd = out_] {
            char sink[4096];
            while (read(fd, sink, sizeof sink) > 0) {
            }
        });
    }

    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int waited = 0;
            while (waitpid(pid_, nullptr, WNOHANG) == 0) {
                if (waited >= kSimStopMs) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, nullptr, 0);
                    break;
                }
                usleep(kSimStopPollMs * 1000);
                waited += kSimStopPollMs;
            }
        }
        // The simulator is gone, so its end of the pipe is closed and the
        // drainer sees the end of file.
        if (drainer_.joinable())
            drainer_.join();
        if (out_ >= 0)
            close(out_);
        if (!config_.empty())
            std::remove(config_.c_str());
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }

    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // True once the simulator printed "ready".
    bool ready() const { return ready_; }
    // The port of the first "tcp" line, 0 when none was printed.
    unsigned tcpPort() const { return tcpPort_; }
    // The slave path of the first "pty" line, empty when none.
    const std::string& pty() const { return pty_; }
    // The UMOCKDEV_DIR of the emulated USB bus, empty without one.
    const std::string& usbEnvironment() const { return umockdevDir_; }

private:
    bool writeConfig(const std::string& json, std::vector<std::string>& args) {
        const char* tmp = std::getenv("TMPDIR");
        std::string where = std::string(tmp && *tmp ? tmp : "/tmp") + "/benchsim.XXXXXX";
        if (mkdtemp(&where[0]) == nullptr)
            return false;
        dir_ = where;
        config_ = dir_ + "/sim.json";
        FILE* f = std::fopen(config_.c_str(), "w");
        if (f == nullptr)
            return false;
        const bool written = std::fputs(json.c_str(), f) >= 0;
        if (std::fclose(f) != 0 || !written)
            return false;
        args.push_back("--config");
        args.push_back(config_);
        return true;
    }

    // The first word after `prefix` on a line that starts with it.
    static bool wordAfter(const std::string& line, const char* prefix, std::string& word) {
        const size_t n = std::strlen(prefix);
        if (line.compare(0, n, prefix) != 0)
            return false;
        word = line.substr(n, line.find(' ', n) - n);
        return true;
    }

    void readStartLines() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::seconds(kSimStartSeconds);
        std::string pending;
        int lines = 0;
        while (lines < kSimStartLines) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return;
            // One byte at a time: nothing after "ready" is taken from the
            // pipe here, so the drainer starts where this stops.
            char c = 0;
            if (read(out_, &c, 1) != 1)
                return;
            if (c != '\n') {
                if (pending.size() < kSimLineBytes)
                    pending.push_back(c);
                continue;
            }
            ++lines;
            if (!pending.empty() && pending.back() == '\r')
                pending.pop_back();
            if (pending == "ready") {
                ready_ = true;
                return;
            }
            std::string word;
            if (tcpPort_ == 0 && wordAfter(pending, "tcp ", word)) {
                tcpPort_ = static_cast<unsigned>(
                    std::strtoul(word.substr(word.rfind(':') + 1).c_str(), nullptr, 10));
            } else if (pty_.empty() && wordAfter(pending, "pty ", word)) {
                pty_ = word;
            } else if (wordAfter(pending, "usb-env UMOCKDEV_DIR=", word)) {
                umockdevDir_ = word;
            }
            pending.clear();
        }
    }

    std::string dir_;
    std::string config_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::thread drainer_;
    bool ready_ = false;
    unsigned tcpPort_ = 0;
    std::string pty_;
    std::string umockdevDir_;
};

} // namespace benchsim
