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

// Records handle in addEvent unless another object was first; wakes its waiter. The caller
// holds the object's waiterLock, so the waiter cannot finish its wait (unregister) before
// the broadcast; made after the record's mutex is released, it wakes a waiter that can run
// at once instead of blocking on that mutex.
void RecordSignal(_OsUserAddEvent* addEvent, _OsUserHandle* handle)
{
    if (addEvent->signalledHandle.load() != nullptr) {
        return;
    }
    KvLock(&addEvent->mutex);
    const bool first = addEvent->signalledHandle.load() == nullptr;
    if (first) {
        addEvent->signalledHandle.store(handle);
    }
    KvUnlock(&addEvent->mutex);
    if (first) {
        KvCheck(pthread_cond_broadcast(&addEvent->condition), "pthread_cond_broadcast");
    }
}

}  // namespace

_OsUserHandle::_OsUserHandle(uint32_t handleKind)
    : kind(handleKind), waiters(nullptr), lastWaiter(nullptr), waiterCount(0),
      initError(pthread_mutex_init(&waiterLock, nullptr))
{
}

_OsUserHandle::~_OsUserHandle()
{
    if (initError == 0) {
        KvReportDestroy(pthread_mutex_destroy(&waiterLock), "pthread_mutex_destroy");
    }
}

bool _OsUserHandle::SupportsAdditionalEvents() { return false; }
void _OsUserHandle::Lock() {}
void _OsUserHandle::Unlock() {}
bool _OsUserHandle::IsEventSignalled() { return false; }

bool _OsUserHandle::SignalAdditionalEventsCritical()
{
    if (waiterCount.load() == 0) {
        return true;
    }
    KvLock(&waiterLock);
    for (_OsUserWaiterNode* node = waiters; node != nullptr; node = node->next) {
        RecordSignal(node->addEvent, this);
    }
    KvUnlock(&waiterLock);
    return true;
}

bool _OsUserHandle::AddAdditionalEvent(_OsUserWaiterNode* node)
{
    if (!SupportsAdditionalEvents()) {
        return false;
    }
    KvLock(&waiterLock);
    node->next = nullptr;
    node->prev = lastWaiter;
    (lastWaiter != nullptr ? lastWaiter->next : waiters) = node;
    lastWaiter = node;
    waiterCount.fetch_add(1);
    // An object signalled between the waiter's first test and this registration records
    // itself now, so the waiter never sleeps through it.
    if (IsEventSignalled()) {
        RecordSignal(node->addEvent, this);
    }
    KvUnlock(&waiterLock);
    return true;
}

bool _OsUserHandle::RemoveAdditionalEvent(_OsUserWaiterNode* node)
{
    KvLock(&waiterLock);
    (node->prev != nullptr ? node->prev->next : waiters) = node->next;
    (node->next != nullptr ? node->next->prev : lastWaiter) = node->prev;
    waiterCount.fetch_sub(1);
    KvUnlock(&waiterLock);
    return true;
}

// ---- one multi-object wait ----

_OsUserAddEvent::_OsUserAddEvent()
    : signalledHandle(nullptr), count(0), handles(nullptr), nodes(nullptr), ready(false)
{
}

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
    if (!ready) {
        if (InitEventCondition(&condition) != 0) {
            return false;
        }
        const int result = pthread_mutex_init(&mutex, nullptr);
        if (result != 0) {
            KvReportDestroy(pthread_cond_destroy(&condition), "pthread_cond_destroy");
            return false;
        }
        ready = true;
    }
    signalledHandle.store(nullptr);
    count = handleCount;
    handles = handleArray;
    nodes = nodeArray;
    for (unsigned int i = 0; i < count; ++i) {
        nodes[i].addEvent = this;
        nodes[i].prev = nodes[i].next = nullptr;
        // A node that stays unlinked (null entry, or one that cannot notify) is marked by
        // addEvent == null so that Delete leaves it alone.
        if (handles[i] == nullptr || !handles[i]->AddAdditionalEvent(&nodes[i])) {
            nodes[i].addEvent = nullptr;
        }
    }
    return true;
}

void _OsUserAddEvent::Delete()
{
    // Once every object has let go of the record (under its waiterLock), no signaller can
    // touch it any more: the condition and the mutex stay for the thread's next wait.
    for (unsigned int i = 0; i < count; ++i) {
        if (nodes[i].addEvent != nullptr) {
            handles[i]->RemoveAdditionalEvent(&nodes[i]);
        }
    }
    count = 0;
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

_OsUserHandle* _OsUserAddEvent::TakeSignalled()
{
    KvLock(&mutex);
    _OsUserHandle* handle = signalledHandle.exchange(nullptr);
    KvUnlock(&mutex);
    return handle;
}

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

DWORD WaitAny(unsigned int count, _OsUserHandle** handles, DWORD milliseconds)
{
    unsigned int live = 0;
    bool polling = false;
    for (unsigned int i = 0; i < count; ++i) {
        const KvProbe probe = Probe(handles[i]);
        if (probe == KvProbe::Acquired) {
            return WAIT_OBJECT_0 + i;
        }
        if (probe == KvProbe::Busy) {
            ++live;
            polling = polling || !handles[i]->SupportsAdditionalEvents();
        }
    }
    if (live == 0) {
        errno = EINVAL;
        return WAIT_FAILED;
    }
    if (milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    timespec deadline;
    const timespec* limit = nullptr;
    if (milliseconds != INFINITE) {
        if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
            return WAIT_FAILED;
        }
        limit = &deadline;
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
    const bool notified = addEvent.Create(count, handles, nodes.data());
    polling = polling || !notified;
    long pauseNs = 0;
    DWORD result = WAIT_TIMEOUT;
    for (;;) {
        DWORD waited = WAIT_TIMEOUT;
        if (polling) {
            pauseNs = NextPause(pauseNs);
            timespec end;
            if (!PauseEnd(pauseNs, limit, &end)) {
                result = WAIT_FAILED;
                break;
            }
            if (notified) {
                waited = addEvent.Wait(&end);
            } else {
                SleepUntil(end);
            }
        } else {
            waited = addEvent.Wait(limit);
        }
        if (waited == WAIT_FAILED) {
            result = WAIT_FAILED;
            break;
        }
        // The object that signalled first; then every entry again, in order, because
        // another thread may have taken it meanwhile.
        _OsUserHandle* first = notified ? addEvent.TakeSignalled() : nullptr;
        unsigned int index = count;
        if (first != nullptr && Probe(first) == KvProbe::Acquired) {
            index = static_cast<unsigned int>(std::find(handles, handles + count, first) - handles);
        }
        for (unsigned int i = 0; index == count && i < count; ++i) {
            if (Probe(handles[i]) == KvProbe::Acquired) {
                index = i;
            }
        }
        if (index < count) {
            result = WAIT_OBJECT_0 + index;
            break;
        }
        if (limit != nullptr && KvDeadlinePassed(*limit)) {
            result = WAIT_TIMEOUT;
            break;
        }
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
