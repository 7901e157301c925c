// Internals shared by the kernel-object areas (handles and waits, events, synchronisation,
// threads): checked locking, deadlines, the per-kind probe and give-back of the waits, and
// the handle classes that are no part of the public header.
#ifndef KV_OS_USER_KERNEL_H
#define KV_OS_USER_KERNEL_H

#include "KvPlatformHelper.h"

#include <errno.h>
#include <semaphore.h>

// ThreadSanitizer does not follow pthread_mutex_clocklock and sem_clockwait; its builds use
// the CLOCK_REALTIME calls it does follow, re-checked against the monotonic deadline.
#if defined(__SANITIZE_THREAD__)
#define KV_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KV_TSAN_BUILD 1
#endif
#endif

#if defined(__linux__) && !defined(KV_TSAN_BUILD)
// Linux: timed mutex locks and semaphore waits select CLOCK_MONOTONIC themselves.
#define KV_CLOCK_SELECTING_WAITS 1
#else
// FreeBSD (and ThreadSanitizer builds): pthread_mutex_timedlock and sem_timedwait measure
// CLOCK_REALTIME; the remaining monotonic time is converted and re-checked after each wake.
#define KV_CLOCK_SELECTING_WAITS 0
#endif

// Stops the process when an internal lock fails: that only happens to corrupted state.
void KvCheck(int result, const char* what);
void KvLock(pthread_mutex_t* mutex);
void KvUnlock(pthread_mutex_t* mutex);
// Reports a failed destroy (an object closed while in use) on standard error.
void KvReportDestroy(int result, const char* what);
// The waiter-list lock of a handle: held for a few instructions and never across a sleep, so
// a thread that finds it taken spins, yielding its core after a while.
void KvLockWaiters(std::atomic<bool>* lock);
inline void KvUnlockWaiters(std::atomic<bool>* lock) { lock->store(false, std::memory_order_release); }

// now on clock + milliseconds, in 64-bit arithmetic (every DWORD is a forward time).
// False, with the message on standard error, when the clock cannot be read.
bool GetAbsoluteTime(clockid_t clock, DWORD milliseconds, struct timespec* deadline);
// Whether the CLOCK_MONOTONIC deadline has passed.
bool KvDeadlinePassed(const struct timespec& deadline);

// Timed lock / semaphore wait until a CLOCK_MONOTONIC deadline: 0, ETIMEDOUT or an error.
int KvMutexLockUntil(pthread_mutex_t* mutex, const struct timespec& deadline);
int KvSemaWaitUntil(sem_t* semaphore, const struct timespec& deadline);

// Result of testing one entry of a multi-object wait without blocking.
enum class KvProbe {
  Acquired,  // signalled and taken (auto-reset event cleared, mutex held, unit taken, thread joined)
  Busy,      // not now
  Never,     // can never be taken by this caller: null, file, unknown kind, own mutex
};

// Per-kind tests and give-backs; each handle is of the kind its name says.
KvProbe KvProbeEvent(_OsUserHandle* handle);
void KvGiveBackEvent(_OsUserHandle* handle);
KvProbe KvProbeMutex(_OsUserHandle* handle);
void KvGiveBackMutex(_OsUserHandle* handle);
KvProbe KvProbeSema(_OsUserHandle* handle);
void KvGiveBackSema(_OsUserHandle* handle);
KvProbe KvProbeThread(_OsUserHandle* handle);

// Entries that a wait-all can never take, found before it takes anything.
bool KvMutexHeldByCaller(_OsUserHandle* handle);
bool KvThreadClosed(_OsUserHandle* handle);

DWORD KvWaitForThread(_OsUserHandle* handle, DWORD milliseconds);
void KvCloseThread(_OsUserHandle* handle);
bool KvDestroyMutex(_OsUserHandle* handle);
bool KvDestroySema(_OsUserHandle* handle);

// A handle argument as the base class; null stays null.
inline _OsUserHandle* KvHandle(void* handle) { return static_cast<_OsUserHandle*>(handle); }

// The object of a handle of the given kind; null, with errno EINVAL, for null or another kind.
template <typename Object>
Object* KvHandleOfKind(void* handle, uint32_t kind)
{
    _OsUserHandle* object = KvHandle(handle);
    if (object == nullptr || object->kind != kind) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<Object*>(object);
}

// Wakes every thread asleep on the event; each sleeps again unless a set released it.
void KvWakeSleepers(COsUserEvent* event);

// An event that also notifies the multi-object waits registered on its owning handle.
class COsUserEventInternal : public COsUserEvent {
 public:
  COsUserEventInternal(bool create, unsigned int manualReset);
  void SignalAdditionalEventsCritical() override;

  _OsUserHandle* owner;  // the handle that carries this event
};

// An event handle (kind 3).
class _OsEventHandle : public _OsUserHandle {
 public:
  _OsEventHandle(bool create, unsigned int manualReset);
  bool SupportsAdditionalEvents() override;
  void Lock() override;
  void Unlock() override;
  bool IsEventSignalled() override;

  COsUserEventInternal event;  // the event itself
};

// A mutex handle (kind 4): a plain, non-recursive POSIX mutex whose holder the handle records.
// The layer judges ownership itself, by a serial number that no other thread of the process
// ever gets: thread identifiers (and the error-checking type's owner) are reused once a thread
// has ended, and a holder may end without releasing.
class _MutexHandle : public _OsUserHandle {
 public:
  _MutexHandle();

  pthread_mutex_t mutex;          // the lock
  std::atomic<uint64_t> owner;    // KvThreadSerial() of the holder, 0 when free
};

// A number of the calling thread, never 0 and never given to another thread of the process.
uint64_t KvThreadSerial();

// A semaphore handle (kind 5): an unnamed, process-private POSIX semaphore.
class _SemaHandle : public _OsUserHandle {
 public:
  _SemaHandle();

  sem_t semaphore;  // the count
};

#endif  // KV_OS_USER_KERNEL_H
