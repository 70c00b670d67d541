#include "devlib/unix_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

void* sIncrement(void* argument) {
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
    return nullptr;
}

TEST(unix_thread, RunsTheEntryAndJoins) {
    std::atomic<int> value{41};
    aThread* thread = aThread_Create(sIncrement, &value);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    // The join guarantees the entry has finished.
    EXPECT_EQ(value.load(), 42);
}

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> finished{false};
};

void* sWaitForGate(void* argument) {
    Gate* gate = static_cast<Gate*>(argument);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!gate->open && std::chrono::steady_clock::now() < deadline) {
        aThread_Yield();
    }
    gate->finished = true;
    return nullptr;
}

TEST(unix_thread, DestroyWaitsForTheThreadToEnd) {
    Gate gate;
    aThread* thread = aThread_Create(sWaitForGate, &gate);
    ASSERT_NE(thread, nullptr);
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gate.open = true;
    });
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_TRUE(gate.finished.load());
    opener.join();
}

struct SelfDestroy {
    aThread* handle = nullptr;
    std::atomic<bool> ready{false};
    std::atomic<int> result{-1};
};

void* sDestroySelf(void* argument) {
    SelfDestroy* self = static_cast<SelfDestroy*>(argument);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!self->ready && std::chrono::steady_clock::now() < deadline) {
        aThread_Yield();
    }
    self->result = aThread_Destroy(&self->handle);
    return nullptr;
}

TEST(unix_thread, DestroyFromTheThreadItselfDoesNotHang) {
    // Static: the detached thread may still be returning from its entry
    // function when the test ends.
    static SelfDestroy selfDestroy;
    SelfDestroy* self = &selfDestroy;
    self->handle = aThread_Create(sDestroySelf, self);
    ASSERT_NE(self->handle, nullptr);
    self->ready = true;
    // The thread detaches itself; wait for its verdict with a bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (self->result == -1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(self->result.load(), EDEADLK);
}

TEST(unix_thread, Arguments) {
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
    aThread* none = nullptr;
    EXPECT_EQ(aThread_Destroy(&none), EINVAL);
}

} // namespace
