// Synchronisation: mutex and semaphore handles, critical sections, interlocked operations.
#include "OsUserKernel.h"

#include <errno.h>
#include <stdio.h>

#include <new>

// The GCC/Clang __atomic builtins act on plain (volatile) objects, wrap on signed
// overflow like two's-complement hardware, and compile to single lock-prefixed
// instructions on x86-64 (CAS loops elsewhere).

LONG InterlockedIncrement(LONG volatile* target)
{
    return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* target)
{
    return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedExchange(LONG volatile* target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    // On failure the builtin writes the value found into comparand; on success
    // comparand already equals the previous value.
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

namespace {

// Applies op to *target with a compare-and-swap loop; returns the value stored.
template <typename Op>
int CompareAndSwapLoop(int volatile* target, Op op)
{
    int seen = __atomic_load_n(target, __ATOMIC_SEQ_CST);
    int wanted = op(seen);
    // A failed exchange refreshes seen with the value another thread stored meanwhile.
    while (!__atomic_compare_exchange_n(target, &seen, wanted, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
        wanted = op(seen);
    }
    return wanted;
}

}  // namespace

int InterlockedOr(int volatile* target, int mask)
{
    return CompareAndSwapLoop(target, [mask](int value) { return value | mask; });
}

int InterlockedAnd(int volatile* target, int mask)
{
    return CompareAndSwapLoop(target, [mask](int value) { return value & mask; });
}

// ---- mutex handles ----

_MutexHandle::_MutexHandle() : _OsUserHandle(OS_USER_HANDLE_MUTEX), owner(0) {}

uint64_t KvThreadSerial()
{
    static std::atomic<uint64_t> lastSerial{0};
    thread_local uint64_t serial = 0;
    if (serial == 0) {
        serial = lastSerial.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    return serial;
}

namespace {

_MutexHandle* MutexOf(OS_USER_MUTEX_HANDLE handle)
{
    return KvHandleOfKind<_MutexHandle>(handle, OS_USER_HANDLE_MUTEX);
}

// Only the holder ever stores its own serial, so a thread that reads its own holds the lock.
bool HeldByCaller(_MutexHandle* mutex)
{
    return mutex->owner.load(std::memory_order_relaxed) == KvThreadSerial();
}

void TakeOwnership(_MutexHandle* mutex) { mutex->owner.store(KvThreadSerial(), std::memory_order_relaxed); }

}  // namespace

OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL initialOwner, LPCTSTR name)
{
    if (name != nullptr) {
        fprintf(stderr, "%s: named mutex not supported",
                "OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID, BOOL, LPCTSTR)");
        return nullptr;
    }
    _MutexHandle* mutex = new (std::nothrow) _MutexHandle;
    if (mutex == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    // The plain type on both systems (FreeBSD's default is error-checking): the holder checks
    // are the layer's own, so the POSIX mutex never judges ownership by a reused thread id.
    pthread_mutexattr_t attributes;
    int result = pthread_mutexattr_init(&attributes);
    if (result == 0) {
        result = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_NORMAL);
        if (result == 0) {
            result = pthread_mutex_init(&mutex->mutex, &attributes);
        }
        KvReportDestroy(pthread_mutexattr_destroy(&attributes), "pthread_mutexattr_destroy");
    }
    if (result != 0) {
        delete mutex;
        errno = result;
        return nullptr;
    }
    if (initialOwner != 0) {
        KvCheck(pthread_mutex_lock(&mutex->mutex), "pthread_mutex_lock");
        TakeOwnership(mutex);
    }
    return static_cast<_OsUserHandle*>(mutex);
}

DWORD OsUserWaitForMutex(OS_USER_MUTEX_HANDLE handle, DWORD milliseconds)
{
    _MutexHandle* mutex = MutexOf(handle);
    if (mutex == nullptr) {
        return WAIT_FAILED;
    }
    int result;
    if (HeldByCaller(mutex)) {
        result = EDEADLK;  // the plain lock would deadlock, a try or timed lock report busy
    } else if (milliseconds == INFINITE) {
        result = pthread_mutex_lock(&mutex->mutex);
    } else if (milliseconds == 0) {
        result = pthread_mutex_trylock(&mutex->mutex);
        if (result == EBUSY) {
            return WAIT_TIMEOUT;
        }
    } else {
        timespec deadline;
        if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
            return WAIT_FAILED;
        }
        result = KvMutexLockUntil(&mutex->mutex, deadline);
    }
    if (result == 0) {
        TakeOwnership(mutex);
        return WAIT_OBJECT_0;
    }
    if (result == ETIMEDOUT) {
        return WAIT_TIMEOUT;
    }
    errno = result;
    return WAIT_FAILED;
}

BOOL OsUserReleaseMutex(OS_USER_MUTEX_HANDLE handle)
{
    _MutexHandle* mutex = MutexOf(handle);
    if (mutex == nullptr) {
        return FALSE;
    }
    if (!HeldByCaller(mutex)) {
        errno = EPERM;
        return FALSE;
    }
    mutex->owner.store(0, std::memory_order_relaxed);
    const int result = pthread_mutex_unlock(&mutex->mutex);
    if (result != 0) {
        TakeOwnership(mutex);
        errno = result;
        return FALSE;
    }
    return TRUE;
}

bool KvMutexHeldByCaller(_OsUserHandle* handle)
{
    return HeldByCaller(static_cast<_MutexHandle*>(handle));
}

bool KvDestroyMutex(_OsUserHandle* handle)
{
    _MutexHandle* mutex = static_cast<_MutexHandle*>(handle);
    // A holder may close its own mutex; one held by another thread, ended or not, stays (and
    // leaks) rather than be freed under that thread.
    const uint64_t holder = mutex->owner.load(std::memory_order_relaxed);
    if (holder == KvThreadSerial()) {
        mutex->owner.store(0, std::memory_order_relaxed);
        KvCheck(pthread_mutex_unlock(&mutex->mutex), "pthread_mutex_unlock");
    } else if (holder != 0) {
        errno = EBUSY;
        return false;
    }
    const int result = pthread_mutex_destroy(&mutex->mutex);
    if (result != 0) {
        errno = result;
        return false;
    }
    delete mutex;
    return true;
}

BOOL OsUserDeleteMutex(OS_USER_MUTEX_HANDLE handle)
{
    _MutexHandle* mutex = MutexOf(handle);
    return mutex != nullptr && KvDestroyMutex(mutex) ? TRUE : FALSE;
}

KvProbe KvProbeMutex(_OsUserHandle* handle)
{
    _MutexHandle* mutex = static_cast<_MutexHandle*>(handle);
    if (HeldByCaller(mutex)) {
        return KvProbe::Never;
    }
    const int result = pthread_mutex_trylock(&mutex->mutex);
    if (result == 0) {
        TakeOwnership(mutex);
        return KvProbe::Acquired;
    }
    return result == EBUSY ? KvProbe::Busy : KvProbe::Never;
}

void KvGiveBackMutex(_OsUserHandle* handle)
{
    _MutexHandle* mutex = static_cast<_MutexHandle*>(handle);
    mutex->owner.store(0, std::memory_order_relaxed);
    KvCheck(pthread_mutex_unlock(&mutex->mutex), "pthread_mutex_unlock");
}

// ---- semaphore handles ----

_SemaHandle::_SemaHandle() : _OsUserHandle(OS_USER_HANDLE_SEMA) {}

namespace {

_SemaHandle* SemaOf(OS_USER_SEMA_HANDLE handle)
{
    return KvHandleOfKind<_SemaHandle>(handle, OS_USER_HANDLE_SEMA);
}

// sem_trywait across interruptions: 0, or the error (EAGAIN when no unit is free).
int TryTakeUnit(sem_t* semaphore)
{
    while (sem_trywait(semaphore) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

}  // namespace

OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG initialCount, LONG, LPCTSTR name)
{
    if (name != nullptr) {
        fprintf(stderr, "%s: named sema not supported",
                "OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID, LONG, LONG, LPCTSTR)");
        return nullptr;
    }
    if (initialCount < 0) {
        errno = EINVAL;
        return nullptr;
    }
    _SemaHandle* sema = new (std::nothrow) _SemaHandle;
    if (sema == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (sem_init(&sema->semaphore, 0, static_cast<unsigned int>(initialCount)) != 0) {
        const int error = errno;
        delete sema;
        errno = error;
        return nullptr;
    }
    return static_cast<_OsUserHandle*>(sema);
}

DWORD OsUserWaitForSema(OS_USER_SEMA_HANDLE handle, DWORD milliseconds)
{
    _SemaHandle* sema = SemaOf(handle);
    if (sema == nullptr) {
        return WAIT_FAILED;
    }
    // A free unit is taken at once: no clock read, no deadline.
    int result = TryTakeUnit(&sema->semaphore);
    if (result == EAGAIN && milliseconds == 0) {
        return WAIT_TIMEOUT;
    }
    if (result == EAGAIN && milliseconds == INFINITE) {
        result = 0;
        while (sem_wait(&sema->semaphore) != 0) {
            if (errno != EINTR) {
                result = errno;
                break;
            }
        }
    } else if (result == EAGAIN) {
        timespec deadline;
        if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &deadline)) {
            return WAIT_FAILED;
        }
        result = KvSemaWaitUntil(&sema->semaphore, deadline);
    }
    if (result == 0) {
        return WAIT_OBJECT_0;
    }
    if (result == ETIMEDOUT) {
        return WAIT_TIMEOUT;
    }
    errno = result;
    return WAIT_FAILED;
}

DWORD OsUserWaitForSemaEx(OS_USER_SEMA_HANDLE handle, DWORD milliseconds, BOOL alertable)
{
    if (alertable != 0) {
        fprintf(stderr, "%s: bAlertable == TRUE not supported",
                "DWORD OsUserWaitForSemaEx(OS_USER_MUTEX_HANDLE, DWORD, BOOL)");
    }
    return OsUserWaitForSema(handle, milliseconds);
}

BOOL OsUserReleaseSema(OS_USER_SEMA_HANDLE handle, LONG releaseCount, LPLONG previousCount)
{
    if (previousCount != nullptr) {
        fprintf(stderr, "%s: lpPreviousCount != NULL not supported",
                "BOOL OsUserReleaseSema(OS_USER_MUTEX_HANDLE, LONG, LPLONG)");
    }
    _SemaHandle* sema = SemaOf(handle);
    if (sema == nullptr) {
        return FALSE;
    }
    for (LONG i = 0; i < releaseCount; ++i) {
        if (sem_post(&sema->semaphore) != 0) {
            return FALSE;  // errno from sem_post; the posts made so far stay made
        }
    }
    return TRUE;
}

bool KvDestroySema(_OsUserHandle* handle)
{
    _SemaHandle* sema = static_cast<_SemaHandle*>(handle);
    if (sem_destroy(&sema->semaphore) != 0) {
        return false;
    }
    delete sema;
    return true;
}

BOOL OsUserDeleteSema(OS_USER_SEMA_HANDLE handle)
{
    _SemaHandle* sema = SemaOf(handle);
    return sema != nullptr && KvDestroySema(sema) ? TRUE : FALSE;
}

KvProbe KvProbeSema(_OsUserHandle* handle)
{
    const int result = TryTakeUnit(&static_cast<_SemaHandle*>(handle)->semaphore);
    if (result == 0) {
        return KvProbe::Acquired;
    }
    return result == EAGAIN ? KvProbe::Busy : KvProbe::Never;
}

void KvGiveBackSema(_OsUserHandle* handle)
{
    if (sem_post(&static_cast<_SemaHandle*>(handle)->semaphore) != 0) {
        fprintf(stderr, "sem_post failed (%d)\n", errno);
    }
}

// ---- critical sections ----

namespace {

// Records a failed POSIX result; out of line, so that the success path keeps no frame.
__attribute__((noinline, cold)) BOOL Failed(int result)
{
    errno = result;
    return FALSE;
}

BOOL Checked(int result) { return result == 0 ? TRUE : Failed(result); }

}  // namespace

BOOL OsUserInitializeCriticalSection(LPCRITICAL_SECTION section)
{
    if (section == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return Checked(pthread_mutex_init(section, nullptr));
    }
    int result = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    if (result == 0) {
        result = pthread_mutex_init(section, &attributes);
    }
    KvReportDestroy(pthread_mutexattr_destroy(&attributes), "pthread_mutexattr_destroy");
    return Checked(result);
}

BOOL OsUserEnterCriticalSection(LPCRITICAL_SECTION section)
{
    return section != nullptr ? Checked(pthread_mutex_lock(section)) : Checked(EINVAL);
}

BOOL OsUserLeaveCriticalSection(LPCRITICAL_SECTION section)
{
    return section != nullptr ? Checked(pthread_mutex_unlock(section)) : Checked(EINVAL);
}

BOOL OsUserDeleteCriticalSection(LPCRITICAL_SECTION section)
{
    return section != nullptr ? Checked(pthread_mutex_destroy(section)) : Checked(EINVAL);
}

BOOL OsUserTryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    if (section == nullptr) {
        return Checked(EINVAL);
    }
    const int result = pthread_mutex_trylock(section);
    return result == EBUSY ? FALSE : Checked(result);
}
