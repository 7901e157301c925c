#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

// A routine that counts its run and then waits for its event (null: returns at once).
struct Work {
    std::atomic<int> runs{0}, ends{0};
    std::atomic<unsigned long> stack{0};
    OS_USER_EVENT_HANDLE proceed = nullptr;
};

unsigned int RunWork(void* argument)
{
    Work* work = static_cast<Work*>(argument);
#if defined(__linux__)
    pthread_attr_t attributes;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &size);
        pthread_attr_destroy(&attributes);
    }
    work->stack = size;
#else
    work->stack = 1;  // FreeBSD: pthread_attr_get_np would tell; not checked here
#endif
    ++work->runs;
    if (work->proceed != nullptr)
        OsUserWaitForEvent(work->proceed, INFINITE);
    ++work->ends;
    return 0;
}

TEST(Threads, StackSizes)
{
    const struct {
        unsigned long requested, expected;
    } cases[] = {
        {0, 262144},
#if defined(__linux__)
        {1, PTHREAD_STACK_MIN},
        {1000, PTHREAD_STACK_MIN},
#else
        {1, 2048},
        {1000, 2048},
#endif
        {1000000, 1000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, OsUserThreadStackSize(c.requested)) << c.requested;
        Work work;
        OS_USER_THREAD_HANDLE thread = OsUserCreateThread(nullptr, c.requested, RunWork, &work, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(thread, INFINITE));
        EXPECT_GE(work.stack.load(), std::min(c.expected, 1UL)) << c.requested;
        OsUserCloseThreadHandle(thread);
    }
}

TEST(Threads, SuspendedThreadRunsOnlyAfterResume)
{
    Work work;
    pthread_t id{};
    OS_USER_THREAD_HANDLE thread = OsUserCreateThread(nullptr, 0, RunWork, &work, CREATE_SUSPENDED, &id);
    ASSERT_NE(nullptr, thread);
    EXPECT_FALSE(id == pthread_t{});
    COsThread* object = static_cast<COsThread*>(KvHandle(thread));
    kvtest::AwaitSleepers(object->startGate->event, 1);  // parked at its gate
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(thread, 0));
    EXPECT_EQ(0, work.runs.load());
    EXPECT_EQ(0, OsUserThreadResume(thread));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObject(thread, INFINITE));
    EXPECT_EQ(1, work.runs.load());
    EXPECT_EQ(0, OsUserThreadResume(thread));
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(thread, 0));
    EXPECT_TRUE(OsUserCloseHandle(thread));
}

TEST(Threads, WaitsBeforeAndAfterTheEnd)
{
    Work work;
    work.proceed = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    void* thread = nullptr;
    ASSERT_EQ(0, OsUserCreateThreadCpuAffinityEx(0, RunWork, &work, 0, &thread, 3, nullptr, 0));
    EXPECT_EQ(0, OsUserThreadResume(thread));  // not suspended: no effect
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(thread, 0));
    const double start = kvtest::NowMs();
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(thread, 20));
    EXPECT_GE(kvtest::NowMs() - start, 20.0);
    OS_USER_HANDLE both[] = {work.proceed, thread};
    OsUserSetEvent(work.proceed);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(2, both, TRUE, INFINITE));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObjectEx(thread, 0, TRUE));
    EXPECT_TRUE(OsUserCloseThreadHandle(thread));
    OsUserCloseHandle(work.proceed);
}

// Closing the handle of a running thread detaches it; it finishes and frees itself.
TEST(Threads, CloseWhileRunning)
{
    Work work;
    work.proceed = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    OS_USER_THREAD_HANDLE thread = OsUserCreateThread(nullptr, 0, RunWork, &work, 0, nullptr);
    kvtest::Await([&] { return work.runs.load() == 1; });
    EXPECT_TRUE(OsUserCloseThreadHandle(thread));
    // The routine still runs to its end: a second thread on the same work shows the event works.
    OsUserSetEvent(work.proceed);
    OS_USER_THREAD_HANDLE second = OsUserCreateThread(nullptr, 0, RunWork, &work, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(second, INFINITE));
    EXPECT_EQ(2, work.runs.load());
    kvtest::Await([&] { return work.ends.load() == 2; });
    OsUserCloseHandle(second);
    OsUserCloseHandle(work.proceed);
}

TEST(Threads, CreationFailuresLeaveNoHandle)
{
    pthread_t id = pthread_self();
    EXPECT_EQ(nullptr, OsUserCreateThread(nullptr, 0, nullptr, nullptr, 0, &id));
    EXPECT_TRUE(id == pthread_t{});
    void* handle = &id;
    EXPECT_EQ(EINVAL, OsUserCreateThreadEx(0, nullptr, nullptr, 0, &handle, nullptr, 1));
    EXPECT_EQ(static_cast<void*>(&id), handle);
    EXPECT_EQ(WAIT_FAILED, OsUserWaitForThread(nullptr, 0));
    EXPECT_FALSE(OsUserCloseThreadHandle(nullptr));
    EXPECT_EQ(0, OsUserThreadResume(nullptr));
}

TEST(Threads, CurrentThreadTickAndSleep)
{
    EXPECT_TRUE(OsUserIsCurrentThreadEqual(OsUserGetCurrentThreadId()));
    EXPECT_FALSE(OsUserIsCurrentThreadEqual(pthread_t{}));
    EXPECT_EQ(0, OsUserSetCurrentThreadPrio(99));
    const DWORD tick = OsUserGetTickCount();
    const double start = kvtest::NowMs();
    OsUserSleep(30);
    EXPECT_GE(kvtest::NowMs() - start, 30.0);
    EXPECT_GE(OsUserGetTickCount() - tick, 30u);
}

}  // namespace
