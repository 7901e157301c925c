#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

// An auto-reset event, a free mutex and an empty semaphore.
struct Objects {
    OS_USER_HANDLE event = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    OS_USER_HANDLE mutex = OsUserCreateMutex(nullptr, FALSE, nullptr), sema = OsUserCreateSema(nullptr, 0, 10, nullptr);
    ~Objects() { EXPECT_TRUE(OsUserCloseHandle(event) && OsUserCloseHandle(mutex) && OsUserCloseHandle(sema)); }
};

TEST(Handles, LastErrorMapsErrnoToWin32Codes)
{
    const std::pair<int, DWORD> cases[] = {
        {ENOMEM, 14}, {EACCES, 5}, {EEXIST, 183}, {EINVAL, 13}, {ETIMEDOUT, 1460}, {ENOENT, 10000u + ENOENT}, {0, 10000}};
    for (const auto& c : cases) {
        errno = c.first;
        EXPECT_TRUE(OsUserGetLastError() == static_cast<DWORD>(c.first) && OsUserGetLastWin32Error() == c.second) << c.first;
    }
}

// The nanoseconds carry into the seconds: a deadline is always a valid timespec.
TEST(Handles, DeadlinesLieTheirTimeOutAhead)
{
    for (DWORD ms : {0u, 999u, 1000u, 1999u}) {
        timespec before, deadline;
        clock_gettime(CLOCK_MONOTONIC, &before);
        ASSERT_TRUE(GetAbsoluteTime(CLOCK_MONOTONIC, ms, &deadline));
        const long long ahead = (deadline.tv_sec - before.tv_sec) * 1000000000LL + deadline.tv_nsec - before.tv_nsec;
        EXPECT_TRUE(ahead >= ms * 1000000LL && ahead < ms * 1000000LL + 1000000000LL && deadline.tv_nsec < 1000000000L) << ms;
    }
}

// Null handles, unknown kinds, handles of another kind and arrays that can never be satisfied
// fail in every call, none crashes.
TEST(Handles, NullUnknownForeignHandlesAndUnsatisfiableArraysFail)
{
    Objects o;
    _OsUserHandle unknown(9);
    for (OS_USER_HANDLE h : {OS_USER_HANDLE{}, OS_USER_HANDLE{&unknown}}) {
        errno = 0;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForSingleObjectEx(h, 0, FALSE));
        EXPECT_EQ(h == nullptr ? 0 : EINVAL, errno);  // null leaves errno alone
        EXPECT_TRUE(!OsUserCloseHandle(h) && errno == EINVAL);
        EXPECT_FALSE(OsUserSetEvent(h) || OsUserResetEvent(h) || OsUserDeleteEvent(h) || OsUserReleaseMutex(h) ||
                     OsUserDeleteMutex(h) || OsUserReleaseSema(h, 1, nullptr) || OsUserDeleteSema(h) ||
                     OsUserCloseThreadHandle(h) || OsUserThreadResume(h) != 0);
    }
    for (DWORD waited : {OsUserWaitForEvent(nullptr, 0), OsUserWaitForMutex(nullptr, 0), OsUserWaitForSema(nullptr, 0),
                         OsUserWaitForThread(nullptr, 0), OsUserWaitForEvent(o.mutex, 0), OsUserWaitForMutex(o.sema, 0),
                         OsUserWaitForSema(o.event, 0), OsUserWaitForThread(o.event, 0),
                         OsUserWaitForMultipleObjects(0, &o.event, FALSE, 0),
                         OsUserWaitForMultipleObjects(1, nullptr, TRUE, 0)})
        EXPECT_EQ(WAIT_FAILED, waited);
    errno = 0;
    EXPECT_TRUE(!OsUserSetEvent(o.mutex) && errno == EINVAL);
    for (auto call : {OsUserInitializeCriticalSection, OsUserEnterCriticalSection, OsUserLeaveCriticalSection,
                      OsUserDeleteCriticalSection, OsUserTryEnterCriticalSection})
        EXPECT_FALSE(call(nullptr));
    // A thread without a routine: no handle, a null thread id, the handle argument untouched.
    pthread_t id = pthread_self();
    void* handle = &id;
    EXPECT_TRUE(OsUserCreateThread(nullptr, 0, nullptr, nullptr, 0, &id) == nullptr && id == pthread_t{});
    EXPECT_TRUE(OsUserCreateThreadEx(0, nullptr, nullptr, 0, &handle, nullptr, 1) == EINVAL && handle == &id);

    // Arrays that can never be satisfied fail at once (an INFINITE wait would otherwise hang).
    _OsUserFileHandle file;
    ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(o.mutex, 0));  // held by this thread
    const std::pair<BOOL, std::vector<OS_USER_HANDLE>> cases[] = {
        {TRUE, {o.event, nullptr}}, {TRUE, {o.event, &file}}, {TRUE, {&unknown, o.event}},
        {TRUE, {o.sema, o.event, o.sema}},             // the same handle twice
        {TRUE, {o.event, o.mutex}},                    // a mutex the caller holds
        {FALSE, {nullptr, &file, &unknown, o.mutex}},  // wait-any: nothing the caller can take
    };
    for (const auto& c : cases) {
        errno = 0;
        std::vector<OS_USER_HANDLE> handles = c.second;
        const DWORD waited = OsUserWaitForMultipleObjects(DWORD(handles.size()), handles.data(), c.first, INFINITE);
        EXPECT_TRUE(waited == WAIT_FAILED && errno == EINVAL) << &c - cases;
    }
    OsUserReleaseMutex(o.mutex);
}

