#include "devlib/unix_time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(unix_time, TicksFollowTheWallClock) {
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    const uint64_t ticks = aTime_GetMSTicks();
    EXPECT_NEAR(static_cast<double>(ticks), static_cast<double>(wall), 1000.0);
    const uint64_t later = aTime_GetMSTicks();
    EXPECT_GE(later, ticks);
}

TEST(unix_time, SleepsAtLeastTheTimeAcrossSlices) {
    // Longer than one slice, so the remainder after the first slice counts.
    const unsigned long kSleepMs = 1300;
    const auto start = Clock::now();
    aTime_MSSleep(kSleepMs);
    EXPECT_GE(msSince(start), static_cast<long long>(kSleepMs));
}

TEST(unix_time, ZeroReturnsAtOnce) {
    const auto start = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        aTime_MSSleep(0);
    }
    // A thousand 1 ms sleeps would take a second at least.
    EXPECT_LT(msSince(start), 900);
}

std::atomic<int> sSignals{0};
void sOnSignal(int) {
    sSignals.fetch_add(1);
}

TEST(unix_time, ASignalDoesNotCutTheSleepShort) {
    struct sigaction action {};
    action.sa_handler = sOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: nanosleep returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 5 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!done) {
                pthread_kill(sleeper, SIGUSR1);
            }
        }
    });
    const unsigned long kSleepMs = 400;
    const auto start = Clock::now();
    aTime_MSSleep(kSleepMs);
    const long long slept = msSince(start);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_GT(sSignals.load(), 0) << "the sleep was interrupted at least once";
    EXPECT_GE(slept, static_cast<long long>(kSleepMs));
}

} // namespace
