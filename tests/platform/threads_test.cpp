#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <limits.h>

#include <algorithm>
#include <atomic>
#include <utility>

namespace {

// A routine that counts its run, then waits for its event (null: returns at once).
struct Work {
    std::atomic<int> runs{0}, ends{0};
    OS_USER_EVENT_HANDLE proceed = nullptr;
};

unsigned int RunWork(void* argument)
{
    Work* work = static_cast<Work*>(argument);
    ++work->runs;
    if (work->proceed != nullptr)
        OsUserWaitForEvent(work->proceed, INFINITE);
    ++work->ends;
    return 0;
}

// The stack size given for the size asked; a thread starts with each.
TEST(Threads, StackSizes)
{
    const unsigned long smallest = std::max(static_cast<unsigned long>(PTHREAD_STACK_MIN), 16384UL);  // on both systems
    const std::pair<unsigned long, unsigned long> cases[] = {{0, 262144}, {1, smallest}, {1000, smallest}, {16383, smallest},
                                                             {1000000, 1000000}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, OsUserThreadStackSize(c.first)) << c.first;
        Work work;
        OS_USER_THREAD_HANDLE thread = OsUserCreateThread(nullptr, c.first, RunWork, &work, 0, nullptr);
        EXPECT_TRUE(OsUserWaitForThread(thread, INFINITE) == WAIT_OBJECT_0 && work.runs == 1 &&
                    OsUserCloseThreadHandle(thread)) << c.first;
    }
}

// A thread created suspended runs only after its resume; waits on it time out until its
// routine has returned, and every wait after that succeeds at once.
TEST(Threads, SuspendedThreadRunsOnlyAfterResume)
{
    Work work;
    pthread_t id{};
    void* thread = nullptr;
    ASSERT_TRUE(OsUserCreateThreadCpuAffinityEx(0, RunWork, &work, 0, &thread, 3, &id, 1) == 0 && !(id == pthread_t{}));
    COsUserEvent& gate = static_cast<COsThread*>(KvHandle(thread))->startGate->event;
    kvtest::AwaitSleepers(gate, 1, 0, [&] { return work.runs > 0; });  // parked at its gate, or ran
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(thread, 0));
    EXPECT_GE(kvtest::MsTaken([&] { EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForThread(thread, 20)); }), 20.0);
    EXPECT_EQ(0, work.runs.load());
    OS_USER_HANDLE both[] = {OsUserCreateEvent(nullptr, FALSE, TRUE, nullptr), thread};
    EXPECT_EQ(0, OsUserThreadResume(thread));
    EXPECT_TRUE(OsUserWaitForMultipleObjects(2, both, TRUE, INFINITE) == WAIT_OBJECT_0 && work.runs == 1);
    EXPECT_EQ(0, OsUserThreadResume(thread));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForSingleObjectEx(thread, 0, TRUE));
    EXPECT_TRUE(OsUserCloseHandle(thread) && OsUserCloseHandle(both[0]));
}

// A thread's wait without limit for its own end would never return: it fails at once
// (EDEADLK) and leaves the thread joinable; a timed wait times out. Closing the handle of the
// still running thread then detaches it: the routine runs to its end and the thread frees its
// object itself (a leak or a use after free shows under the sanitizers).
TEST(Threads, WaitForOwnEndThenCloseWhileRunning)
{
    struct Self { OS_USER_THREAD_HANDLE handle; std::atomic<int> errors{-1}; Work work; } self;
    self.work.proceed = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    self.handle = OsUserCreateThread(nullptr, 0, [](void* argument) -> unsigned int {
        Self& s = *static_cast<Self*>(argument);
        errno = 0;
        const bool refused = OsUserWaitForThread(s.handle, INFINITE) == WAIT_FAILED && errno == EDEADLK;
        COsThread* thread = static_cast<COsThread*>(KvHandle(s.handle));
        thread->Lock();
        const bool unchanged = thread->joinable && !thread->joining;
        thread->Unlock();
        s.errors = !refused + !unchanged + (OsUserWaitForSingleObject(s.handle, 20) != WAIT_TIMEOUT);
        return RunWork(&s.work);
    }, &self, CREATE_SUSPENDED, nullptr);
    EXPECT_EQ(0, OsUserThreadResume(self.handle));
    kvtest::Await([&] { return self.work.runs.load() == 1; });
    EXPECT_EQ(0, self.errors.load());
    EXPECT_TRUE(OsUserCloseHandle(self.handle));
    EXPECT_TRUE(OsUserSetEvent(self.work.proceed));
    kvtest::Await([&] { return self.work.ends.load() == 1; });
    EXPECT_TRUE(OsUserCloseHandle(self.work.proceed));
}

TEST(Threads, CurrentThreadTickAndSleep)
{
    EXPECT_TRUE(OsUserIsCurrentThreadEqual(OsUserGetCurrentThreadId()) && !OsUserIsCurrentThreadEqual(pthread_t{}));
    const DWORD tick = OsUserGetTickCount();
    EXPECT_GE(kvtest::MsTaken([] { OsUserSleep(30); }), 30.0);
    EXPECT_GE(OsUserGetTickCount() - tick, 30u);
}

}  // namespace
