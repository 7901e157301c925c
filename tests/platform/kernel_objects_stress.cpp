// Stress runs of the kernel objects, many threads at once: run under ThreadSanitizer by CI.
// Each checks an exact count: a lost wake-up hangs (caught by the test time-out), a doubled
// one shows up as a count too high.
#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A layer thread running body, which must outlive it.
OS_USER_THREAD_HANDLE Start(std::function<void()>* body, DWORD flags = 0)
{
    return OsUserCreateThread(nullptr, 0, [](void* b) -> unsigned int {
        (*static_cast<std::function<void()>*>(b))();
        return 0;
    }, body, flags, nullptr);
}

// Number of multi-object waits registered on handle: its slot and its list.
uint32_t Registered(OS_USER_HANDLE handle)
{
    return (KvHandle(handle)->slot.load() != nullptr ? 1u : 0u) + KvHandle(handle)->waiterCount.load();
}

std::vector<OS_USER_HANDLE> AutoResetEvents(int count)
{
    std::vector<OS_USER_HANDLE> events(static_cast<size_t>(count));
    for (auto& e : events)
        e = OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr);
    return events;
}

// A token passed round a ring of threads through auto-reset events (two threads: ping-pong):
// every pass arrives exactly once, only one thread ever holds the token, and each set ends
// exactly one wait, so none is left set at the end (a wait released by a set whose flag an
// earlier wait had already taken would leave one, or hang).
TEST(KernelStress, TokenRingEndsOneWaitPerSet)
{
    constexpr int kPasses = 100000;
    for (const int kThreads : {64, 2}) {
        const std::vector<OS_USER_HANDLE> events = AutoResetEvents(kThreads);
        std::atomic<int> passes{0}, holders{0}, doubled{0};
        std::vector<int> arrivals(kThreads, 0);
        std::vector<std::function<void()>> bodies;
        std::vector<OS_USER_THREAD_HANDLE> threads;
        bodies.reserve(kThreads);  // each thread keeps a pointer to its body
        for (int i = 0; i < kThreads; ++i) {
            bodies.emplace_back([&, i] {
                while (OsUserWaitForEvent(events[i], INFINITE) == WAIT_OBJECT_0 && passes < kPasses) {
                    doubled += ++holders != 1;
                    ++arrivals[i];
                    --holders;
                    const bool last = ++passes == kPasses;
                    for (int next = 1; next <= (last ? kThreads : 1); ++next)  // the last pass ends them all
                        OsUserSetEvent(events[(i + next) % kThreads]);
                }
            });
            threads.push_back(Start(&bodies.back()));
        }
        OsUserSetEvent(events[0]);
        for (auto t : threads)
            EXPECT_TRUE(OsUserWaitForThread(t, INFINITE) == WAIT_OBJECT_0 && OsUserCloseHandle(t));
        EXPECT_TRUE(passes == kPasses && doubled == 0) << kThreads << ": " << passes << " passes, " << doubled << " doubled";
        for (int i = 0; i < kThreads; ++i) {
            EXPECT_LE(static_cast<unsigned>(arrivals[i] - kPasses / kThreads), 1u) << arrivals[i];
            EXPECT_TRUE(OsUserWaitForEvent(events[i], 0) == WAIT_TIMEOUT && OsUserCloseHandle(events[i])) << kThreads;
        }
    }
}

// One token passed round 8 auto-reset events by four threads, each waiting for any of all 8
// (one registers in an event's slot, the others in its list; signallers race the waits that
// leave), in batches of threads that end (their wait records go with them): every pass
// arrives once, never two holders at a time; a manual-reset event ends a batch.
TEST(KernelStress, WaitAnyTokenAmongSharedWaiters)
{
    constexpr int kEvents = 8, kThreads = 4, kBatches = 20, kPasses = 2000;
    std::vector<OS_USER_HANDLE> events = AutoResetEvents(kEvents);
    events.push_back(OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr));  // the end of a batch
    std::atomic<int> passes{0}, holders{0}, doubled{0};
    for (int batch = 0; batch < kBatches; ++batch) {
        passes = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                DWORD got;
                while ((got = OsUserWaitForMultipleObjects(kEvents + 1, events.data(), FALSE, INFINITE)) < WAIT_OBJECT_0 + kEvents) {
                    doubled += ++holders != 1;
                    --holders;
                    OsUserSetEvent(events[++passes == kPasses ? kEvents : (got - WAIT_OBJECT_0 + 1) % kEvents]);
                }
                doubled += got != WAIT_OBJECT_0 + kEvents;
            });
        OsUserSetEvent(events[0]);
        for (auto& t : threads)
            t.join();
        ASSERT_TRUE(passes == kPasses && doubled == 0) << batch << ": " << passes << " passes, " << doubled << " doubled";
        ASSERT_TRUE(OsUserResetEvent(events[kEvents]));
    }
    for (auto e : events)
        EXPECT_TRUE(OsUserCloseHandle(e));
}

