// Stress runs of the kernel objects, many threads at once: run under ThreadSanitizer by CI.
// Each checks an exact count: a lost wake-up hangs (caught by the test time-out), a doubled
// one shows up as a count too high.
#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

template <typename Body>
OS_USER_THREAD_HANDLE Start(Body* body, DWORD flags = 0)
{
    return OsUserCreateThread(nullptr, 0, [](void* b) -> unsigned int {
        (*static_cast<Body*>(b))();
        return 0;
    }, body, flags, nullptr);
}

// A token passed round a ring of 64 threads through auto-reset events: every pass arrives
// exactly once, and only one thread ever holds the token.
TEST(KernelStress, TokenRingOf64Threads)
{
    constexpr int kThreads = 64;
    constexpr int kPasses = 100000;
    std::vector<OS_USER_EVENT_HANDLE> events;
    for (int i = 0; i < kThreads; ++i)
        events.push_back(OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr));
    std::atomic<int> passes{0}, holder{-1}, doubled{0};
    std::atomic<bool> stop{false};
    std::vector<int> arrivals(kThreads, 0);
    std::vector<std::function<void()>> bodies;
    for (int i = 0; i < kThreads; ++i) {
        bodies.emplace_back([&, i] {
            for (;;) {
                if (OsUserWaitForEvent(events[i], INFINITE) != WAIT_OBJECT_0 || stop)
                    return;
                int expected = -1;
                if (!holder.compare_exchange_strong(expected, i))
                    ++doubled;
                ++arrivals[i];
                holder = -1;
                if (++passes == kPasses) {
                    stop = true;
                    for (auto e : events)
                        OsUserSetEvent(e);
                    return;
                }
                OsUserSetEvent(events[(i + 1) % kThreads]);
            }
        });
    }
    std::vector<OS_USER_THREAD_HANDLE> threads;
    for (auto& body : bodies)
        threads.push_back(Start(&body));
    OsUserSetEvent(events[0]);
    for (auto t : threads) {
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(t, INFINITE));
        OsUserCloseHandle(t);
    }
    EXPECT_EQ(kPasses, passes.load());
    EXPECT_EQ(0, doubled.load());
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_GE(arrivals[i], kPasses / kThreads) << i;
        EXPECT_LE(arrivals[i], kPasses / kThreads + 1) << i;
        OsUserCloseHandle(events[i]);
    }
}

// Zero-time-out waits (single and wait-any) by three threads against sets of two events,
// each set made once the previous one was taken: no set is taken twice, none is lost.
TEST(KernelStress, ZeroTimeOutProbesAgainstSets)
{
    constexpr long kProbes = 200000;
    OS_USER_EVENT_HANDLE events[2] = {OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr),
                                      OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr)};
    std::atomic<long> sets[2] = {{0}, {0}}, taken[2] = {{0}, {0}}, probes{0};
    std::atomic<int> excess{0};
    std::atomic<bool> done{false};
    const auto took = [&](int which) {
        if (++taken[which] > sets[which])
            ++excess;
    };
    std::vector<std::thread> threads;
    for (int p = 0; p < 3; ++p) {
        threads.emplace_back([&, p] {
            while (!done) {
                const DWORD r = p == 0 ? OsUserWaitForMultipleObjects(2, events, FALSE, 0)
                                       : OsUserWaitForEvent(events[p - 1], 0);
                if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1)
                    took(p == 0 ? static_cast<int>(r) : p - 1);
                else
                    EXPECT_EQ(WAIT_TIMEOUT, r);
                ++probes;
            }
        });
    }
    for (int s = 0; s < 2; ++s) {
        threads.emplace_back([&, s] {
            while (probes < kProbes) {
                ++sets[s];
                OsUserSetEvent(events[s]);
                kvtest::Await([&] { return taken[s].load() == sets[s].load(); });
            }
        });
    }
    for (size_t i = 3; i < threads.size(); ++i)
        threads[i].join();
    done = true;
    for (int p = 0; p < 3; ++p)
        threads[p].join();
    EXPECT_EQ(0, excess.load());
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(sets[s].load(), taken[s].load());
        EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(events[s], 0));
        OsUserCloseHandle(events[s]);
    }
    EXPECT_GE(probes.load(), kProbes);
}

// Two threads waiting for all of {m1, m2} in opposite orders, 10,000 rounds in all: no
// deadlock, never both inside. A third one's timed-out wait-alls hold nothing afterwards.
TEST(KernelStress, TwoMutexWaitAllPair)
{
    constexpr int kRounds = 5000;  // per thread
    OS_USER_MUTEX_HANDLE m1 = OsUserCreateMutex(nullptr, FALSE, nullptr);
    OS_USER_MUTEX_HANDLE m2 = OsUserCreateMutex(nullptr, FALSE, nullptr);
    std::atomic<int> inside{0}, overlaps{0}, heldAfterTimeout{0};
    std::atomic<bool> done{false};
    const auto pair = [&](OS_USER_HANDLE first, OS_USER_HANDLE second) {
        OS_USER_HANDLE handles[] = {first, second};
        for (int r = 0; r < kRounds; ++r) {
            ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(2, handles, TRUE, INFINITE));
            if (++inside != 1)
                ++overlaps;
            --inside;
            EXPECT_TRUE(OsUserReleaseMutex(second));
            EXPECT_TRUE(OsUserReleaseMutex(first));
        }
    };
    std::thread a([&] { pair(m1, m2); });
    std::thread b([&] { pair(m2, m1); });
    std::thread timed([&] {
        OS_USER_HANDLE handles[] = {m1, m2};
        while (!done) {
            const DWORD r = OsUserWaitForMultipleObjects(2, handles, TRUE, 1);
            if (r == WAIT_OBJECT_0) {
                OsUserReleaseMutex(m1);
                OsUserReleaseMutex(m2);
            } else if (KvMutexHeldByCaller(KvHandle(m1)) || KvMutexHeldByCaller(KvHandle(m2))) {
                ++heldAfterTimeout;
            }
        }
    });
    a.join();
    b.join();
    done = true;
    timed.join();
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(0, heldAfterTimeout.load());
    EXPECT_TRUE(OsUserCloseHandle(m1));
    EXPECT_TRUE(OsUserCloseHandle(m2));
}

