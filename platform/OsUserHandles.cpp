// Handles and waiting: the kernel-object base class and its registered multi-object waits.
#include "KvPlatformHelper.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

// A failed lock or unlock of an internal mutex means corrupted state: stop at once.
void CheckPthread(int result, const char* what)
{
    if (result != 0) {
        fprintf(stderr, "%s failed (%d)\n", what, result);
        abort();
    }
}

// Records handle in addEvent unless another object was first; wakes its waiter.
void RecordSignal(_OsUserAddEvent* addEvent, _OsUserHandle* handle)
{
    CheckPthread(pthread_mutex_lock(&addEvent->mutex), "pthread_mutex_lock");
    if (addEvent->signalledHandle == nullptr) {
        addEvent->signalledHandle = handle;
        CheckPthread(pthread_cond_broadcast(&addEvent->condition), "pthread_cond_broadcast");
    }
    CheckPthread(pthread_mutex_unlock(&addEvent->mutex), "pthread_mutex_unlock");
}

}  // namespace

_OsUserHandle::_OsUserHandle(uint32_t handleKind) : kind(handleKind)
{
    CheckPthread(pthread_mutex_init(&waiterLock, nullptr), "pthread_mutex_init");
}

_OsUserHandle::~_OsUserHandle()
{
    pthread_mutex_destroy(&waiterLock);
}

bool _OsUserHandle::SupportsAdditionalEvents() { return false; }
void _OsUserHandle::Lock() {}
void _OsUserHandle::Unlock() {}
bool _OsUserHandle::IsEventSignalled() { return false; }

bool _OsUserHandle::SignalAdditionalEventsCritical()
{
    CheckPthread(pthread_mutex_lock(&waiterLock), "pthread_mutex_lock");
    for (_OsUserAddEvent* addEvent : waiters) {
        RecordSignal(addEvent, this);
    }
    CheckPthread(pthread_mutex_unlock(&waiterLock), "pthread_mutex_unlock");
    return true;
}

bool _OsUserHandle::AddAdditionalEvent(_OsUserAddEvent* addEvent)
{
    if (!SupportsAdditionalEvents()) {
        return false;
    }
    CheckPthread(pthread_mutex_lock(&waiterLock), "pthread_mutex_lock");
    waiters.push_back(addEvent);
    // An object signalled between the waiter's first test and this registration records
    // itself now, so the waiter never sleeps through it.
    if (IsEventSignalled()) {
        RecordSignal(addEvent, this);
    }
    CheckPthread(pthread_mutex_unlock(&waiterLock), "pthread_mutex_unlock");
    return true;
}

bool _OsUserHandle::RemoveAdditionalEvent(_OsUserAddEvent* addEvent)
{
    CheckPthread(pthread_mutex_lock(&waiterLock), "pthread_mutex_lock");
    waiters.remove(addEvent);
    CheckPthread(pthread_mutex_unlock(&waiterLock), "pthread_mutex_unlock");
    return true;
}