// Zero-time-out waits (single and wait-any) by three threads against sets of two events,
// each set made once the previous one was taken: no set is taken twice, none is lost.
TEST(KernelStress, ZeroTimeOutProbesAgainstSets)
{
    std::vector<OS_USER_HANDLE> events = AutoResetEvents(2);
    std::atomic<long> sets[2] = {{0}, {0}}, taken[2] = {{0}, {0}}, probes{0};
    std::atomic<int> excess{0}, setters{2};
    std::vector<std::thread> threads;
    for (int s = 0; s < 2; ++s)
        threads.emplace_back([&, s] {
            for (; probes < 200000; kvtest::Await([&] { return taken[s].load() >= sets[s].load(); }))  // more: excess
                ++sets[s], OsUserSetEvent(events[s]);
            --setters;
        });
    for (int p = 0; p < 3; ++p)
        threads.emplace_back([&, p] {
            for (; setters > 0; ++probes) {
                const DWORD r = p == 0 ? OsUserWaitForMultipleObjects(2, events.data(), FALSE, 0)
                                       : OsUserWaitForEvent(events[p - 1], 0);
                const int which = p == 0 ? static_cast<int>(r) : p - 1;
                if (r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1)
                    excess += ++taken[which] > sets[which];
                else
                    EXPECT_EQ(WAIT_TIMEOUT, r);
            }
        });
    kvtest::JoinAll(threads);
    EXPECT_EQ(0, excess.load());
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(2, events.data(), FALSE, 0));
    EXPECT_TRUE(OsUserCloseHandle(events[0]) && OsUserCloseHandle(events[1]));
}

// Two threads waiting for all of {m1, m2} in opposite orders, 10,000 rounds in all: no
// deadlock, never both inside. A third one's timed-out wait-alls hold nothing afterwards.
TEST(KernelStress, TwoMutexWaitAllPair)
{
    constexpr int kRounds = 5000;  // per thread
    OS_USER_HANDLE m[] = {OsUserCreateMutex(nullptr, FALSE, nullptr), OsUserCreateMutex(nullptr, FALSE, nullptr)};
    std::atomic<int> inside{0}, overlaps{0}, heldAfterTimeout{0};
    std::atomic<bool> done{false};
    const auto pair = [&](int first) {
        OS_USER_HANDLE handles[] = {m[first], m[1 - first]};
        for (int r = 0; r < kRounds; ++r) {
            ASSERT_EQ(WAIT_OBJECT_0, OsUserWaitForMultipleObjects(2, handles, TRUE, INFINITE));
            overlaps += ++inside != 1;
            --inside;
            EXPECT_TRUE(OsUserReleaseMutex(handles[1]) && OsUserReleaseMutex(handles[0]));
        }
    };
    std::thread b(pair, 1), timed([&] {
        while (!done) {
            if (OsUserWaitForMultipleObjects(2, m, TRUE, 1) == WAIT_OBJECT_0)
                EXPECT_TRUE(OsUserReleaseMutex(m[0]) && OsUserReleaseMutex(m[1]));
            else
                heldAfterTimeout += KvMutexHeldByCaller(KvHandle(m[0])) || KvMutexHeldByCaller(KvHandle(m[1]));
        }
    });
    pair(0);
    b.join();
    done = true;
    timed.join();
    EXPECT_TRUE(overlaps == 0 && heldAfterTimeout == 0) << overlaps << " overlaps, " << heldAfterTimeout << " held";
    EXPECT_TRUE(OsUserCloseHandle(m[0]) && OsUserCloseHandle(m[1]));
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
        OS_USER_HANDLE h[] = {never, t};
        const DWORD timeout = i % 3 ? INFINITE : 600000u;
        std::thread single([&] { failures += OsUserWaitForSingleObject(t, timeout) != WAIT_OBJECT_0; });
        std::thread any([&] { failures += OsUserWaitForMultipleObjects(2, h, FALSE, timeout) != WAIT_OBJECT_0 + 1; });
        OsUserThreadResume(t);
        single.join(), any.join();
        EXPECT_TRUE(OsUserWaitForThread(t, 0) == WAIT_OBJECT_0 && OsUserCloseHandle(t));
    }
    EXPECT_TRUE(runs == kThreads && failures == 0) << runs << " runs, " << failures << " failures";
    EXPECT_TRUE(OsUserCloseHandle(never));
}

