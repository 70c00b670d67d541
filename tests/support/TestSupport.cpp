#include "tests/support/TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ftw.h>
#include <sstream>

extern char** environ;

namespace testsupport {

namespace {

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : fallback;
}

std::vector<std::string> mergedEnvironment(const ProcessOptions& o) {
    std::vector<std::string> result;
    auto nameOf = [](const std::string& kv) { return kv.substr(0, kv.find('=')); };
    for (char** e = environ; e && *e; ++e) {
        std::string kv = *e;
        std::string name = nameOf(kv);
        bool drop = false;
        for (const auto& u : o.unsetEnv)
            drop = drop || u == name;
        for (const auto& x : o.env)
            drop = drop || nameOf(x) == name;
        if (!drop)
            result.push_back(kv);
    }
    for (const auto& x : o.env)
        result.push_back(x);
    return result;
}

int decodeStatus(int st) {
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

// Forks and execs argv with the given descriptors as 0, 1 and 2 (-1 keeps the
// parent's). Returns the child's pid or -1.
pid_t spawn(const std::vector<std::string>& argv, const ProcessOptions& o, int in, int out,
            int err) {
    std::vector<std::string> envStrings = mergedEnvironment(o);
    std::vector<char*> args, envs;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envStrings)
        envs.push_back(const_cast<char*>(e.c_str()));
    envs.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Child: its own process group, so a kill reaches what it starts too.
    setpgid(0, 0);
    if (in >= 0)
        dup2(in, 0);
    if (out >= 0)
        dup2(out, 1);
    if (err >= 0)
        dup2(err, 2);
    if (!o.workDir.empty() && chdir(o.workDir.c_str()) != 0)
        _exit(126);
    environ = envs.data();
    execvp(args[0], args.data());
    _exit(127);
}

const char kIsolationRefusal[] =
    "refusing to start %s outside an isolated network namespace: register the test with "
    "NETNS (or run it under tools/netns-run)\n";

} // namespace

bool networkIsolated() {
    // /proc/self/net follows the process's own namespace (sysfs does not).
    std::ifstream dev("/proc/self/net/dev");
    if (!dev)
        return false;
    std::string line;
    int lineNumber = 0;
    while (std::getline(dev, line)) {
        if (++lineNumber <= 2)
            continue; // the two header lines
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo" && name.rfind("vhost", 0) != 0 && name.rfind("vmod", 0) != 0 &&
            name.rfind("vmcast", 0) != 0)
            return false;
    }
    return true;
}

bool needsIsolation(const std::string& program) {
    auto slash = program.find_last_of('/');
    std::string base = slash == std::string::npos ? program : program.substr(slash + 1);
    return base == "Updater" || base == "corvantis-sim" || base == "with-sim-usb";
}

std::string sourceDir() {
    return envOr("UPDATER_SOURCE_DIR", UPDATER_SOURCE_DIR_DEFAULT);
}
std::string buildDir() {
    return envOr("UPDATER_BUILD_DIR", UPDATER_BUILD_DIR_DEFAULT);
}
std::string buildPath(const std::string& relative) {
    return buildDir() + "/" + relative;
}
std::string sourcePath(const std::string& relative) {
    return sourceDir() + "/" + relative;
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& o) {
    ProcessResult r;
    if (!argv.empty() && needsIsolation(argv[0]) && !networkIsolated()) {
        char text[512];
        snprintf(text, sizeof text, kIsolationRefusal, argv[0].c_str());
        r.err = text;
        return r;
    }
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        return r;
    pid_t pid = spawn(argv, o, inPipe[0], outPipe[1], errPipe[1]);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int inFd = inPipe[1];
    if (o.stdinData.empty()) {
        close(inFd);
        inFd = -1;
    }
    auto deadline = std::chrono::steady_clock::now() + o.timeout;
    int outFd = outPipe[0], errFd = errPipe[0];
    while (outFd >= 0 || errFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[n++] = {inFd, POLLOUT, 0};
        int pr = poll(fds, n, static_cast<int>(std::min<long>(left.count(), 100)));
        if (pr < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == inFd) {
                ssize_t w = write(inFd, o.stdinData.data() + written, o.stdinData.size() - written);
                if (w > 0)
                    written += static_cast<size_t>(w);
                if (w <= 0 || written == o.stdinData.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            std::string& sink = fds[i].fd == outFd ? r.out : r.err;
            if (got > 0) {
                sink.append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            }
        }
    }
    if (inFd >= 0)
        close(inFd);
    if (outFd >= 0)
        close(outFd);
    if (errFd >= 0)
        close(errFd);
    int st = 0;
    // The pipes are closed; the process has ended or is about to. Bound the wait anyway.
    for (int i = 0; i < 500; ++i) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) {
            r.status = decodeStatus(st);
            return r;
        }
        if (i == 100 || std::chrono::steady_clock::now() > deadline) {
            r.timedOut = r.timedOut || std::chrono::steady_clock::now() > deadline;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
        }
        usleep(10000);
    }
    return r;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const ProcessOptions& o) {
    if (!argv.empty() && needsIsolation(argv[0]) && !networkIsolated()) {
        fprintf(stderr, kIsolationRefusal, argv[0].c_str());
        return;
    }
    int outPipe[2];
    if (pipe2(outPipe, O_CLOEXEC))
        return;
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = spawn(argv, o, devnull, outPipe[1], -1);
    if (devnull >= 0)
        close(devnull);
    close(outPipe[1]);
    outFd_ = outPipe[0];
}

BackgroundProcess::~BackgroundProcess() {
    stop();
    if (outFd_ >= 0)
        close(outFd_);
}

bool BackgroundProcess::running() {
    if (pid_ <= 0)
        return false;
    int st = 0;
    pid_t w = waitpid(pid_, &st, WNOHANG);
    if (w == pid_) {
        status_ = decodeStatus(st);
        pid_ = -1;
        return false;
    }
    return true;
}

bool BackgroundProcess::readLine(std::string& line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return true;
        }
        if (outFd_ < 0)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{outFd_, POLLIN, 0};
        int pr = poll(&p, 1, static_cast<int>(left.count()));
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr <= 0)
            return false;
        char buf[4096];
        ssize_t got = read(outFd_, buf, sizeof buf);
        if (got <= 0) {
            close(outFd_);
            outFd_ = -1;
            continue;
        }
        pending_.append(buf, static_cast<size_t>(got));
    }
}

int BackgroundProcess::stop(std::chrono::milliseconds grace) {
    if (!running())
        return status_;
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running())
            return status_;
        usleep(10000);
    }
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int st = 0;
    waitpid(pid_, &st, 0);
    status_ = decodeStatus(st);
    pid_ = -1;
    return status_;
}

TempDir::TempDir() {
    std::string base = envOr("TMPDIR", "/tmp");
    std::string templ = base + "/updater-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty())
        return;
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

CapturedOutput::CapturedOutput() : file_(std::tmpfile()) {}

CapturedOutput::~CapturedOutput() {
    if (file_)
        std::fclose(file_);
}

std::string CapturedOutput::text() const {
    std::string out;
    if (!file_)
        return out;
    std::fflush(file_);
    std::rewind(file_);
    // Reading to the end leaves the position there, so later writes append.
    char chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0)
        out.append(chunk, n);
    return out;
}

} // namespace testsupport
