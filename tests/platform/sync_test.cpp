#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <functional>

namespace {

// Another thread's timed wait lasts its time-out (its refused release: next test); a holder
// waiting again fails whatever the time-out, so one release frees it; a holder may close it.
TEST(Mutexes, OwnershipIsExact)
{
    OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, TRUE, nullptr);
    std::thread([&] { EXPECT_GE(kvtest::MsTaken([&] { EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 30)); }), 30.0); }).join();
    for (DWORD timeout : {INFINITE, 100u, 0u, 0x80000000u}) {
        errno = 0;
        EXPECT_TRUE(OsUserWaitForSingleObject(m, timeout) == WAIT_FAILED && errno == EDEADLK) << timeout;
    }
    EXPECT_TRUE(OsUserReleaseMutex(m) && !OsUserReleaseMutex(m));
    std::thread([&] { EXPECT_TRUE(OsUserWaitForMutex(m, 0) == WAIT_OBJECT_0 && OsUserReleaseMutex(m)); }).join();
    EXPECT_TRUE(OsUserWaitForMutex(m, 0x7FFFFFFFu) == WAIT_OBJECT_0 && OsUserCloseHandle(m));  // closed by its holder
}

// A holder that ends leaves its mutex locked for good (no abandonment). A later thread that
// the system gives the ended holder's identifier is no holder: its waits time out, its
// release and its close are refused, and the process goes on.
TEST(Mutexes, AnEndedHoldersIdentifierHoldsNothing)
{
    static OS_USER_MUTEX_HANDLE m = OsUserCreateMutex(nullptr, FALSE, nullptr);  // never closable, kept reachable
    OS_USER_HANDLE set = OsUserCreateEvent(nullptr, TRUE, TRUE, nullptr), both[] = {m, set};
    pthread_t holder{};
    std::thread([&] { EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(m, 0)); holder = pthread_self(); }).join();
    int reused = 0;
    for (int i = 0; i < 100 && reused == 0; ++i)
        std::thread([&] {
            if ((reused = pthread_equal(holder, pthread_self())) == 0)
                return;
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMutex(m, 20));
            EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(2, both, TRUE, 20));
            EXPECT_TRUE(!OsUserReleaseMutex(m) && errno == EPERM);
            EXPECT_TRUE(!OsUserCloseHandle(m) && errno == EBUSY);
        }).join();
    EXPECT_NE(0, reused) << "no later thread had the ended holder's identifier";
    EXPECT_TRUE(OsUserWaitForSingleObject(m, 0) == WAIT_TIMEOUT && !OsUserCloseHandle(m) && errno == EBUSY);
    EXPECT_TRUE(OsUserCloseHandle(set));
}

// The count is the only limit (the maximum is not enforced, releases of 0 or less change
// nothing); one release of 3 lets exactly three of four blocked waiters through, whatever
// their (unsigned) time-outs, and the next release the fourth.
TEST(Semaphores, ReleasesLetThatManyThrough)
{
    errno = 0;
    EXPECT_TRUE(OsUserCreateSema(nullptr, -1, 1, nullptr) == nullptr && errno == EINVAL);
    OS_USER_SEMA_HANDLE s = OsUserCreateSema(nullptr, 2, 1, nullptr);
    EXPECT_TRUE(OsUserWaitForSema(s, 0) == WAIT_OBJECT_0 && OsUserWaitForSingleObject(s, INFINITE) == WAIT_OBJECT_0);
    EXPECT_TRUE(OsUserReleaseSema(s, 0, nullptr) && OsUserReleaseSema(s, -5, nullptr));
    EXPECT_GE(kvtest::MsTaken([&] { EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(s, 30)); }), 30.0);
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (DWORD timeout : {INFINITE, 0x80000000u, 0xFFFFFFFEu, 600000u})
        waiters.emplace_back([&, timeout] { passed += OsUserWaitForSema(s, timeout) == WAIT_OBJECT_0; });
    EXPECT_TRUE(OsUserReleaseSema(s, 3, nullptr));
    kvtest::Await([&] { return passed.load() == 3; });
    EXPECT_TRUE(OsUserReleaseSema(s, 1, nullptr));
    kvtest::JoinAll(waiters);
    EXPECT_EQ(4, passed.load());
    EXPECT_TRUE(OsUserWaitForSema(s, 0) == WAIT_TIMEOUT && OsUserDeleteSema(s));  // no unit more than released
}