// Threads created (half suspended), waited for by two other threads at once (single and
// wait-any), then closed: every wait succeeds once the routine has run, exactly once each.
TEST(KernelStress, ThreadChurnWithConcurrentWaiters)
{
    constexpr int kThreads = 300;
    std::atomic<int> runs{0}, failures{0};
    std::function<void()> body = [&] { ++runs; };
    OS_USER_EVENT_HANDLE never = OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < kThreads; ++i) {
        OS_USER_THREAD_HANDLE t = Start(&body, i % 2 ? CREATE_SUSPENDED : 0);
        ASSERT_NE(nullptr, t);
        std::thread single([&] {
            if (OsUserWaitForSingleObject(t, i % 3 ? INFINITE : 600000u) != WAIT_OBJECT_0)
                ++failures;
        });
        std::thread any([&] {
            OS_USER_HANDLE handles[] = {never, t};
            if (OsUserWaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
                ++failures;
        });
        OsUserThreadResume(t);
        single.join();
        any.join();
        EXPECT_EQ(WAIT_OBJECT_0, OsUserWaitForThread(t, 0));
        OsUserCloseHandle(t);
    }
    EXPECT_EQ(kThreads, runs.load());
    EXPECT_EQ(0, failures.load());
    OsUserCloseHandle(never);
}

// Wait-any over every kind against producers of each: an index returned is an object the caller
// now holds, and every event set and semaphore unit made is taken exactly once.
TEST(KernelStress, WaitAnyOverMixedKinds)
{
    constexpr long kEach = 1500;
    std::function<void()> nothing = [] {};
    OS_USER_HANDLE h[] = {OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr), OsUserCreateSema(nullptr, 0, 0, nullptr),
                          OsUserCreateMutex(nullptr, FALSE, nullptr), Start(&nothing)};
    std::atomic<long> sets{0}, taken[4] = {{0}, {0}, {0}, {0}};
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> producers;
    producers.emplace_back([&] {
        for (long i = 0; i < kEach; ++i) {
            ++sets;
            OsUserSetEvent(h[0]);
            kvtest::Await([&] { return taken[0].load() == sets.load(); });
        }
    });
    producers.emplace_back([&] {
        for (long i = 0; i < kEach; ++i, sched_yield())
            OsUserReleaseSema(h[1], 1, nullptr);
    });
    producers.emplace_back([&] {  // holds the mutex mostly, so that the thread entry gets turns
        for (; !done; sched_yield()) {
            OsUserWaitForMutex(h[2], INFINITE);
            sched_yield();
            OsUserReleaseMutex(h[2]);
        }
    });
    while (taken[0] < kEach || taken[1] < kEach || taken[2] == 0 || taken[3] == 0) {
        const DWORD r = OsUserWaitForMultipleObjects(4, h, FALSE, INFINITE);
        if (r > WAIT_OBJECT_0 + 3) {
            ++wrong;
            continue;
        }
        ++taken[r];
        if (r == 2 && (!KvMutexHeldByCaller(KvHandle(h[2])) || !OsUserReleaseMutex(h[2])))
            ++wrong;
        if (r == 3) {
            wrong += !static_cast<COsThread*>(KvHandle(h[3]))->exitEvent.signalled.load();
            OsUserCloseHandle(h[3]);
            h[3] = Start(&nothing);
        }
    }
    done = true;
    for (auto& t : producers)
        t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(kEach, taken[0].load());
    EXPECT_EQ(kEach, taken[1].load());
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(2, h, FALSE, 0));
    OsUserWaitForThread(h[3], INFINITE);
    for (OS_USER_HANDLE handle : h)
        EXPECT_TRUE(OsUserCloseHandle(handle));
}

// A wait-any woken for an object that another thread takes first goes on watching every
// entry: a later set of the other entry ends it.
TEST(KernelStress, WaitAnyWhoseObjectIsTakenKeepsWatchingAll)
{
    constexpr int kRounds = 2000;
    OS_USER_EVENT_HANDLE a = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    OS_USER_EVENT_HANDLE b = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    int stolen = 0;
    for (int i = 0; i < kRounds; ++i) {
        OS_USER_HANDLE handles[] = {a, b};
        std::atomic<DWORD> result{0xDEAD};
        std::thread waiter([&] { result = OsUserWaitForMultipleObjects(2, handles, FALSE, i % 2 ? INFINITE : 600000u); });
        kvtest::Await([&] { return KvHandle(a)->waiterCount.load() == 1; });
        OsUserSetEvent(a);
        const bool took = OsUserWaitForEvent(a, 0) == WAIT_OBJECT_0;
        if (took) {
            ++stolen;
            OsUserSetEvent(b);
        }
        waiter.join();
        ASSERT_EQ(took ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0, result.load()) << i;
        ASSERT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(a, 0));
        ASSERT_EQ(WAIT_TIMEOUT, OsUserWaitForEvent(b, 0));
    }
    RecordProperty("stolen", stolen);
    OsUserCloseHandle(a);
    OsUserCloseHandle(b);
}

}  // namespace
