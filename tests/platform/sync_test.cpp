#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

template <typename Body>
void OnOtherThread(Body body)
{
    std::thread(body).join();
}

// Only the holder releases; a holder waiting again fails whatever the time-out, so one
// release always frees the mutex; a holder may close its own mutex.
TEST(Mutexes, OwnershipIsExact)
{
    OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, TRUE, nullptr);
    ASSERT_NE(nullptr, m);
    OnOtherThread([&] {
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 0));
        const double start = kvtest::NowMs();
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 30));
        EXPECT_GE(kvtest::NowMs() - start, 30.0);
        errno = 0;
        EXPECT_FALSE(OsUserReleaseMutex(m));
        EXPECT_EQ(EPERM, errno);
    });
    for (DWORD timeout : {INFINITE, 100u, 0u, 0x80000000u}) {
        errno = 0;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForSingleObject(m, timeout)) << timeout;
        EXPECT_EQ(EDEADLK, errno);
    }
    EXPECT_TRUE(OsUserReleaseMutex(m));
    EXPECT_FALSE(OsUserReleaseMutex(m));
    OnOtherThread([&] {
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, 0));
        EXPECT_TRUE(OsUserReleaseMutex(m));
    });
    ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, 0x7FFFFFFFu));
    EXPECT_TRUE(OsUserCloseHandle(m));
}

TEST(Mutexes, NamedAndNullAreRefused)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, OsUserCreateMutex(nullptr, FALSE, "name"));
    EXPECT_EQ(nullptr, OsUserCreateSema(nullptr, 0, 1, "name"));
    EXPECT_EQ("OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR): named mutex not supported"
              "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR): named sema not supported",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMutex(nullptr, 0));
    EXPECT_FALSE(OsUserReleaseMutex(nullptr) || OsUserDeleteMutex(nullptr) || OsUserDeleteSema(nullptr) ||
                 OsUserReleaseSema(nullptr, 1, nullptr));
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForSema(nullptr, 0));
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
    EXPECT_TRUE(OsUserReleaseSema(s, 0, nullptr));
    EXPECT_TRUE(OsUserReleaseSema(s, -5, nullptr));
    const double start = kvtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(s, 30));
    EXPECT_GE(kvtest::NowMs() - start, 30.0);
    LONG previous = 77;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(OsUserReleaseSema(s, 1, &previous));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSemaEx(s, 0, TRUE));
    EXPECT_EQ("BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG): lpPreviousCount != NULL not supported"
              "DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(77, previous);
    EXPECT_TRUE(OsUserDeleteSema(s));
}

// One release of 3 lets exactly three of four blocked waiters through, whatever their
// (unsigned) time-outs; the fourth stays blocked until the next release.
TEST(Semaphores, ReleaseCountLetsThatManyThrough)
{
    OS_USER_SEMA_HANDLE s = OsUserCreateSema(nullptr, 0, 10, nullptr);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (DWORD timeout : {INFINITE, 0x80000000u, 0xFFFFFFFEu, 600000u}) {
        waiters.emplace_back([&, timeout] { passed += OsUserWaitForSema(s, timeout) == WAIT_OBJECT_0; });
    }
    EXPECT_TRUE(OsUserReleaseSema(s, 3, nullptr));
    kvtest::Await([&] { return passed.load() == 3; });
    OsUserSleep(20);  // a lower bound only: nobody else returns meanwhile
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
            if ((taken = OsUserTryEnterCriticalSection(&cs)))
                OsUserLeaveCriticalSection(&cs);
        });
        return taken;
    };
    for (BOOL expected : {FALSE, FALSE, TRUE}) {
        EXPECT_EQ(expected, othersTry());
        if (!expected) {
            EXPECT_TRUE(OsUserLeaveCriticalSection(&cs));
        }
    }
    EXPECT_TRUE(OsUserDeleteCriticalSection(&cs));
    for (auto call : {OsUserInitializeCriticalSection, OsUserEnterCriticalSection, OsUserLeaveCriticalSection,
                      OsUserDeleteCriticalSection, OsUserTryEnterCriticalSection})
        EXPECT_FALSE(call(nullptr));
}

}  // namespace
