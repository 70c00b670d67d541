#include "devlib/unix_mutex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

namespace {

TEST(unix_mutex, NameLengthLimit) {
    const std::string name255(255, 'm');
    aMutex* m = aMutex_Create(name255.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), name255);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);

    const std::string name256(256, 'm');
    EXPECT_EQ(aMutex_Create(name256.c_str()), nullptr);

    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");
    aMutex_Destroy(&unnamed);
    EXPECT_STREQ(aMutex_Identifier(nullptr), "");
}

TEST(unix_mutex, LockTryLockUnlock) {
    aMutex* m = aMutex_Create("aLink(0x1)->userFilterSema");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_TryLock(m), aErrNone);
    // Another thread finds it busy.
    aErr tried = aErrNone;
    std::thread other([&] { tried = aMutex_TryLock(m); });
    other.join();
    EXPECT_EQ(tried, aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
}

// A default mutex never reports EPERM or EDEADLK on this system (it does not
// track its owner), so the mapping is checked on its own.
TEST(unix_mutex, SystemErrorsMapToCodes) {
    struct Case {
        aMutexOperation operation;
        int error;
        aErr code;
    };
    const Case cases[] = {
        {aMutexOpLock, 0, aErrNone},
        {aMutexOpLock, EINVAL, aErrParam},
        {aMutexOpLock, EDEADLK, aErrDuplicate},
        {aMutexOpLock, EAGAIN, aErrUnknown},
        {aMutexOpTryLock, EBUSY, aErrBusy},
        {aMutexOpTryLock, EINVAL, aErrParam},
        {aMutexOpTryLock, EPERM, aErrUnknown},
        {aMutexOpUnlock, EPERM, aErrPermission},
        {aMutexOpUnlock, EINVAL, aErrParam},
        {aMutexOpUnlock, EBUSY, aErrUnknown},
        {aMutexOpDestroy, EAGAIN, aErrResource},
        {aMutexOpDestroy, EBUSY, aErrBusy},
        {aMutexOpDestroy, EINVAL, aErrParam},
        {aMutexOpDestroy, EPERM, aErrUnknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aMutex_ErrorFromErrno(c.operation, c.error), c.code)
            << "operation " << c.operation << " errno " << c.error;
    }
}

TEST(unix_mutex, NullArguments) {
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    aMutex* none = nullptr;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
}

TEST(unix_mutex, GuardsACounterAcrossThreads) {
    aMutex* m = aMutex_Create("counter");
    ASSERT_NE(m, nullptr);
    long counter = 0;
    const int kThreads = 4;
    const int kRounds = 20000;
    std::thread threads[kThreads];
    for (std::thread& t : threads) {
        t = std::thread([&] {
            for (int i = 0; i < kRounds; ++i) {
                aMutex_Lock(m);
                ++counter;
                aMutex_Unlock(m);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, long(kThreads) * kRounds);
    aMutex_Destroy(&m);
}

} // namespace
