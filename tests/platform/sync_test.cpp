#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Runs body on another thread and waits for it.
template <typename Body>
void OnOtherThread(Body body)
{
    std::thread other(body);
    other.join();
}

TEST(Mutexes, InitialOwnerHoldsUntilRelease)
{
    OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, m);
    OnOtherThread([&] {
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 0));
        errno = 0;
        EXPECT_FALSE(OsUserReleaseMutex(m));
        EXPECT_EQ(EPERM, errno);
    });
    EXPECT_TRUE(OsUserReleaseMutex(m));
    EXPECT_FALSE(OsUserReleaseMutex(m));
    OnOtherThread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(m, 0));
        EXPECT_TRUE(OsUserReleaseMutex(m));
    });
    EXPECT_TRUE(OsUserDeleteMutex(m));
}

// A holder's second wait fails (whatever the time-out): one release must free the mutex.
TEST(Mutexes, HolderWaitingAgainFailsWithDeadlock)
{
    OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, FALSE, nullptr);
    ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, INFINITE));
    for (DWORD timeout : {INFINITE, 100u, 0u, 0x80000000u}) {
        errno = 0;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForMutex(m, timeout)) << timeout;
        EXPECT_EQ(EDEADLK, errno);
    }
    EXPECT_TRUE(OsUserReleaseMutex(m));
    OnOtherThread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, 0));
        EXPECT_TRUE(OsUserReleaseMutex(m));
    });
    // A holder may close its own mutex.
    ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, 0));
    EXPECT_TRUE(OsUserCloseHandle(m));
}

// A finite wait on a mutex held elsewhere lasts at least its time-out; a large one (taken
// as unsigned) is still waiting later and ends with the release.
TEST(Mutexes, TimedWaitsOnAHeldMutex)
{
    OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, TRUE, nullptr);
    OnOtherThread([&] {
        const double start = kvtest::NowMs();
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 30));
        EXPECT_GE(kvtest::NowMs() - start, 30.0);
    });
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] {
        result = OsUserWaitForMutex(m, 0xFFFFFFFEu);
        OsUserReleaseMutex(m);
    });
    OsUserSleep(50);  // no return in the meantime (only a lower bound on the wait)
    EXPECT_EQ(0xDEADu, result.load());
    OsUserReleaseMutex(m);
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    OsUserCloseHandle(m);
}

TEST(Mutexes, NamedCreationIsRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, OsUserCreateMutex(nullptr, FALSE, "name"));
    EXPECT_EQ(nullptr, OsUserCreateSema(nullptr, 0, 1, "name"));
    EXPECT_EQ("OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR): named mutex not supported"
              "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR): named sema not supported",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMutex(nullptr, 0));
    EXPECT_FALSE(OsUserReleaseMutex(nullptr));
    EXPECT_FALSE(OsUserDeleteMutex(nullptr));
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForSema(nullptr, 0));
    EXPECT_FALSE(OsUserReleaseSema(nullptr, 1, nullptr));
    EXPECT_FALSE(OsUserDeleteSema(nullptr));
}

TEST(Semaphores, CountIsTheOnlyLimit)
{
    errno = 0;
    EXPECT_EQ(nullptr, OsUserCreateSema(nullptr, -1, 1, nullptr));
    EXPECT_EQ(EINVAL, errno);
    OS_USER_SEMA_HANDLE s = OsUserCreateSema(nullptr, 2, 1, nullptr);  // maximum not enforced
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSema(s, 0));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(s, INFINITE));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(s, 0));
    EXPECT_TRUE(OsUserReleaseSema(s, 0, nullptr));
    EXPECT_TRUE(OsUserReleaseSema(s, -5, nullptr));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(s, 0));
    LONG previous = 77;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(OsUserReleaseSema(s, 1, &previous));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSemaEx(s, 0, TRUE));
    EXPECT_EQ("BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG): lpPreviousCount != NULL not supported"
              "DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(77, previous);
    const double start = kvtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(s, 30));
    EXPECT_GE(kvtest::NowMs() - start, 30.0);
    EXPECT_TRUE(OsUserDeleteSema(s));
}

// One release of 3 lets exactly three of four blocked waiters through, whatever their time-outs.
TEST(Semaphores, ReleaseCountLetsThatManyThrough)
{
    OS_USER_SEMA_HANDLE s = OsUserCreateSema(nullptr, 0, 10, nullptr);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (DWORD timeout : {INFINITE, 0x80000000u, 0xFFFFFFFEu, 600000u}) {
        waiters.emplace_back([&, timeout] {
            if (OsUserWaitForSema(s, timeout) == WAIT_OBJECT_0)
                ++passed;
        });
    }
    EXPECT_TRUE(OsUserReleaseSema(s, 3, nullptr));
    kvtest::Await([&] { return passed.load() == 3; });
    OsUserSleep(20);  // the fourth stays blocked (a lower bound only)
    EXPECT_EQ(3, passed.load());
    EXPECT_TRUE(OsUserReleaseSema(s, 1, nullptr));
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(4, passed.load());
    EXPECT_TRUE(OsUserCloseHandle(s));
}

TEST(CriticalSections, RecursiveEntriesMustAllBeLeft)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(OsUserInitializeCriticalSection(&cs));
    EXPECT_TRUE(OsUserEnterCriticalSection(&cs));
    EXPECT_TRUE(OsUserTryEnterCriticalSection(&cs));
    const auto othersTry = [&] {
        BOOL taken = FALSE;
        OnOtherThread([&] {
            taken = OsUserTryEnterCriticalSection(&cs);
            if (taken)
                OsUserLeaveCriticalSection(&cs);
        });
        return taken;
    };
    EXPECT_FALSE(othersTry());
    EXPECT_TRUE(OsUserLeaveCriticalSection(&cs));
    EXPECT_FALSE(othersTry());
    EXPECT_TRUE(OsUserLeaveCriticalSection(&cs));
    EXPECT_TRUE(othersTry());
    EXPECT_TRUE(OsUserDeleteCriticalSection(&cs));
    for (auto call : {OsUserInitializeCriticalSection, OsUserEnterCriticalSection, OsUserLeaveCriticalSection,
                      OsUserDeleteCriticalSection, OsUserTryEnterCriticalSection}) {
        EXPECT_FALSE(call(nullptr));
    }
}

}  // namespace
