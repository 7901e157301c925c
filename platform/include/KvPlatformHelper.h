// KvPlatformHelper: a Win32-style operating-system layer on POSIX.
//
// One public header for the whole layer. The service uses the interlocked
// operations and the working-directory query; the other areas join as they land.
#ifndef KV_PLATFORM_HELPER_H
#define KV_PLATFORM_HELPER_H

#include <stdint.h>

// Win32 type names, with their Win32 widths on LP64 systems as well.
typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef LONG* LPLONG;
typedef void* PVOID;
typedef const char* LPCTSTR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Interlocked operations: each is one atomic read-modify-write with sequentially
// consistent ordering, lock-free.

// Adds 1; returns the new value (0x7FFFFFFF wraps to the most negative value).
LONG InterlockedIncrement(LONG volatile* target);
// Subtracts 1; returns the new value.
LONG InterlockedDecrement(LONG volatile* target);
// Stores value; returns the previous value.
LONG InterlockedExchange(LONG volatile* target, LONG value);
// Stores exchange when *target equals comparand; returns the previous value in either case.
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand);
// Stores value; returns the previous pointer.
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value);
// target |= mask; returns the new value (previous | mask).
int InterlockedOr(int volatile* target, int mask);
// target &= mask; returns the new value (previous & mask).
int InterlockedAnd(int volatile* target, int mask);

#ifdef __cplusplus
}  // extern "C"
#endif

// ---- Handles and waiting ----
#include <pthread.h>
#include <time.h>
#include <list>

// Wait results and the infinite time-out.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

// Every handle is an untyped pointer to an object derived from _OsUserHandle.
typedef void* OS_USER_HANDLE;
typedef void* OS_USER_EVENT_HANDLE;
typedef void* OS_USER_MUTEX_HANDLE;
typedef void* OS_USER_SEMA_HANDLE;
typedef void* OS_USER_FILE_HANDLE;

// Handle kinds, stored by each creating operation.
enum : uint32_t {
  OS_USER_HANDLE_FILE = 1,
  OS_USER_HANDLE_THREAD = 2,
  OS_USER_HANDLE_EVENT = 3,
  OS_USER_HANDLE_MUTEX = 4,
  OS_USER_HANDLE_SEMA = 5,
};

class _OsUserAddEvent;

// Base of every kernel object. Objects that can become signalled (events, threads) notify
// the multi-object waits registered on them.
class _OsUserHandle {
 public:
  explicit _OsUserHandle(uint32_t handleKind);
  _OsUserHandle(const _OsUserHandle&) = delete;
  _OsUserHandle& operator=(const _OsUserHandle&) = delete;
  virtual ~_OsUserHandle();
  virtual bool SupportsAdditionalEvents();
  virtual void Lock();
  virtual void Unlock();
  virtual bool IsEventSignalled();
  bool SignalAdditionalEventsCritical();
  bool AddAdditionalEvent(_OsUserAddEvent* addEvent);
  bool RemoveAdditionalEvent(_OsUserAddEvent* addEvent);

  uint32_t kind;
  std::list<_OsUserAddEvent*> waiters;  // multi-object waits registered here, in order
  pthread_mutex_t waiterLock;           // guards waiters
};

// One multi-object wait: lives in the waiting thread for the length of the wait and is
// registered with every object of the wait; the first object to signal records itself.
class _OsUserAddEvent {
 public:
  bool Create(unsigned int handleCount, _OsUserHandle** handleArray);
  void Delete();
  void Signal(_OsUserHandle* handle);
  DWORD Wait(int milliseconds);
  DWORD Wait();

  pthread_cond_t condition;         // the waiting thread sleeps on it (monotonic clock)
  _OsUserHandle* signalledHandle;   // first registered object that became signalled
  pthread_mutex_t mutex;            // guards signalledHandle
  uint32_t count;                   // number of handles in the wait
  _OsUserHandle** handles;          // the caller's array, not copied
};
// ---- end of handles and waiting ----

// ---- Events ----
// ---- end of events ----

// ---- Mutexes, semaphores and critical sections ----
// ---- end of mutexes, semaphores and critical sections ----

// ---- Threads ----
// ---- end of threads ----

// ---- Strings ----
// ---- end of strings ----

// ---- Processes, system information, identifiers and trace switch ----
// ---- end of processes ----

// ---- Time and time zones ----
// ---- end of time ----

// ---- Files and directories ----
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((OS_USER_HANDLE)(~(uintptr_t)0))
#endif

// A file or device opened by OsUserCreateFile (kind 1). Destroying the object does not
// close fd: OsUserCloseFile closes the descriptor first.
class _OsUserFileHandle : public _OsUserHandle {
 public:
  _OsUserFileHandle();
  ~_OsUserFileHandle() override;

  int fd;  // the open file descriptor
};

#ifdef __cplusplus
extern "C" {
#endif

// Closes the descriptor and destroys the handle; TRUE when close succeeded.
BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile);

// Fills buffer with the working directory; returns buffer, or null (errno set).
char* OsUserGetCurrentDirectory(DWORD size, char* buffer);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of files and directories ----

#endif  // KV_PLATFORM_HELPER_H
