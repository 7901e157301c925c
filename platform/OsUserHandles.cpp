// Handles and waiting: the kernel-object base class, registered multi-object waits, the
// generic close and waits, deadlines and the last-error calls.
#include "OsUserKernel.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <new>

void KvCheck(int result, const char* what)
{
    if (result != 0) {
        fprintf(stderr, "%s failed (%d)\n", what, result);
        abort();
    }
}

void KvLock(pthread_mutex_t* mutex) { KvCheck(pthread_mutex_lock(mutex), "pthread_mutex_lock"); }

void KvUnlock(pthread_mutex_t* mutex) { KvCheck(pthread_mutex_unlock(mutex), "pthread_mutex_unlock"); }

void KvLockWaiters(std::atomic<bool>* lock)
{
    unsigned int spins = 0;
    // Sequentially consistent: a registrant's taking of the lock comes before its test of
    // the object in the one order that a signaller's store of the flag is part of.
    while (lock->exchange(true)) {
        while (lock->load(std::memory_order_relaxed)) {
            if (++spins % 64 == 0) {
                sched_yield();  // the holder may have lost its core
            }
        }
    }
}

void KvReportDestroy(int result, const char* what)
{
    if (result != 0) {
        fprintf(stderr, "%s failed (%d)\n", what, result);
    }
}

bool GetAbsoluteTime(clockid_t clock, DWORD milliseconds, struct timespec* deadline)
{
    if (clock_gettime(clock, deadline) != 0) {
        fprintf(stderr, "GetAbsoluteTime: clock_gettime failed (%d)\n", errno);
        return false;
    }
    deadline->tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline->tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline->tv_nsec >= 1000000000L) {
        deadline->tv_sec += 1;
        deadline->tv_nsec -= 1000000000L;
    }
    return true;
}

namespace {

bool Before(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

#if !KV_CLOCK_SELECTING_WAITS
// The CLOCK_REALTIME time at which the monotonic deadline falls, as of now.
bool RealtimeDeadline(const timespec& deadline, timespec* real)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0 || clock_gettime(CLOCK_REALTIME, real) != 0) {
        fprintf(stderr, "GetAbsoluteTime: clock_gettime failed (%d)\n", errno);
        return false;
    }
    if (Before(now, deadline)) {
        long long left = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                         (deadline.tv_nsec - now.tv_nsec);
        real->tv_sec += static_cast<time_t>(left / 1000000000LL);
        real->tv_nsec += static_cast<long>(left % 1000000000LL);
        if (real->tv_nsec >= 1000000000L) {
            real->tv_sec += 1;
            real->tv_nsec -= 1000000000L;
        }
    }
    return true;
}
#endif

}  // namespace

bool KvDeadlinePassed(const struct timespec& deadline)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return true;
    }
    return !Before(now, deadline);
}

int KvMutexLockUntil(pthread_mutex_t* mutex, const struct timespec& deadline)
{
#if KV_CLOCK_SELECTING_WAITS
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#else
    for (;;) {
        timespec real;
        if (!RealtimeDeadline(deadline, &real)) {
            return EINVAL;
        }
        const int result = pthread_mutex_timedlock(mutex, &real);
        // A wall-clock step may end the wait early: only the monotonic deadline counts.
        if (result != ETIMEDOUT || KvDeadlinePassed(deadline)) {
            return result;
        }
    }
#endif
}