TEST(CriticalSections, RecursiveEntriesMustAllBeLeft)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(OsUserInitializeCriticalSection(&cs));
    EXPECT_TRUE(OsUserEnterCriticalSection(&cs) && OsUserTryEnterCriticalSection(&cs));
    for (BOOL expected : {FALSE, FALSE, TRUE}) {
        BOOL taken = FALSE;
        std::thread([&] { EXPECT_TRUE(!(taken = OsUserTryEnterCriticalSection(&cs)) || OsUserLeaveCriticalSection(&cs)); }).join();
        EXPECT_EQ(expected, taken);
        EXPECT_TRUE(expected || OsUserLeaveCriticalSection(&cs));  // one entry fewer
    }
    EXPECT_TRUE(OsUserDeleteCriticalSection(&cs));
}

// Requests the layer does not support are refused, or ignored, each with its message.
TEST(Unsupported, RequestsAreRefusedOrIgnoredWithTheirMessage)
{
    LONG previous = 77;
    OS_USER_HANDLE event = OsUserCreateEvent(nullptr, FALSE, TRUE, nullptr), sema = OsUserCreateSema(nullptr, 0, 1, nullptr);
    EXPECT_FALSE(OsUserCreateEvent(nullptr, TRUE, FALSE, "name") || OsUserCreateEvent(&previous, TRUE, FALSE, nullptr));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(OsUserCreateMutex(nullptr, FALSE, "name") == nullptr && OsUserCreateSema(nullptr, 0, 1, "name") == nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForEventEx(event, 0, TRUE));
    EXPECT_TRUE(OsUserReleaseSema(sema, 1, &previous) && OsUserWaitForSemaEx(sema, 0, TRUE) == WAIT_OBJECT_0);
    EXPECT_EQ("OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR): named mutex not supported"
              "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR): named sema not supported"
              "DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported"
              "BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG): lpPreviousCount != NULL not supported"
              "DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL): bAlertable == TRUE not supported",
              testing::internal::GetCapturedStderr());
    EXPECT_TRUE(previous == 77 && OsUserWaitForEventEx(event, 0, FALSE) == WAIT_TIMEOUT);  // the flag was taken
    EXPECT_TRUE(OsUserCloseHandle(event) && OsUserCloseHandle(sema));
}

// Each operation's result and the value it leaves; increment and decrement wrap around.
TEST(Interlocked, ResultsAndValuesLeft)
{
    using Operation = std::function<LONG(LONG volatile*)>;
    const struct { LONG initial; Operation operation; LONG result, left; } cases[] = {
        {0, InterlockedIncrement, 1, 1}, {INT32_MAX, InterlockedIncrement, INT32_MIN, INT32_MIN},
        {1, InterlockedDecrement, 0, 0}, {INT32_MIN, InterlockedDecrement, INT32_MAX, INT32_MAX},
        {1, [](LONG volatile* t) { return InterlockedExchange(t, -7); }, 1, -7},
        {5, [](LONG volatile* t) { return InterlockedCompareExchange(t, 7, 5); }, 5, 7},
        {5, [](LONG volatile* t) { return InterlockedCompareExchange(t, 7, 6); }, 5, 5},
        {1, [](LONG volatile* t) { return InterlockedOr(t, 2); }, 3, 3},
        {3, [](LONG volatile* t) { return InterlockedAnd(t, 1); }, 1, 1},
    };
    for (const auto& c : cases) {
        LONG volatile target = c.initial;
        EXPECT_TRUE(c.operation(&target) == c.result && target == c.left) << &c - cases;
    }
    int a = 0, b = 0;
    PVOID volatile pointer = &a;
    EXPECT_TRUE(InterlockedExchangePointer(&pointer, &b) == &a && pointer == &b);
}

// Or and And retry with the value another thread stored meanwhile: a bit one thread set or
// cleared is never undone by another thread's concurrent update.
TEST(Interlocked, OrAndAndLoseNoConcurrentUpdate)
{
    int volatile bits = 0;
    std::atomic<int> lost{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedOr(&bits, 1 << t);
                lost += (__atomic_load_n(&bits, __ATOMIC_SEQ_CST) & (1 << t)) == 0;
                InterlockedAnd(&bits, ~(1 << t));
                lost += (__atomic_load_n(&bits, __ATOMIC_SEQ_CST) & (1 << t)) != 0;
            }
        });
    kvtest::JoinAll(threads);
    EXPECT_TRUE(lost == 0 && bits == 0) << lost << " lost";
}

}  // namespace
