// Download benchmark: `Updater -G` of a 4 MiB image from corvantis-update-server
// on loopback, against curl fetching the same base64 body, and the peak
// memory of the Updater process.
//
// Goals: the Updater within 1.5 times curl's time (it also decodes and
// writes, with a sync, the image), and its peak resident memory above that of
// a run that downloads nothing under 4 times the image size.
//
// Run from the build tree, inside a fresh network namespace:
//   tools/netns-run BUILD/bench/bench_download [runs]
// The build tree is found next to this program (or from UPDATER_BUILD_DIR).
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kImageBytes = 4u * 1024 * 1024;
constexpr int kDefaultRuns = 5;
constexpr const char* kSerial = "40F5849A";
constexpr const char* kBuild = "4242";
// Bound on the wait for the server's port line.
constexpr int kPortWaitMs = 10000;

struct Run {
    double ms = 0;
    long maxRssKiB = 0;
    int status = -1;
};

std::string buildDir() {
    if (const char* env = std::getenv("UPDATER_BUILD_DIR"))
        return env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return ".";
    exe[n] = 0;
    std::string path = exe;
    path = path.substr(0, path.rfind('/')); // .../bench
    return path.substr(0, path.rfind('/'));
}

// Runs argv to its end, its output discarded (standard output written to
// outPath when one is given), and measures it.
Run runMeasured(const std::vector<std::string>& argv, const std::string& outPath = "") {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        int out =
            outPath.empty() ? devnull : open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(devnull, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    Run run;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.maxRssKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool writeRandomFile(const std::string& path, size_t size) {
    std::ofstream out(path, std::ios::binary);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    std::string chunk(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        chunk[i] = static_cast<char>(x >> 24);
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    return static_cast<bool>(out);
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
    const std::string build = buildDir();
    const std::string updater = build + "/Updater";
    const std::string birdtool = build + "/tools/birdtool/birdtool";
    const std::string serverProgram = build + "/sim/update-server/corvantis-update-server";

    const char* tmpRoot = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmpRoot ? tmpRoot : "/tmp") + "/bench_download.XXXXXX";
    std::vector<char> dirBuf(tmpl.begin(), tmpl.end());
    dirBuf.push_back(0);
    if (!mkdtemp(dirBuf.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirBuf.data();
    const std::string tree = dir + "/tree";
    const std::string module = tree + "/" + kSerial;
    mkdir(tree.c_str(), 0755);
    mkdir(module.c_str(), 0755);
    const std::string image = dir + "/image.bin";
    const std::string bird = module + "/" + kBuild + ".bird";
    if (!writeRandomFile(image, kImageBytes) ||
        runMeasured({birdtool, "create", "-o", bird, "--info",
                     std::string(kBuild) + ":2.11.2:" + kSerial + ":MTM", "--firmware",
                     "0x1000:0:" + image})
                .status != 0) {
        std::fprintf(stderr, "could not make the image with %s\n", birdtool.c_str());
        return 1;
    }
    const long birdBytes = fileSize(bird);

    // The server, on a free port that it prints first.
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return 1;
    pid_t server = fork();
    if (server == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        execl(serverProgram.c_str(), serverProgram.c_str(), "--root", tree.c_str(), "--max-seconds",
              "600", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    std::string port;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPortWaitMs);
    char c = 0;
    while (std::chrono::steady_clock::now() < deadline && read(pipeFds[0], &c, 1) == 1 && c != '\n')
        port += c;
    if (port.empty()) {
        std::fprintf(stderr, "the server printed no port\n");
        kill(server, SIGTERM);
        return 1;
    }
    const std::string url = "http://127.0.0.1:" + port + "/cgi/u";
    const std::string imageURL =
        url + "?bld=" + kBuild + "&fw=2.11.2&no_cal=false&op=bird&sn=" + kSerial + "&";

    std::vector<double> updaterMs, curlMs, curlTransferMs;
    long peakKiB = 0;
    bool failed = false;
    for (int i = 0; i < runs; ++i) {
        Run u = runMeasured(
            {updater, "-i", dir + "/home", "-u", url, "-G", "-d", kSerial, "-b", kBuild});
        Run k =
            runMeasured({"curl", "-s", "-o", dir + "/body.txt", "-w", "%{time_total}\n", imageURL},
                        dir + "/curl-time.txt");
        curlTransferMs.push_back(1000.0 * std::atof(readText(dir + "/curl-time.txt").c_str()));
        failed = failed || u.status != 0 || k.status != 0;
        updaterMs.push_back(u.ms);
        curlMs.push_back(k.ms);
        peakKiB = std::max(peakKiB, u.maxRssKiB);
    }
    // The same program doing no download, for its base memory and start-up.
    std::vector<double> baseMs;
    Run base;
    for (int i = 0; i < runs; ++i) {
        base = runMeasured({updater, "-i", dir + "/home", "-u", url, "-L", "-d", kSerial});
        baseMs.push_back(base.ms);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);

    const bool stored =
        fileSize(dir + "/home/updater/" + kSerial + "/" + kBuild + ".bird") == birdBytes;
    const double u = median(updaterMs), k = median(curlMs);
    const double extraMiB = (peakKiB - base.maxRssKiB) / 1024.0;
    const double imageMiB = birdBytes / (1024.0 * 1024.0);
    std::printf("image: %ld bytes BIRD file, %ld bytes base64 body\n", birdBytes,
                fileSize(dir + "/body.txt"));
    std::printf("runs: %d (medians)\n", runs);
    std::printf("Updater -G:  %8.1f ms\n", u);
    std::printf("curl:        %8.1f ms\n", k);
    const double kt = median(curlTransferMs), b = median(baseMs);
    std::printf("curl transfer (its time_total): %8.1f ms\n", kt);
    std::printf("Updater -L:  %8.1f ms (start-up and store, no download)\n", b);
    std::printf("ratio, whole processes:               %6.2f (goal <= 1.5)\n", u / k);
    std::printf("ratio, Updater -G minus -L to curl transfer: %6.2f\n", (u - b) / kt);
    std::printf("peak RSS:    %8ld KiB (Updater -L without download: %ld KiB)\n", peakKiB,
                base.maxRssKiB);
    std::printf("download memory: %.1f MiB = %.2f x image (goal < 4)\n", extraMiB,
                extraMiB / imageMiB);
    std::printf("peak RSS / image: %.2f\n", peakKiB / 1024.0 / imageMiB);
    if (failed || !stored)
        std::printf("FAILED: a run did not succeed or the stored file differs in size\n");

    std::string cleanup = "rm -rf '" + dir + "'";
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return failed || !stored ? 1 : 0;
}
