// Threads: thread handles, the current thread, the tick count and sleeping.
#include "OsUserKernel.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>

#include <algorithm>
#include <new>

unsigned long OsUserThreadStackSize(unsigned long requested)
{
    // No smaller stack than the system's minimum (Linux refuses one; FreeBSD's 2 KiB leaves
    // no room for a signal frame), and never below 16 KiB.
    const unsigned long smallest = std::max(static_cast<unsigned long>(PTHREAD_STACK_MIN), 16384UL);
    return requested == 0 ? 0x40000UL : std::max(requested, smallest);
}

COsThread::COsThread()
    : _OsUserHandle(OS_USER_HANDLE_THREAD), thread(), startGate(nullptr), routine(nullptr),
      parameter(nullptr), references(1), finished(false), exitEvent(true, 1), joinable(true),
      joining(false), lockError(pthread_mutex_init(&lock, nullptr))
{
}

COsThread::~COsThread()
{
    delete startGate;
    if (lockError == 0) {
        KvReportDestroy(pthread_mutex_destroy(&lock), "pthread_mutex_destroy");
    }
}

bool COsThread::SupportsAdditionalEvents() { return true; }
void COsThread::Lock() { KvLock(&lock); }
void COsThread::Unlock() { KvUnlock(&lock); }
bool COsThread::IsEventSignalled() { return exitEvent.signalled.load(); }

int COsThread::Create(unsigned long stackSize, unsigned int (*startRoutine)(void*),
                      void* startParameter, unsigned int, int, void** handleOut,
                      pthread_t* threadIdOut, int suspended)
{
    int result = 0;
    if (startRoutine == nullptr) {
        result = EINVAL;
    } else if (lockError != 0 || !exitEvent.valid.load()) {
        result = EAGAIN;  // the object's own locks or exit event could not be made
    }
    kind = OS_USER_HANDLE_THREAD;
    routine = startRoutine;
    parameter = startParameter;
    finished.store(false);
    if (result == 0 && suspended != 0 && startGate == nullptr) {
        // A thread asked to start suspended never starts without its gate.
        startGate = new (std::nothrow) _OsEventHandle(true, 1);
        if (startGate == nullptr || !startGate->event.valid.load()) {
            result = EAGAIN;
        }
    }
    pthread_attr_t attributes;
    if (result == 0) {
        result = pthread_attr_init(&attributes);
    }
    if (result == 0) {
        references.fetch_add(1);
        result = pthread_attr_setstacksize(&attributes, OsUserThreadStackSize(stackSize));
        if (result == 0) {
            result = pthread_create(&thread, &attributes, ThreadFuncWrapper, this);
        }
        KvReportDestroy(pthread_attr_destroy(&attributes), "pthread_attr_destroy");
        if (result != 0) {
            references.fetch_sub(1);
            thread = pthread_t{};
        }
    }
    if (result != 0) {
        if (threadIdOut != nullptr) {
            *threadIdOut = pthread_t{};
        }
        return result;
    }
    if (threadIdOut != nullptr) {
        *threadIdOut = thread;
    }
    if (handleOut != nullptr) {
        *handleOut = static_cast<_OsUserHandle*>(this);
    }
    return 0;
}

void* COsThread::ThreadFuncWrapper(void* object)
{
    COsThread* self = static_cast<COsThread*>(object);
    self->ThreadFunc();
    self->Release();
    return nullptr;
}

void COsThread::ThreadFunc()
{
    if (startGate != nullptr) {
        startGate->event.Wait();
    }
    routine(parameter);
    finished.store(true);
    // The exit event first: a multi-object waiter woken next must find it set.
    exitEvent.Signal();
    SignalAdditionalEventsCritical();
}

void COsThread::Release()
{
    if (references.fetch_sub(1) == 1) {
        delete this;
    }
}

