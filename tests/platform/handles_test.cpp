#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// One handle of each waitable kind, each made available by Release() from any thread.
struct Objects {
    Objects()
        : event(OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr)),
          mutex(OsUserCreateMutex(nullptr, FALSE, nullptr)),
          sema(OsUserCreateSema(nullptr, 0, 10, nullptr))
    {
    }
    ~Objects()
    {
        OsUserCloseHandle(event);
        OsUserCloseHandle(mutex);
        OsUserCloseHandle(sema);
    }
    OS_USER_HANDLE event, mutex, sema;
};

TEST(Handles, LastErrorMapsErrnoToWin32Codes)
{
    const struct {
        int error;
        DWORD win32;
    } cases[] = {{ENOMEM, 14}, {EACCES, 5}, {EEXIST, 183}, {EINVAL, 13}, {ETIMEDOUT, 1460},
                 {ENOENT, 10000u + ENOENT}, {0, 10000}};
    for (const auto& c : cases) {
        errno = c.error;
        EXPECT_EQ(static_cast<DWORD>(c.error), OsUserGetLastError());
        EXPECT_EQ(c.win32, OsUserGetLastWin32Error()) << c.error;
    }
}

// Deadlines are computed in 64-bit: every DWORD below INFINITE lies in the future.
TEST(Handles, DeadlinesLieTheirTimeOutAhead)
{
    for (DWORD ms : {0u, 1u, 999u, 1000u, 1999u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu}) {
        timespec before, deadline;
        clock_gettime(CLOCK_MONOTONIC, &before);
        ASSERT_TRUE(GetAbsoluteTime(CLOCK_MONOTONIC, ms, &deadline));
        const long long ahead = (static_cast<long long>(deadline.tv_sec) - before.tv_sec) * 1000000000LL +
                                (deadline.tv_nsec - before.tv_nsec);
        EXPECT_GE(ahead, static_cast<long long>(ms) * 1000000LL) << ms;
        EXPECT_LT(ahead, static_cast<long long>(ms) * 1000000LL + 1000000000LL) << ms;
        EXPECT_LT(deadline.tv_nsec, 1000000000L);
    }
}

TEST(Handles, NullAndUnknownHandlesFail)
{
    _OsUserHandle unknown(9);
    errno = 0;
    EXPECT_FALSE(OsUserCloseHandle(nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_FALSE(OsUserCloseHandle(&unknown));
    EXPECT_EQ(13u, OsUserGetLastWin32Error());
    errno = 0;
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForSingleObject(nullptr, 0));
    EXPECT_EQ(0, errno);
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForSingleObjectEx(&unknown, 0, FALSE));
    EXPECT_EQ(EINVAL, errno);
    OS_USER_HANDLE one[] = {&unknown};
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(0, one, FALSE, 0));
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(1, nullptr, TRUE, 0));
}

// Arrays that can never be satisfied fail at once (an INFINITE wait would otherwise hang).
TEST(Handles, UnsatisfiableArraysFailAtOnce)
{
    Objects o;
    _OsUserHandle unknown(9);
    _OsUserFileHandle file;
    ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(o.mutex, 0));  // held by this thread
    const struct {
        const char* name;
        BOOL waitAll;
        std::vector<OS_USER_HANDLE> handles;
    } cases[] = {
        {"all: null entry", TRUE, {o.event, nullptr}},
        {"all: file entry", TRUE, {o.event, &file}},
        {"all: unknown kind", TRUE, {&unknown, o.event}},
        {"all: same handle twice", TRUE, {o.sema, o.event, o.sema}},
        {"all: own mutex", TRUE, {o.event, o.mutex}},
        {"any: nothing waitable", FALSE, {nullptr, &file, &unknown, o.mutex}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        std::vector<OS_USER_HANDLE> handles = c.handles;
        EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                            handles.data(), c.waitAll, INFINITE));
        EXPECT_EQ(EINVAL, errno);
    }
    OsUserReleaseMutex(o.mutex);
}

// Wait-any takes the first signalled entry only; entries that cannot be signalled are skipped.
TEST(Handles, WaitAnyTakesTheFirstSignalledEntry)
{
    Objects a, b;
    _OsUserFileHandle file;
    OsUserSetEvent(a.event);
    OsUserSetEvent(b.event);
    OS_USER_HANDLE handles[] = {nullptr, a.event, &file, b.event};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, OsUserWaitForMultipleObjects(4, handles, FALSE, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0 + 3, OsUserWaitForMultipleObjects(4, handles, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(4, handles, FALSE, 0));
    const double start = kvtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(4, handles, FALSE, 20));
    EXPECT_GE(kvtest::NowMs() - start, 20.0);
}

// Arrays beyond the inline size of 64 entries: the index of the last entry, and a duplicate
// found among them.
TEST(Handles, LongArrays)
{
    std::vector<OS_USER_HANDLE> events;
    for (int i = 0; i < 100; ++i)
        events.push_back(OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr));
    std::thread setter([&] { OsUserSetEvent(events.back()); });
    EXPECT_EQ(WAIT_OBJECT_0 + 99, OsUserWaitForMultipleObjects(100, events.data(), FALSE, INFINITE));
    setter.join();
    for (auto e : events)
        OsUserSetEvent(e);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(100, events.data(), TRUE, 0));
    events.push_back(events[42]);
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForMultipleObjects(101, events.data(), TRUE, 0));
    events.pop_back();
    for (auto e : events)
        OsUserCloseHandle(e);
}

// Wait-all takes everything in one pass or nothing: a time-out gives back the free mutex,
// the semaphore unit and the auto-reset event it had taken.
TEST(Handles, WaitAllTakesAllOrNothing)
{
    Objects o;
    OS_USER_HANDLE held = OsUserCreateMutex(nullptr, FALSE, nullptr);
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        holding = OsUserWaitForMutex(held, INFINITE) == WAIT_OBJECT_0;
        kvtest::Await([&] { return release.load(); });
        OsUserReleaseMutex(held);
    });
    kvtest::Await([&] { return holding.load(); });
    OsUserSetEvent(o.event);
    OsUserReleaseSema(o.sema, 1, nullptr);
    OS_USER_HANDLE handles[] = {o.mutex, o.sema, o.event, held};
    for (DWORD timeout : {0u, 20u}) {
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(4, handles, TRUE, timeout));
        std::thread other([&] { EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMutex(o.mutex, 0)); OsUserReleaseMutex(o.mutex); });
        other.join();
        EXPECT_TRUE(kvtest::EventOf(o.event).signalled.load());
    }
    release = true;
    holder.join();
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(4, handles, TRUE, INFINITE));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForSema(o.sema, 0));
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(o.event, 0));
    EXPECT_TRUE(OsUserReleaseMutex(o.mutex));
    EXPECT_TRUE(OsUserReleaseMutex(held));
    OsUserCloseHandle(held);
}

}  // namespace