// Wait-any over every kind against producers of each: an index returned is an object the caller
// now holds, and every event set and semaphore unit made is taken exactly once.
TEST(KernelStress, WaitAnyOverMixedKinds)
{
    constexpr long kEach = 1500;
    std::function<void()> nothing = [] {};
    OS_USER_HANDLE h[] = {OsUserCreateEvent(nullptr, FALSE, FALSE, nullptr), OsUserCreateSema(nullptr, 0, 0, nullptr),
                          OsUserCreateMutex(nullptr, FALSE, nullptr), Start(&nothing)};
    std::atomic<long> taken[4] = {{0}, {0}, {0}, {0}};
    std::atomic<int> wrong{0};
    std::atomic<bool> done{false};
    std::thread producer([&] {  // a set once the previous one is taken, a unit now and then
        for (long i = 1; i <= kEach; ++i) {
            OsUserSetEvent(h[0]);
            OsUserReleaseSema(h[1], 1, nullptr);
            kvtest::Await([&] { return taken[0].load() >= i; });
        }
    });
    std::thread holder([&] {  // holds the mutex mostly, so that the thread entry gets turns
        for (; !done; sched_yield()) {
            OsUserWaitForMutex(h[2], INFINITE);
            sched_yield();
            OsUserReleaseMutex(h[2]);
        }
    });
    while (taken[0] < kEach || taken[1] < kEach || taken[2] == 0 || taken[3] == 0) {
        const DWORD r = OsUserWaitForMultipleObjects(4, h, FALSE, INFINITE);
        if (r > WAIT_OBJECT_0 + 3) {  // an index outside the set: counted, never used as one
            ++wrong;
            continue;
        }
        ++taken[r];
        if (r == 2)
            wrong += !KvMutexHeldByCaller(KvHandle(h[2])) || !OsUserReleaseMutex(h[2]);
        if (r == 3) {
            wrong += !static_cast<COsThread*>(KvHandle(h[3]))->exitEvent.signalled.load() || !OsUserCloseHandle(h[3]);
            h[3] = Start(&nothing);
        }
    }
    done = true;
    producer.join(), holder.join();
    EXPECT_TRUE(wrong == 0 && taken[0] == kEach && taken[1] == kEach) << wrong << ' ' << taken[0] << ' ' << taken[1];
    EXPECT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(2, h, FALSE, 0));
    OsUserWaitForThread(h[3], INFINITE);
    for (OS_USER_HANDLE handle : h)
        EXPECT_TRUE(OsUserCloseHandle(handle));
}

// A wait-any woken for an object that another thread takes first goes on watching every
// entry, also those its first pass had not reached yet (a long array between the two, so that
// the set often lands during that pass): a later set of the last entry ends it.
TEST(KernelStress, WaitAnyWhoseObjectIsTakenKeepsWatchingAll)
{
    std::vector<OS_USER_HANDLE> h = AutoResetEvents(3);
    std::vector<OS_USER_HANDLE> entries(1024, h[2]);
    entries.front() = h[0];
    entries.back() = h[1];
    const DWORD last = static_cast<DWORD>(entries.size() - 1);
    int stolen = 0;
    for (int i = 0; i < 1000; ++i) {
        std::atomic<DWORD> result{0xDEAD};
        const DWORD timeout = i % 2 ? INFINITE : 600000u;
        std::thread waiter([&] { result = OsUserWaitForMultipleObjects(last + 1, entries.data(), FALSE, timeout); });
        kvtest::Await([&] { return Registered(h[0]) == 1; });
        OsUserSetEvent(h[0]);
        const bool took = OsUserWaitForEvent(h[0], 0) == WAIT_OBJECT_0;
        if (took && ++stolen) {
            kvtest::Await([&] { return Registered(h[1]) == 1; });  // watched again
            OsUserSetEvent(h[1]);
        }
        waiter.join();
        ASSERT_EQ(took ? WAIT_OBJECT_0 + last : WAIT_OBJECT_0, result.load()) << i;
        ASSERT_EQ(WAIT_TIMEOUT, OsUserWaitForMultipleObjects(last + 1, entries.data(), FALSE, 0));
    }
    RecordProperty("stolen", stolen);
    for (auto e : h)
        EXPECT_TRUE(OsUserCloseHandle(e));
}

}  // namespace