DWORD COsThread::WaitForThread(DWORD milliseconds)
{
    // The first waiter that may block joins at once, outside lock, so that a timed waiter
    // or a probe never blocks on lock. The others wait for the exit event, which the thread
    // sets before it ends.
    Lock();
    const pthread_t id = thread;
    // A thread waiting for its own end without limit would wait for ever: refused, and
    // nothing changes (it stays joinable, so closing the handle still detaches it).
    const bool ownEnd =
        id != pthread_t{} && milliseconds == INFINITE && pthread_equal(id, pthread_self()) != 0;
    bool joinHere = id != pthread_t{} && !ownEnd && joinable && !joining &&
                    (milliseconds == INFINITE || exitEvent.signalled.load());
    joining = joining || joinHere;
    Unlock();
    if (id == pthread_t{} || ownEnd) {
        errno = ownEnd ? EDEADLK : EINVAL;
        return WAIT_FAILED;
    }
    if (!joinHere) {
        const DWORD waited = exitEvent.Wait(milliseconds);
        if (waited != WAIT_OBJECT_0) {
            return waited == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
        }
        // The thread's work is over: join it unless that is done or under way.
        Lock();
        joinHere = joinable && !joining;
        joining = joining || joinHere;
        Unlock();
        if (!joinHere) {
            return WAIT_OBJECT_0;
        }
    }
    const int result = pthread_join(id, nullptr);
    Lock();
    joinable = false;
    joining = false;
    Unlock();
    if (result != 0) {
        errno = result;
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}

bool KvThreadClosed(_OsUserHandle* handle)
{
    COsThread* thread = static_cast<COsThread*>(handle);
    thread->Lock();
    const bool closed = thread->thread == pthread_t{};
    thread->Unlock();
    return closed;
}

DWORD KvWaitForThread(_OsUserHandle* handle, DWORD milliseconds)
{
    return static_cast<COsThread*>(handle)->WaitForThread(milliseconds);
}

KvProbe KvProbeThread(_OsUserHandle* handle)
{
    COsThread* thread = static_cast<COsThread*>(handle);
    if (!thread->exitEvent.signalled.load()) {
        return KvProbe::Busy;
    }
    KvProbe probe = KvProbe::Acquired;
    thread->Lock();
    if (thread->thread == pthread_t{}) {
        probe = KvProbe::Never;
    } else if (thread->joinable && !thread->joining) {
        KvCheck(pthread_join(thread->thread, nullptr), "pthread_join");
        thread->joinable = false;
    }
    thread->Unlock();
    return probe;
}

void KvCloseThread(_OsUserHandle* handle)
{
    COsThread* thread = static_cast<COsThread*>(handle);
    thread->Lock();
    if (thread->thread != pthread_t{}) {
        if (thread->joinable && !thread->joining) {
            KvCheck(pthread_detach(thread->thread), "pthread_detach");
            thread->joinable = false;
        }
        thread->thread = pthread_t{};
    }
    thread->Unlock();
    thread->Release();
}

namespace {

COsThread* ThreadOf(OS_USER_THREAD_HANDLE handle)
{
    return KvHandleOfKind<COsThread>(handle, OS_USER_HANDLE_THREAD);
}

int CreateThread(unsigned long stackSize, unsigned int (*routine)(void*), void* parameter,
                 void** handle, pthread_t* threadId, int suspended)
{
    COsThread* thread = new (std::nothrow) COsThread;
    if (thread == nullptr) {
        if (threadId != nullptr) {
            *threadId = pthread_t{};
        }
        return ENOMEM;
    }
    const int result = thread->Create(stackSize, routine, parameter, 0, 0, handle, threadId, suspended);
    if (result != 0) {
        delete thread;
    }
    return result;
}

}  // namespace

OS_USER_THREAD_HANDLE OsUserCreateThread(PVOID, unsigned long stackSize,
                                         unsigned int (*routine)(void*), void* parameter,
                                         DWORD flags, pthread_t* threadId)
{
    void* handle = nullptr;
    const int suspended = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    return CreateThread(stackSize, routine, parameter, &handle, threadId, suspended) == 0 ? handle : nullptr;
}

int OsUserCreateThreadEx(unsigned long stackSize, unsigned int (*routine)(void*), void* parameter,
                         unsigned int, void** handle, pthread_t* threadId, int suspended)
{
    return CreateThread(stackSize, routine, parameter, handle, threadId, suspended);
}

int OsUserCreateThreadCpuAffinityEx(unsigned long stackSize, unsigned int (*routine)(void*),
                                    void* parameter, unsigned int, void** handle, int,
                                    pthread_t* threadId, int suspended)
{
    return CreateThread(stackSize, routine, parameter, handle, threadId, suspended);
}

int OsUserThreadResume(OS_USER_THREAD_HANDLE handle)
{
    COsThread* thread = ThreadOf(handle);
    if (thread != nullptr && thread->startGate != nullptr) {
        thread->startGate->event.Signal();
    }
    return 0;
}

DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE handle, DWORD milliseconds)
{
    COsThread* thread = ThreadOf(handle);
    return thread != nullptr ? thread->WaitForThread(milliseconds) : WAIT_FAILED;
}

BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE handle)
{
    COsThread* thread = ThreadOf(handle);
    if (thread == nullptr) {
        return FALSE;
    }
    KvCloseThread(thread);
    return TRUE;
}

pthread_t OsUserGetCurrentThreadId(void) { return pthread_self(); }

BOOL OsUserIsCurrentThreadEqual(pthread_t threadId)
{
    // pthread_t is an integer on Linux and a pointer on FreeBSD: {} is null on both.
    if (threadId == pthread_t{}) {
        return FALSE;
    }
    return pthread_equal(threadId, pthread_self()) != 0 ? TRUE : FALSE;
}

int OsUserSetCurrentThreadPrio(int) { return 0; }

DWORD OsUserGetTickCount(void)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0;
    }
    const unsigned long long ms =
        static_cast<unsigned long long>(now.tv_sec) * 1000ULL + static_cast<unsigned long long>(now.tv_nsec) / 1000000ULL;
    return static_cast<DWORD>(ms);
}

void OsUserSleep(DWORD milliseconds)
{
    timespec end;
    if (!GetAbsoluteTime(CLOCK_MONOTONIC, milliseconds, &end)) {
        return;
    }
    // Absolute end time: an interrupted sleep resumes for exactly the time left.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
    }
}
