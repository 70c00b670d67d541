// Shared by the USB tests: a corvantis-sim whose modules sit on an emulated
// USB bus, and a main() that runs the test program under the umockdev
// preload so that the real libusb inside it sees that bus.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devlib/sxusb_driver.h"
#include "tests/support/TestSupport.h"

namespace usbtest {

constexpr const char* kPreload = "libumockdev-preload.so.0";

// A running simulator with its USB bus.
struct UsbSim {
    testsupport::TempDir dir;
    std::unique_ptr<testsupport::BackgroundProcess> process;
    std::string umockdevDir;
    std::string control;
    std::string ptyPath;

    // Starts the simulator with this configuration (JSON text) and points
    // this process's preload at its bus. $CORVANTIS_SIM names another
    // simulator program than the build tree's (the thread-sanitizer run
    // takes an uninstrumented one: the emulation's glib threads inside it
    // synchronise in ways the sanitizer cannot see).
    bool start(const std::string& config, std::vector<std::string> extra = {}) {
        testsupport::writeFile(dir.file("sims.json"), config);
        const char* other = getenv("CORVANTIS_SIM");
        std::vector<std::string> argv = {other && *other ? std::string(other)
                                                         : testsupport::buildPath("corvantis-sim"),
                                         "--config", dir.file("sims.json"), "--max-runtime", "170"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        testsupport::ProcessOptions options;
        options.unsetEnv = {"UMOCKDEV_DIR"};
        process.reset(new testsupport::BackgroundProcess(argv, options));
        std::string line;
        while (process->readLine(line, std::chrono::seconds(10))) {
            std::istringstream in(line);
            std::string kind, where;
            in >> kind >> where;
            if (kind == "usb-env") {
                umockdevDir = where.substr(where.find('=') + 1);
            } else if (kind == "usb-control") {
                control = where;
            } else if (kind == "pty") {
                ptyPath = where;
            } else if (kind == "ready") {
                if (!umockdevDir.empty()) {
                    setenv("UMOCKDEV_DIR", umockdevDir.c_str(), 1);
                }
                return true;
            }
        }
        return false;
    }
    // Sends one control command ("unplug 40F5849A 300", "in-errors X 5").
    bool command(const std::string& text) {
        int fd = ::open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        std::string line = text + "\n";
        bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(fd);
        return ok;
    }
    // Waits for a printed line that starts with `prefix`.
    bool awaitLine(const std::string& prefix, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string line;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (!process->readLine(line, left)) {
                return false;
            }
            if (line.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    }
};

// For a test suite that shares one simulator: starts it (SetUpTestSuite)...
inline bool startShared(UsbSim*& sim, const char* config) {
    sim = new UsbSim();
    return sim->start(config);
}
// ...and stops it and releases libusb's context (TearDownTestSuite).
inline void stopShared(UsbSim*& sim) {
    Corvantis_libusb_exit();
    delete sim;
    sim = nullptr;
}

template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

// Runs the tests under the preload: a program started without it starts
// itself again with it (AddressSanitizer must then skip its link-order check).
inline int runUnderPreload(int argc, char** argv) {
    const char* preload = getenv("LD_PRELOAD");
    if (preload == nullptr || strstr(preload, "libumockdev-preload") == nullptr) {
        std::string value = kPreload;
        if (preload != nullptr && preload[0] != '\0') {
            value += std::string(":") + preload;
        }
        setenv("LD_PRELOAD", value.c_str(), 1);
        const char* asan = getenv("ASAN_OPTIONS");
        std::string asanValue = "verify_asan_link_order=0:detect_leaks=0";
        if (asan != nullptr && asan[0] != '\0') {
            asanValue = std::string(asan) + ":" + asanValue;
        }
        setenv("ASAN_OPTIONS", asanValue.c_str(), 1);
        unsetenv("UMOCKDEV_DIR");
        execv("/proc/self/exe", argv);
        perror("execv");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace usbtest

#define USBTEST_MAIN                                                                               \
    int main(int argc, char** argv) {                                                              \
        return usbtest::runUnderPreload(argc, argv);                                               \
    }
