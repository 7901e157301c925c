// Helpers of the kernel-object tests: awaiting conditions, joining threads, timing calls.
#ifndef KV_KERNEL_TEST_SUPPORT_H
#define KV_KERNEL_TEST_SUPPORT_H

#include "OsUserKernel.h"

#include <sched.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace kvtest {

// Yields until condition holds; a hang is caught by the test time-out.
inline void Await(const std::function<bool()>& condition)
{
    while (!condition())
        sched_yield();
}

inline void JoinAll(std::vector<std::thread>& threads)
{
    for (std::thread& thread : threads)
        thread.join();
}

// Awaits exactly sleepers threads asleep on the event after at least wakeups wake-ups in all
// (spurious ones included), unless stop holds first (a fault that ends a wait fails at once).
inline void AwaitSleepers(COsUserEvent& event, uint32_t sleepers, uint64_t wakeups, const std::function<bool()>& stop)
{
    Await([&] {
        event.Lock();
        const bool reached = event.sleepers == sleepers && event.wakeups >= wakeups;
        event.Unlock();
        return reached || stop();
    });
}

// How long call took, in milliseconds on the monotonic clock: for lower bounds on durations.
inline double MsTaken(const std::function<void()>& call)
{
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace kvtest

#endif  // KV_KERNEL_TEST_SUPPORT_H