int KvSemaWaitUntil(sem_t* semaphore, const struct timespec& deadline)
{
    for (;;) {
#if KV_CLOCK_SELECTING_WAITS
        if (sem_clockwait(semaphore, CLOCK_MONOTONIC, &deadline) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
#elif defined(__FreeBSD__) && !defined(KV_TSAN_BUILD)
        // FreeBSD 11.1 and later wait on CLOCK_MONOTONIC too: clock steps stay out of the wait.
        if (sem_clockwait_np(semaphore, CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
#else
        timespec real;
        if (!RealtimeDeadline(deadline, &real)) {
            return EINVAL;
        }
        if (sem_timedwait(semaphore, &real) == 0) {
            return 0;
        }
        const int error = errno;
        if (error != EINTR && (error != ETIMEDOUT || KvDeadlinePassed(deadline))) {
            return error;
        }
#endif
    }
}

int InitEventCondition(pthread_cond_t* cond)
{
    pthread_condattr_t attributes;
    int result = pthread_condattr_init(&attributes);
    if (result != 0) {
        fprintf(stderr, "InitEventCondition: pthread_condattr_init failed (%d)\n", result);
        return result;
    }
    result = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    if (result == 0) {
        result = pthread_cond_init(cond, &attributes);
    }
    if (result != 0) {
        fprintf(stderr, "InitEventCondition: initializing a monotonic condition failed (%d)\n", result);
    }
    const int destroyed = pthread_condattr_destroy(&attributes);
    if (destroyed != 0) {
        fprintf(stderr, "InitEventCondition: pthread_condattr_destroy failed (%d)\n", destroyed);
    }
    return result;
}

// ---- the base class ----

namespace {

// Records handle in addEvent unless another object was first. True when this call made the
// record: its caller then owes the waiter one Wake, which the waiter's Delete awaits, so the
// wake may come after the caller has let go of every lock.
bool Record(_OsUserAddEvent* addEvent, _OsUserHandle* handle)
{
    _OsUserHandle* none = nullptr;
    if (addEvent->signalledHandle.load() != nullptr ||
        !addEvent->signalledHandle.compare_exchange_strong(none, handle)) {
        return false;
    }
    addEvent->waking.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// Wakes the waiter of a record. Passing through the record's mutex first, the wake finds
// the waiter either asleep or not yet past its test of the record; made after that mutex is
// released, it wakes a waiter that can run at once instead of blocking on it.
void Wake(_OsUserAddEvent* addEvent)
{
    KvLock(&addEvent->mutex);
    KvUnlock(&addEvent->mutex);
    KvCheck(pthread_cond_broadcast(&addEvent->condition), "pthread_cond_broadcast");
    addEvent->waking.fetch_sub(1, std::memory_order_release);
}

void RecordSignal(_OsUserAddEvent* addEvent, _OsUserHandle* handle)
{
    if (Record(addEvent, handle)) {
        Wake(addEvent);
    }
}

// Leaving a slot is a plain store; one fence after a wait's last such store orders them all
// before its reads of the scanning counts (a signaller counts itself before reading the slot).
// ThreadSanitizer does not follow fences: its builds store sequentially consistent instead.
void LeaveSlot(_OsUserHandle* handle)
{
#if defined(KV_TSAN_BUILD)
    handle->slot.store(nullptr);
#else
    handle->slot.store(nullptr, std::memory_order_release);
#endif
}

void FenceAfterLeaving()
{
#if !defined(KV_TSAN_BUILD)
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

// Waits until no signaller can still hold the node that left handle's slot.
void AwaitScanners(_OsUserHandle* handle)
{
    unsigned int spins = 0;
    while (handle->scanning.load() != 0) {
        if (++spins % 64 == 0) {
            sched_yield();  // the signaller may have lost its core
        }
    }
}

}  // namespace

_OsUserHandle::_OsUserHandle(uint32_t handleKind)
    : kind(handleKind), waiters(nullptr), lastWaiter(nullptr), waiterCount(0),
      waiterLock(false), slot(nullptr), scanning(0)
{
}

_OsUserHandle::~_OsUserHandle() {}

bool _OsUserHandle::SupportsAdditionalEvents() { return false; }
void _OsUserHandle::Lock() {}
void _OsUserHandle::Unlock() {}
bool _OsUserHandle::IsEventSignalled() { return false; }

bool _OsUserHandle::SignalAdditionalEventsCritical()
{
    // The flag was stored (sequentially consistent) before: a registrant that took the
    // slot or waiterLock after these reads will see the flag; one that has released
    // waiterLock has published its count.
    const bool inSlot = slot.load() != nullptr;
    if (!inSlot && !waiterLock.load() && waiterCount.load(std::memory_order_acquire) == 0) {
        return true;
    }
    // The waiters are woken once waiterLock is free, so that they unregister without
    // blocking on it; a record cannot be reused or destroyed before its wake (Delete).
    constexpr unsigned int kBatch = 16;
    _OsUserAddEvent* recorded[kBatch];
    unsigned int pending = 0;
    if (inSlot) {
        // Counted in scanning before the second read: a wait that has left the slot awaits
        // this signaller before its node (and record) can be reused.
        scanning.fetch_add(1);
        _OsUserWaiterNode* node = slot.load();
        if (node != nullptr && Record(node->addEvent, this)) {
            recorded[pending++] = node->addEvent;
        }
        scanning.fetch_sub(1, std::memory_order_release);
    }
    if (!waiterLock.load() && waiterCount.load(std::memory_order_acquire) == 0) {
        for (unsigned int i = 0; i < pending; ++i) {
            Wake(recorded[i]);
        }
        return true;
    }
    KvLockWaiters(&waiterLock);
    for (_OsUserWaiterNode* node = waiters; node != nullptr; node = node->next) {
        if (Record(node->addEvent, this)) {
            if (pending < kBatch) {
                recorded[pending++] = node->addEvent;
            } else {
                Wake(node->addEvent);
            }
        }
    }
    KvUnlockWaiters(&waiterLock);
    for (unsigned int i = 0; i < pending; ++i) {
        Wake(recorded[i]);
    }
    return true;
}

bool _OsUserHandle::AddAdditionalEvent(_OsUserWaiterNode* node)
{
    if (!SupportsAdditionalEvents()) {
        return false;
    }
    // The slot when free: one compare-and-swap, sequentially consistent like waiterLock's
    // taking below, orders the registration before the test of the object.
    _OsUserWaiterNode* none = nullptr;
    node->inSlot = true;
    if (slot.load(std::memory_order_relaxed) == nullptr && slot.compare_exchange_strong(none, node)) {
        if (IsEventSignalled()) {
            RecordSignal(node->addEvent, this);
        }
        return true;
    }
    node->inSlot = false;
    KvLockWaiters(&waiterLock);
    node->next = nullptr;
    node->prev = lastWaiter;
    (lastWaiter != nullptr ? lastWaiter->next : waiters) = node;
    lastWaiter = node;
    // Only changed under waiterLock, whose taking orders this registration before the test
    // of the object below (see SignalAdditionalEventsCritical).
    waiterCount.store(waiterCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // An object signalled between the waiter's first test and this registration records
    // itself now, so the waiter never sleeps through it.
    if (IsEventSignalled()) {
        RecordSignal(node->addEvent, this);
    }
    KvUnlockWaiters(&waiterLock);
    return true;
}

bool _OsUserHandle::RemoveAdditionalEvent(_OsUserWaiterNode* node)
{
    if (node->inSlot) {
        LeaveSlot(this);
        FenceAfterLeaving();
        AwaitScanners(this);
        return true;
    }
    KvLockWaiters(&waiterLock);
    (node->prev != nullptr ? node->prev->next : waiters) = node->next;
    (node->next != nullptr ? node->next->prev : lastWaiter) = node->prev;
    // Only changed under waiterLock; a signaller that reads the old count merely locks in vain.
    waiterCount.store(waiterCount.load(std::memory_order_relaxed) - 1, std::memory_order_release);
    KvUnlockWaiters(&waiterLock);
    return true;
}

// ---- one multi-object wait ----

_OsUserAddEvent::_OsUserAddEvent()
    : signalledHandle(nullptr), count(0), handles(nullptr), nodes(nullptr), ready(false), waking(0)
{
}

namespace {

// Makes the condition and the mutex (once) and clears the record; registers nothing yet.
bool Prepare(_OsUserAddEvent* addEvent, _OsUserHandle** handles, _OsUserWaiterNode* nodes)
{
    if (!addEvent->ready) {
        if (InitEventCondition(&addEvent->condition) != 0) {
            return false;
        }
        const int result = pthread_mutex_init(&addEvent->mutex, nullptr);
        if (result != 0) {
            KvReportDestroy(pthread_cond_destroy(&addEvent->condition), "pthread_cond_destroy");
            return false;
        }
        addEvent->ready = true;
    }
    addEvent->signalledHandle.store(nullptr);
    addEvent->count = 0;
    addEvent->handles = handles;
    addEvent->nodes = nodes;
    return true;
}

// Registers the wait with its next entry, if that entry can notify; count grows by one.
void RegisterNext(_OsUserAddEvent* addEvent)
{
    const unsigned int i = addEvent->count++;
    _OsUserWaiterNode& node = addEvent->nodes[i];
    node.addEvent = addEvent;
    node.prev = node.next = nullptr;
    node.inSlot = false;
    // A node that stays unlinked (null entry, or one that cannot notify) is marked by
    // addEvent == null so that Delete leaves it alone.
    _OsUserHandle* handle = addEvent->handles[i];
    if (handle == nullptr || !handle->AddAdditionalEvent(&node)) {
        node.addEvent = nullptr;
    }
}

}  // namespace

_OsUserAddEvent::~_OsUserAddEvent()
{
    if (ready) {
        KvReportDestroy(pthread_cond_destroy(&condition), "pthread_cond_destroy");
        KvReportDestroy(pthread_mutex_destroy(&mutex), "pthread_mutex_destroy");
    }
}

bool _OsUserAddEvent::Create(unsigned int handleCount, _OsUserHandle** handleArray,
                             _OsUserWaiterNode* nodeArray)
{
    if (!Prepare(this, handleArray, nodeArray)) {
        return false;
    }
    while (count < handleCount) {
        RegisterNext(this);
    }
    return true;
}

void _OsUserAddEvent::Delete()
{
    // Once every object has let go of the record (under its waiterLock) and the last wake
    // it owed has been made, no signaller can touch it any more: the condition and the
    // mutex stay for the thread's next wait.
    // Slots are left by plain stores, then one fence for all before awaiting their scanners.
    bool leftSlot = false;
    for (unsigned int i = 0; i < count; ++i) {
        if (nodes[i].addEvent == nullptr) {
            continue;
        }
        if (nodes[i].inSlot) {
            LeaveSlot(handles[i]);
            leftSlot = true;
        } else {
            handles[i]->RemoveAdditionalEvent(&nodes[i]);
        }
    }
    if (leftSlot) {
        FenceAfterLeaving();
        for (unsigned int i = 0; i < count; ++i) {
            if (nodes[i].addEvent != nullptr && nodes[i].inSlot) {
                AwaitScanners(handles[i]);
            }
        }
    }
    count = 0;
    while (waking.load(std::memory_order_acquire) != 0) {
        sched_yield();
    }
}

void _OsUserAddEvent::Signal(_OsUserHandle* handle) { RecordSignal(this, handle); }

DWORD _OsUserAddEvent::Wait(const struct timespec* deadline)
{
    int result = 0;
    KvLock(&mutex);
    while (signalledHandle.load() == nullptr && result == 0) {
        result = deadline != nullptr ? pthread_cond_timedwait(&condition, &mutex, deadline)
                                     : pthread_cond_wait(&condition, &mutex);
    }
    const bool recorded = signalledHandle.load() != nullptr;
    KvUnlock(&mutex);
    if (recorded) {
        return WAIT_OBJECT_0;
    }
    if (result == ETIMEDOUT) {
        return WAIT_TIMEOUT;
    }
    errno = result;
    return WAIT_FAILED;
}

_OsUserHandle* _OsUserAddEvent::TakeSignalled() { return signalledHandle.exchange(nullptr); }

// ---- generic operations ----

namespace {

KvProbe Probe(_OsUserHandle* handle)
{
    if (handle == nullptr) {
        return KvProbe::Never;
    }
    switch (handle->kind) {
    case OS_USER_HANDLE_THREAD:
        return KvProbeThread(handle);
    case OS_USER_HANDLE_EVENT:
        return KvProbeEvent(handle);
    case OS_USER_HANDLE_MUTEX:
        return KvProbeMutex(handle);
    case OS_USER_HANDLE_SEMA:
        return KvProbeSema(handle);
    default:
        errno = EINVAL;
        return KvProbe::Never;
    }
}

// Undoes an acquisition of a wait-all pass. A joined thread stays signalled: nothing to undo.
void GiveBack(_OsUserHandle* handle)
{
    switch (handle->kind) {
    case OS_USER_HANDLE_EVENT:
        KvGiveBackEvent(handle);
        break;
    case OS_USER_HANDLE_MUTEX:
        KvGiveBackMutex(handle);
        break;
    case OS_USER_HANDLE_SEMA:
        KvGiveBackSema(handle);
        break;
    default:
        break;
    }
}

// Whether a wait-all can ever take the entry: a waitable kind, not a mutex the caller
// holds already, not an inert event, not a closed thread handle.
bool Takeable(_OsUserHandle* handle)
{
    if (handle == nullptr) {
        return false;
    }
    switch (handle->kind) {
    case OS_USER_HANDLE_THREAD:
        return !KvThreadClosed(handle);
    case OS_USER_HANDLE_EVENT:
        return static_cast<_OsEventHandle*>(handle)->event.valid.load();
    case OS_USER_HANDLE_MUTEX:
        return !KvMutexHeldByCaller(handle);
    case OS_USER_HANDLE_SEMA:
        return true;
    default:
        return false;
    }
}

// Per-entry storage of a wait: inline for the usual sizes, on the heap beyond.
template <typename T>
class EntryArray {
 public:
  explicit EntryArray(unsigned int size)
      : heap_(size > kInline ? new (std::nothrow) T[size] : nullptr),
        data_(size > kInline ? heap_ : inline_)
  {
  }
  ~EntryArray() { delete[] heap_; }
  EntryArray(const EntryArray&) = delete;
  EntryArray& operator=(const EntryArray&) = delete;
  T* data() { return data_; }

 private:
  static constexpr unsigned int kInline = 64;
  T inline_[kInline];
  T* heap_;
  T* data_;
};

// Pauses of a wait that must poll: short at first, growing to 1 ms.
long NextPause(long pauseNs) { return pauseNs == 0 ? 50000L : std::min(pauseNs * 2, 1000000L); }

// now + pauseNs on CLOCK_MONOTONIC, but not beyond limit.
bool PauseEnd(long pauseNs, const timespec* limit, timespec* end)
{
    if (clock_gettime(CLOCK_MONOTONIC, end) != 0) {
        fprintf(stderr, "GetAbsoluteTime: clock_gettime failed (%d)\n", errno);
        return false;
    }
    end->tv_nsec += pauseNs;
    if (end->tv_nsec >= 1000000000L) {
        end->tv_sec += 1;
        end->tv_nsec -= 1000000000L;
    }
    if (limit != nullptr && Before(*limit, *end)) {
        *end = *limit;
    }
    return true;
}

void SleepUntil(const timespec& end)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}

bool HasDuplicates(unsigned int count, _OsUserHandle** handles, bool* failed)
{
    if (count <= 64) {
        for (unsigned int i = 1; i < count; ++i) {
            for (unsigned int j = 0; j < i; ++j) {
                if (handles[i] == handles[j]) {
                    return true;
                }
            }
        }
        return false;
    }
    EntryArray<_OsUserHandle*> sorted(count);
    if (sorted.data() == nullptr) {
        *failed = true;
        return false;
    }
    std::copy(handles, handles + count, sorted.data());
    std::sort(sorted.data(), sorted.data() + count);
    return std::adjacent_find(sorted.data(), sorted.data() + count) != sorted.data() + count;
}

// The sleeping part of a wait-any that found nothing at once: on the record (addEvent;
// null when it could not be made) until an entry can be taken or the time-out has passed.
DWORD SleepForAny(unsigned int count, _OsUserHandle** handles, DWORD milliseconds,
                  _OsUserAddEvent* addEvent, bool polling)
{
    timespec deadline;
    const timespec* limit = nullptr;
    if (milliseconds != INFINITE) {
        if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
            return WAIT_FAILED;
        }
        limit = &deadline;
    }
    long pauseNs = 0;
    for (;;) {
        DWORD waited = WAIT_TIMEOUT;
        if (polling) {
            pauseNs = NextPause(pauseNs);
            timespec end;
            if (!PauseEnd(pauseNs, limit, &end)) {
                return WAIT_FAILED;
            }
            if (addEvent != nullptr) {
                waited = addEvent->Wait(&end);
            } else {
                SleepUntil(end);
            }
        } else {
            waited = addEvent->Wait(limit);
        }
        if (waited == WAIT_FAILED) {
            return WAIT_FAILED;
        }
        // The object that signalled first; then every entry again, in order, because
        // another thread may have taken it meanwhile.
        _OsUserHandle* first = addEvent != nullptr ? addEvent->TakeSignalled() : nullptr;
        if (first != nullptr && Probe(first) == KvProbe::Acquired) {
            return WAIT_OBJECT_0 + static_cast<DWORD>(std::find(handles, handles + count, first) - handles);
        }
        for (unsigned int i = 0; i < count; ++i) {
            if (Probe(handles[i]) == KvProbe::Acquired) {
                return WAIT_OBJECT_0 + i;
            }
        }
        if (limit != nullptr && KvDeadlinePassed(*limit)) {
            return WAIT_TIMEOUT;
        }
        // The first pass stopped at a record whose object was taken by another thread:
        // the entries it did not reach are registered now, before the next sleep.
        while (addEvent != nullptr && addEvent->count < count) {
            _OsUserHandle* handle = handles[addEvent->count];
            RegisterNext(addEvent);
            polling = polling || (handle != nullptr && (handle->kind == OS_USER_HANDLE_MUTEX ||
                                                        handle->kind == OS_USER_HANDLE_SEMA));
        }
    }
}

DWORD WaitAny(unsigned int count, _OsUserHandle** handles, DWORD milliseconds)
{
    // A zero time-out is one pass of tests: nothing registered, no clock read.
    if (milliseconds == 0) {
        bool live = false;
        for (unsigned int i = 0; i < count; ++i) {
            const KvProbe probe = Probe(handles[i]);
            if (probe == KvProbe::Acquired) {
                return WAIT_OBJECT_0 + i;
            }
            live = live || probe == KvProbe::Busy;
        }
        if (!live) {
            errno = EINVAL;
        }
        return live ? WAIT_TIMEOUT : WAIT_FAILED;
    }
    EntryArray<_OsUserWaiterNode> nodes(count);
    if (nodes.data() == nullptr) {
        errno = ENOMEM;
        return WAIT_FAILED;
    }
    // Events and threads record themselves in addEvent when signalled; mutexes and
    // semaphores cannot, so a wait that holds one also polls them between short sleeps.
    // A thread waits for one thing at a time: its record serves all its waits.
    static thread_local _OsUserAddEvent addEvent;
    const bool notified = Prepare(&addEvent, handles, nodes.data());
    bool polling = !notified;
    // One pass registers with each entry and then tests it, so a set between the two is
    // never missed. It ends at the first entry taken, or as soon as an entry registered
    // earlier has recorded itself: the entries not reached are never registered.
    unsigned int index = count;
    bool live = false;
    for (unsigned int i = 0; i < count; ++i) {
        if (notified) {
            RegisterNext(&addEvent);
        }
        const KvProbe probe = Probe(handles[i]);
        if (probe == KvProbe::Acquired) {
            index = i;
            break;
        }
        if (probe == KvProbe::Busy) {
            live = true;
            polling = polling || !handles[i]->SupportsAdditionalEvents();
        }
        if (notified && addEvent.signalledHandle.load(std::memory_order_relaxed) != nullptr) {
            live = true;
            break;
        }
    }
    DWORD result = WAIT_TIMEOUT;
    if (index < count) {
        result = WAIT_OBJECT_0 + index;
    } else if (!live) {
        errno = EINVAL;
        result = WAIT_FAILED;
    } else {
        result = SleepForAny(count, handles, milliseconds, notified ? &addEvent : nullptr, polling);
    }
    if (notified) {
        addEvent.Delete();
    }
    return result;
}

DWORD WaitAll(unsigned int count, _OsUserHandle** handles, DWORD milliseconds)
{
    for (unsigned int i = 0; i < count; ++i) {
        if (!Takeable(handles[i])) {
            errno = EINVAL;
            return WAIT_FAILED;
        }
    }
    bool failed = false;
    if (HasDuplicates(count, handles, &failed) || failed) {
        errno = failed ? ENOMEM : EINVAL;
        return WAIT_FAILED;
    }
    timespec deadline;
    const timespec* limit = nullptr;
    if (milliseconds != 0 && milliseconds != INFINITE) {
        if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
            return WAIT_FAILED;
        }
        limit = &deadline;
    }
    long pauseNs = 0;
    for (;;) {
        // One pass takes every entry or gives back what it took, newest first.
        unsigned int taken = 0;
        KvProbe probe = KvProbe::Acquired;
        while (taken < count && (probe = Probe(handles[taken])) == KvProbe::Acquired) {
            ++taken;
        }
        if (taken == count) {
            return WAIT_OBJECT_0;
        }
        while (taken > 0) {
            GiveBack(handles[--taken]);
        }
        if (probe == KvProbe::Never) {
            errno = EINVAL;
            return WAIT_FAILED;
        }
        if (milliseconds == 0 || (limit != nullptr && KvDeadlinePassed(*limit))) {
            return WAIT_TIMEOUT;
        }
        pauseNs = NextPause(pauseNs);
        timespec end;
        if (!PauseEnd(pauseNs, limit, &end)) {
            return WAIT_FAILED;
        }
        SleepUntil(end);
    }
}

}  // namespace

BOOL OsUserCloseHandle(OS_USER_HANDLE handle)
{
    _OsUserHandle* object = KvHandle(handle);
    if (object == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    switch (object->kind) {
    case OS_USER_HANDLE_FILE:
        OsUserCloseFile(handle);
        return TRUE;
    case OS_USER_HANDLE_THREAD:
        KvCloseThread(object);
        return TRUE;
    case OS_USER_HANDLE_EVENT:
        delete static_cast<_OsEventHandle*>(object);
        return TRUE;
    case OS_USER_HANDLE_MUTEX:
        return KvDestroyMutex(object) ? TRUE : FALSE;
    case OS_USER_HANDLE_SEMA:
        return KvDestroySema(object) ? TRUE : FALSE;
    default:
        errno = EINVAL;
        return FALSE;
    }
}

DWORD OsUserWaitForSingleObject(OS_USER_HANDLE handle, DWORD milliseconds)
{
    _OsUserHandle* object = KvHandle(handle);
    if (object == nullptr) {
        return WAIT_FAILED;
    }
    switch (object->kind) {
    case OS_USER_HANDLE_THREAD:
        return KvWaitForThread(object, milliseconds);
    case OS_USER_HANDLE_EVENT:
        return OsUserWaitForEvent(handle, milliseconds);
    case OS_USER_HANDLE_MUTEX:
        return OsUserWaitForMutex(handle, milliseconds);
    case OS_USER_HANDLE_SEMA:
        return OsUserWaitForSema(handle, milliseconds);
    default:
        errno = EINVAL;
        return WAIT_FAILED;
    }
}

DWORD OsUserWaitForSingleObjectEx(OS_USER_HANDLE handle, DWORD milliseconds, BOOL)
{
    return OsUserWaitForSingleObject(handle, milliseconds);
}

DWORD OsUserWaitForMultipleObjects(DWORD count, OS_USER_HANDLE* handles, BOOL waitAll,
                                   DWORD milliseconds)
{
    if (count == 0 || handles == nullptr) {
        return WAIT_FAILED;
    }
    EntryArray<_OsUserHandle*> objects(count);
    if (objects.data() == nullptr) {
        errno = ENOMEM;
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
        objects.data()[i] = KvHandle(handles[i]);
    }
    return waitAll ? WaitAll(count, objects.data(), milliseconds)
                   : WaitAny(count, objects.data(), milliseconds);
}

DWORD OsUserGetLastError(void) { return static_cast<DWORD>(errno); }

DWORD OsUserGetLastWin32Error(void)
{
    const int error = errno;
    switch (error) {
    case ENOMEM:
        return 14;  // ERROR_OUTOFMEMORY
    case EACCES:
        return 5;  // ERROR_ACCESS_DENIED
    case EEXIST:
        return 183;  // ERROR_ALREADY_EXISTS
    case EINVAL:
        return 13;  // ERROR_INVALID_DATA
    case ETIMEDOUT:
        return 1460;  // ERROR_TIMEOUT
    default:
        return 10000u + static_cast<DWORD>(error);
    }
}
