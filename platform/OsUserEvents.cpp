// Events: the event primitive, event handles and their C interface.
#include "OsUserKernel.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>

#include <new>

#if defined(__linux__)
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
// Linux: waiters sleep on the generation word itself (a futex), so a woken waiter takes no
// lock on its way out; FreeBSD sleeps on the condition under the mutex.
#define KV_EVENT_FUTEX 1
#else
#define KV_EVENT_FUTEX 0
#endif

// ---- the event primitive ----

COsUserEvent::COsUserEvent(bool create, unsigned int manualReset)
    : valid(false), autoReset(false), signalled(false), generation(0), sleepers(0), wakeups(0),
      waking(0), initError(pthread_mutex_init(&mutex, nullptr))
{
    if (create && initError == 0) {
        autoReset.store((manualReset & 1u) == 0);
        valid.store(InitEventCondition(&condition) == 0);
    }
}

COsUserEvent::~COsUserEvent()
{
    // A set wakes the sleepers after it has unlocked, so one of them may already have
    // returned and closed the event: let that set finish with the condition first.
    while (waking.load(std::memory_order_acquire) != 0) {
        sched_yield();
    }
    if (valid.load()) {
        KvReportDestroy(pthread_cond_destroy(&condition), "pthread_cond_destroy");
    }
    if (initError == 0) {
        KvReportDestroy(pthread_mutex_destroy(&mutex), "pthread_mutex_destroy");
    }
}

void COsUserEvent::SignalAdditionalEventsCritical() {}

bool COsUserEvent::Create(unsigned int manualReset)
{
    autoReset.store((manualReset & 1u) == 0);
    if (!valid.load() && initError == 0) {
        valid.store(InitEventCondition(&condition) == 0);
    }
    return valid.load();
}

bool COsUserEvent::TryConsume()
{
    if (!signalled.load()) {
        return false;
    }
    return autoReset.load() ? signalled.exchange(false) : true;
}

