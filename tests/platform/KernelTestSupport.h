// Helpers of the kernel-object tests: awaiting a condition another thread brings about,
// and reading the state of event handles.
#ifndef KV_KERNEL_TEST_SUPPORT_H
#define KV_KERNEL_TEST_SUPPORT_H

#include "OsUserKernel.h"

#include <sched.h>
#include <time.h>

#include <functional>

namespace kvtest {

// Yields until condition holds; a hang is caught by the test time-out.
inline void Await(const std::function<bool()>& condition)
{
    while (!condition()) {
        sched_yield();
    }
}

inline COsUserEvent& EventOf(OS_USER_HANDLE handle)
{
    return static_cast<_OsEventHandle*>(KvHandle(handle))->event;
}

// The number of threads asleep on the event, and how often they woke (spurious wakes included).
inline void EventSleep(COsUserEvent& event, uint32_t* sleepers, uint64_t* wakeups)
{
    event.Lock();
    *sleepers = event.sleepers;
    if (wakeups != nullptr) {
        *wakeups = event.wakeups;
    }
    event.Unlock();
}

inline void AwaitSleepers(COsUserEvent& event, uint32_t count)
{
    Await([&] {
        uint32_t sleepers = 0;
        EventSleep(event, &sleepers, nullptr);
        return sleepers == count;
    });
}

// Milliseconds on CLOCK_MONOTONIC, for lower bounds on durations.
inline double NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

}  // namespace kvtest

#endif  // KV_KERNEL_TEST_SUPPORT_H