// Wait-any takes the first signalled entry only, skipping entries that cannot be signalled,
// in arrays beyond the inline size of 64 entries too; wait-all finds a duplicate among them.
TEST(Handles, WaitAnyTakesTheFirstSignalledEntry)
{
    _OsUserFileHandle file;
    std::vector<OS_USER_HANDLE> handles(100, &file);
    for (size_t i = 2; i < handles.size(); ++i)
        handles[i] = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    handles[0] = nullptr;
    EXPECT_TRUE(OsUserSetEvent(handles[3]) && OsUserSetEvent(handles[7]));
    const auto waitAny = [&](DWORD ms) { return OsUserWaitForMultipleObjects(100, handles.data(), FALSE, ms); };
    EXPECT_TRUE(waitAny(INFINITE) == WAIT_OBJECT_0 + 3 && waitAny(0) == WAIT_OBJECT_0 + 7);
    EXPECT_GE(kvtest::MsTaken([&] { EXPECT_EQ(WAIT_TIMEOUT, waitAny(20)); }), 20.0);
    std::thread setter([&] { OsUserSetEvent(handles.back()); });
    EXPECT_EQ(WAIT_OBJECT_0 + 99, waitAny(INFINITE));
    setter.join();
    for (size_t i = 2; i < handles.size(); ++i)
        OsUserSetEvent(handles[i]);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(98, handles.data() + 2, TRUE, 0));
    handles[0] = handles[1] = handles[42];
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(100, handles.data(), TRUE, 0));
    for (size_t i = 2; i < handles.size(); ++i)
        OsUserCloseHandle(handles[i]);
}

// Wait-all takes everything in one pass or nothing: a time-out gives back the free mutex,
// the semaphore unit and the auto-reset event it had taken.
TEST(Handles, WaitAllTakesAllOrNothing)
{
    Objects o, blocking;
    EXPECT_TRUE(OsUserSetEvent(o.event) && OsUserReleaseSema(o.sema, 1, nullptr));
    OS_USER_HANDLE handles[] = {o.mutex, o.sema, o.event, blocking.sema};
    for (DWORD timeout : {0u, 20u}) {
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(4, handles, TRUE, timeout));
        EXPECT_TRUE(OsUserWaitForMutex(o.mutex, 0) == WAIT_OBJECT_0 && OsUserReleaseMutex(o.mutex));
    }
    EXPECT_TRUE(OsUserReleaseSema(blocking.sema, 1, nullptr) && OsUserWaitForMultipleObjects(4, handles, TRUE, 0) == WAIT_OBJECT_0);
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(3, handles + 1, FALSE, 0));  // each unit, the flag taken
    EXPECT_TRUE(OsUserReleaseMutex(o.mutex));
}

// An auto-reset flag is taken by the first zero time-out, a manual-reset one stays. Waiters
// with every kind of time-out, the largest finite ones included (time-outs are unsigned): a
// wake-up that no set caused parks them again, one set releases all of them.
TEST(Events, OnlyASetEndsTheWaitAndItEndsEveryWait)
{
    for (BOOL manualReset : {FALSE, TRUE}) {
        SCOPED_TRACE(manualReset);
        OS_USER_EVENT_HANDLE e = OsUserCreateEvent(nullptr, manualReset, TRUE, nullptr);
        const DWORD second = manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT;  // an auto-reset flag is taken by the first
        EXPECT_TRUE(OsUserWaitForEvent(e, 0) == WAIT_OBJECT_0 && OsUserWaitForSingleObject(e, 0) == second);
        EXPECT_TRUE(OsUserResetEvent(e));
        COsUserEvent& event = static_cast<_OsEventHandle*>(KvHandle(e))->event;
        std::atomic<int> failed{0}, returned{0};
        std::vector<std::thread> waiters;
        const auto anyReturned = [&] { return returned > 0; };
        for (DWORD t : {INFINITE, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
            waiters.emplace_back([&, t] { failed += OsUserWaitForEvent(e, t) != WAIT_OBJECT_0; ++returned; });
        kvtest::AwaitSleepers(event, 4, 0, anyReturned);
        const uint64_t wakeups = event.wakeups;
        // A waiter counts itself a sleeper just before it sleeps: wake until all four have woken.
        kvtest::Await([&] { return KvWakeSleepers(&event), event.wakeups >= wakeups + 4 || anyReturned(); });
        kvtest::AwaitSleepers(event, 4, wakeups + 4, anyReturned);  // woke, sleep again
        EXPECT_TRUE(returned == 0 && OsUserSetEvent(e));
        kvtest::JoinAll(waiters);
        EXPECT_EQ(0, failed.load());
        EXPECT_EQ(manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT, OsUserWaitForEvent(e, 0));
        EXPECT_TRUE(OsUserCloseHandle(e));
    }
}

// An event built without its condition is inert until Create makes it; a second Create
// keeps the condition and changes the reset mode.
TEST(Events, InertEventFailsUntilCreated)
{
    COsUserEvent event(false, 0);
    EXPECT_EQ(WAIT_FAILED, event.Wait(0));
    EXPECT_FALSE(event.Signal() || event.Clear());
    ASSERT_TRUE(event.Create(1));
    EXPECT_TRUE(event.Signal() && event.Wait(0) == WAIT_OBJECT_0 && event.Wait(0) == WAIT_OBJECT_0);
    ASSERT_TRUE(event.Create(0));
    EXPECT_TRUE(event.Wait() == WAIT_OBJECT_0 && event.Wait(0) == WAIT_TIMEOUT);
}

}  // namespace