namespace {

#if KV_EVENT_FUTEX
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex is a plain 32-bit word");

uint32_t* FutexWord(COsUserEvent* event) { return reinterpret_cast<uint32_t*>(&event->generation); }

// Released by a set: the flag of an auto-reset event, if still set, is this waiter's.
DWORD Released(COsUserEvent* event)
{
    if (event->autoReset.load()) {
        event->signalled.store(false);
    }
    return WAIT_OBJECT_0;
}

// Sleeps on the event until it is set or the CLOCK_MONOTONIC deadline (null: none) passes.
// A set releases every thread that was waiting at that moment (the generation moved on) even
// when another one has already taken the flag of an auto-reset event; a wake-up without a
// set sleeps again. A set stores the flag and the generation before it reads sleepers, a
// waiter counts itself in sleepers before it reads them again (sequentially consistent), and
// the kernel sleeps only while the generation is still the one the waiter started with: no
// set is slept through. The starting generation is read under the mutex, so never between a
// set's flag and its generation: a set whose flag an earlier wait took never releases this one.
DWORD SleepOnEvent(COsUserEvent* event, const timespec* deadline)
{
    KvLock(&event->mutex);
    const uint32_t start = event->generation.load();
    KvUnlock(&event->mutex);
    for (;;) {
        event->sleepers.fetch_add(1);
        if (event->generation.load() != start) {
            event->sleepers.fetch_sub(1);
            return Released(event);
        }
        if (event->TryConsume()) {
            event->sleepers.fetch_sub(1);
            return WAIT_OBJECT_0;
        }
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
        const long slept = syscall(SYS_futex, FutexWord(event), FUTEX_WAIT_BITSET_PRIVATE, start,
                                   deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
        const int error = slept == 0 ? 0 : errno;
        event->sleepers.fetch_sub(1);
        event->wakeups.fetch_add(1, std::memory_order_relaxed);
        if (event->generation.load() != start) {
            return Released(event);
        }
        if (error == ETIMEDOUT) {
            return event->TryConsume() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
        if (error != 0 && error != EINTR && error != EAGAIN) {
            errno = error;
            return WAIT_FAILED;
        }
    }
}
#else
// Sleeps on the event until it is set or the CLOCK_MONOTONIC deadline (null: none) passes.
// A set releases every thread asleep at that moment (the generation moved on) even when
// another one has already taken the flag of an auto-reset event; a wake-up without a set
// sleeps again.
DWORD SleepOnEvent(COsUserEvent* event, const timespec* deadline)
{
    KvLock(&event->mutex);
    const uint32_t start = event->generation;
    DWORD result = WAIT_OBJECT_0;
    for (;;) {
        if (event->generation != start) {
            // Released by a set. Under the mutex no set can come between the test and the
            // store, so the flag of an auto-reset event is cleared without an exchange.
            if (event->autoReset.load() && event->signalled.load(std::memory_order_relaxed)) {
                event->signalled.store(false, std::memory_order_relaxed);
            }
            break;
        }
        if (event->TryConsume()) {
            break;
        }
        ++event->sleepers;
        const int slept = deadline != nullptr
                              ? pthread_cond_timedwait(&event->condition, &event->mutex, deadline)
                              : pthread_cond_wait(&event->condition, &event->mutex);
        --event->sleepers;
        ++event->wakeups;
        if (slept == ETIMEDOUT) {
            if (!event->TryConsume() && event->generation == start) {
                result = WAIT_TIMEOUT;
            }
            break;
        }
        if (slept != 0) {
            errno = slept;
            result = WAIT_FAILED;
            break;
        }
    }
    KvUnlock(&event->mutex);
    return result;
}

#endif

}  // namespace

DWORD COsUserEvent::Wait(DWORD milliseconds)
{
    if (!valid.load()) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    if (TryConsume()) {
        return WAIT_OBJECT_0;
    }
    if (milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    if (milliseconds == INFINITE) {
        return SleepOnEvent(this, nullptr);
    }
    timespec deadline;
    if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
        return WAIT_FAILED;
    }
    return SleepOnEvent(this, &deadline);
}

DWORD COsUserEvent::Wait() { return Wait(INFINITE); }

bool COsUserEvent::Signal()
{
    if (!valid.load()) {
        return false;
    }
    KvLock(&mutex);
    signalled.store(true);
    generation.store(generation.load(std::memory_order_relaxed) + 1);  // only changed under the mutex
    SignalAdditionalEventsCritical();
    // The sleepers are woken once the mutex is free, so that they do not run into it and
    // sleep again on it. Every one of them is released by the new generation, whenever it
    // wakes; one that starts sleeping before the wake-up finds its own generation and
    // sleeps again.
    const bool wake = sleepers.load() != 0;
    if (wake) {
        waking.fetch_add(1, std::memory_order_relaxed);
    }
    KvUnlock(&mutex);
    if (wake) {
        KvWakeSleepers(this);
        waking.fetch_sub(1, std::memory_order_release);
    }
    return true;
}

bool COsUserEvent::Clear()
{
    if (!valid.load()) {
        return false;
    }
    KvLock(&mutex);
    signalled.store(false);
    KvUnlock(&mutex);
    return true;
}

void KvWakeSleepers(COsUserEvent* event)
{
#if KV_EVENT_FUTEX
    if (syscall(SYS_futex, FutexWord(event), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0) < 0) {
        KvCheck(errno, "futex wake");
    }
#else
    KvCheck(pthread_cond_broadcast(&event->condition), "pthread_cond_broadcast");
#endif
}

void COsUserEvent::Lock() { KvLock(&mutex); }
void COsUserEvent::Unlock() { KvUnlock(&mutex); }

COsUserEventInternal::COsUserEventInternal(bool create, unsigned int manualReset)
    : COsUserEvent(create, manualReset), owner(nullptr)
{
}

void COsUserEventInternal::SignalAdditionalEventsCritical()
{
    if (owner != nullptr) {
        owner->SignalAdditionalEventsCritical();
    }
}

// ---- event handles ----

_OsEventHandle::_OsEventHandle(bool create, unsigned int manualReset)
    : _OsUserHandle(OS_USER_HANDLE_EVENT), event(create, manualReset)
{
    event.owner = this;
}

bool _OsEventHandle::SupportsAdditionalEvents() { return true; }
void _OsEventHandle::Lock() { event.Lock(); }
void _OsEventHandle::Unlock() { event.Unlock(); }
bool _OsEventHandle::IsEventSignalled() { return event.signalled.load(); }

KvProbe KvProbeEvent(_OsUserHandle* handle)
{
    COsUserEvent& event = static_cast<_OsEventHandle*>(handle)->event;
    if (!event.valid.load()) {
        return KvProbe::Never;
    }
    return event.TryConsume() ? KvProbe::Acquired : KvProbe::Busy;
}

void KvGiveBackEvent(_OsUserHandle* handle)
{
    COsUserEvent& event = static_cast<_OsEventHandle*>(handle)->event;
    // Only an auto-reset event was consumed by the probe.
    if (event.autoReset.load()) {
        event.Signal();
    }
}

namespace {

// The event of an event handle; null (errno EINVAL) for null or another kind.
COsUserEvent* EventOf(OS_USER_EVENT_HANDLE handle)
{
    _OsEventHandle* object = KvHandleOfKind<_OsEventHandle>(handle, OS_USER_HANDLE_EVENT);
    return object == nullptr ? nullptr : &object->event;
}

}  // namespace

OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID attributes, BOOL manualReset, BOOL initialState,
                                       LPCTSTR name)
{
    if (attributes != nullptr || name != nullptr) {
        return nullptr;
    }
    _OsEventHandle* handle = new (std::nothrow) _OsEventHandle(true, manualReset != 0 ? 1u : 0u);
    if (handle == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (handle->event.initError != 0) {
        errno = handle->event.initError;
        delete handle;
        return nullptr;
    }
    if (initialState != 0) {
        handle->event.Signal();
    }
    return static_cast<_OsUserHandle*>(handle);
}

BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE handle)
{
    COsUserEvent* event = EventOf(handle);
    if (event == nullptr) {
        return FALSE;
    }
    if (!event->Signal()) {
        errno = EINVAL;
        return FALSE;
    }
    return TRUE;
}

BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE handle)
{
    COsUserEvent* event = EventOf(handle);
    if (event == nullptr) {
        return FALSE;
    }
    if (!event->Clear()) {
        errno = EINVAL;
        return FALSE;
    }
    return TRUE;
}

DWORD OsUserWaitForEvent(OS_USER_EVENT_HANDLE handle, DWORD milliseconds)
{
    COsUserEvent* event = EventOf(handle);
    return event != nullptr ? event->Wait(milliseconds) : WAIT_FAILED;
}

DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE handle, DWORD milliseconds, BOOL alertable)
{
    if (alertable != 0) {
        fprintf(stderr, "%s: bAlertable == TRUE not supported",
                "DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE, DWORD, BOOL)");
    }
    return OsUserWaitForEvent(handle, milliseconds);
}

BOOL OsUserDeleteEvent(OS_USER_EVENT_HANDLE handle)
{
    if (EventOf(handle) == nullptr) {
        return FALSE;
    }
    delete static_cast<_OsEventHandle*>(KvHandle(handle));
    return TRUE;
}
