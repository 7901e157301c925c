// KvPlatformHelper: a Win32-style operating-system layer on POSIX (FreeBSD and Linux).
//
// The whole layer is declared here. The API comes first, one section per area: interlocked
// operations, handles and waiting, events, mutexes, semaphores and critical sections,
// threads, strings, processes and system information, time, files. Each declaration says
// what it does, what it returns, the errno it leaves on failure, and where it departs from
// its Win32 namesake. The last section, "Layer internals", holds the classes behind the
// handles and the layer's own machinery: callers need none of it.
//
// Conventions: BOOL results are TRUE (1) or FALSE (0); the last error is errno (read it with
// OsUserGetLastError or OsUserGetLastWin32Error); "errno unchanged" means the call fails
// without setting it. Handles are untyped pointers and are never shared between processes.
// platform/README.md maps the Win32 names to this layer's and lists what is not offered.
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
// consistent ordering, lock-free. None fails; the target must be a valid pointer.

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
// target |= mask; returns the new value (previous | mask). Win32 returns the previous value.
int InterlockedOr(int volatile* target, int mask);
// target &= mask; returns the new value (previous & mask). Win32 returns the previous value.
int InterlockedAnd(int volatile* target, int mask);

#ifdef __cplusplus
}  // extern "C"
#endif

// ---- Handles and waiting ----
#include <pthread.h>
#include <time.h>
#include <atomic>

// Wait results and the infinite time-out. Time-outs are unsigned milliseconds: only
// INFINITE means "without limit"; every other value, 0x80000000 and above included, is
// waited; 0 tests without blocking. There is no WAIT_ABANDONED and no WAIT_IO_COMPLETION.
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

// A handle: an untyped pointer to a kernel object of the layer (file, thread, event, mutex or
// semaphore), owned by the caller from its creation until it is closed. The typed names are
// all the same pointer type; nothing checks them at compile time, every call checks the kind.
// A handle must not be closed while another thread waits on it or uses it.
typedef void* OS_USER_HANDLE;
typedef void* OS_USER_EVENT_HANDLE;
typedef void* OS_USER_MUTEX_HANDLE;
typedef void* OS_USER_SEMA_HANDLE;
typedef void* OS_USER_FILE_HANDLE;
typedef void* OS_USER_THREAD_HANDLE;

#ifdef __cplusplus
extern "C" {
#endif

// Closes a file, thread, event, mutex or semaphore handle. FALSE with errno EINVAL for null or
// a pointer of no known kind (a find handle is closed by OsUserFindClose, not here); FALSE
// with errno EBUSY for a mutex held by another thread, which stays open. A file handle gives
// TRUE even when closing its descriptor failed.
BOOL OsUserCloseHandle(OS_USER_HANDLE handle);
// Waits for one thread, event, mutex or semaphore: WAIT_OBJECT_0 (acquired: an auto-reset
// event cleared, a mutex held, a unit taken), WAIT_TIMEOUT, or WAIT_FAILED (errno EINVAL for
// a file or unknown handle, EDEADLK for a mutex the caller holds; null: errno unchanged).
DWORD OsUserWaitForSingleObject(OS_USER_HANDLE handle, DWORD milliseconds);
// As OsUserWaitForSingleObject; alertable is ignored (no APCs), without a message.
DWORD OsUserWaitForSingleObjectEx(OS_USER_HANDLE handle, DWORD milliseconds, BOOL alertable);
// Waits for any (WAIT_OBJECT_0 + index of the object acquired) or all (WAIT_OBJECT_0) of
// count objects; count has no upper limit (Win32: 64). A wait-all takes every object in one
// pass or nothing: a pass that cannot take them all gives back what it took before it
// sleeps, so a WAIT_TIMEOUT holds nothing. Across passes it is not atomic: objects may be
// taken and given back while it waits. WAIT_FAILED: count 0 or null array (errno unchanged);
// errno EINVAL for an array that can never be satisfied (a wait-all with a null, file,
// unknown or repeated handle or a mutex the caller holds; a wait-any with no waitable entry);
// errno ENOMEM. A wait that includes mutexes or semaphores polls (pauses of 50 us to 1 ms).
DWORD OsUserWaitForMultipleObjects(DWORD count, OS_USER_HANDLE* handles, BOOL waitAll,
                                   DWORD milliseconds);
// GetLastError: the calling thread's errno, unchanged (a POSIX number, not a Win32 code).
DWORD OsUserGetLastError(void);
// The calling thread's errno as a Win32 error code: ENOMEM 14, EACCES 5, EEXIST 183,
// EINVAL 13, ETIMEDOUT 1460, any other value e gives 10000 + e.
DWORD OsUserGetLastWin32Error(void);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of handles and waiting ----

// ---- Events ----
#ifdef __cplusplus
extern "C" {
#endif

// CreateEvent without a name: a manual-reset or auto-reset event, set at once when
// initialState is nonzero. Null for a non-null name or attributes (named events are not
// supported: no message, errno unchanged), or with errno ENOMEM (or the POSIX error) when
// the event cannot be made; one whose condition variable fails is returned inert (its waits
// fail, its sets do nothing). An auto-reset event departs from Win32: one set releases every
// thread blocked on it at that moment (a semaphore hands out single units).
OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID attributes, BOOL manualReset, BOOL initialState,
                                       LPCTSTR name);
// SetEvent: sets the event and releases its waiters. FALSE with errno EINVAL for null or
// another kind of handle.
BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE event);
// ResetEvent: clears the event; blocked waiters stay blocked. FALSE with errno EINVAL for
// null or another kind of handle.
BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE event);
// Waits for the event (clearing it when auto-reset): WAIT_OBJECT_0, WAIT_TIMEOUT, or
// WAIT_FAILED with errno EINVAL for null or another kind of handle.
DWORD OsUserWaitForEvent(OS_USER_EVENT_HANDLE event, DWORD milliseconds);
// As OsUserWaitForEvent; an alertable wait is reported on standard error and waits normally.
DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE event, DWORD milliseconds, BOOL alertable);
// Closes an event handle (as OsUserCloseHandle); FALSE with errno EINVAL for null or another
// kind of handle.
BOOL OsUserDeleteEvent(OS_USER_EVENT_HANDLE event);

#ifdef __cplusplus
}  // extern "C"
#endif

// An event object without a handle, for C++ callers (the layer's threads use it as their
// end-of-run event and start gate): a flag set by one thread and waited for by others,
// manual-reset (stays set until reset) or auto-reset (a successful wait clears it). A set
// releases every thread blocked on the event at that moment, for auto-reset events too; a
// wake-up that no set caused sends the waiter back to sleep. An event whose condition could
// not be made is inert: its waits fail and its sets and resets do nothing.
class COsUserEvent {
 public:
  // With create, a valid event (manual-reset when bit 0 of manualReset is set); without it,
  // an inert event that Create makes valid.
  COsUserEvent(bool create, unsigned int manualReset);
  COsUserEvent(const COsUserEvent&) = delete;
  COsUserEvent& operator=(const COsUserEvent&) = delete;
  virtual ~COsUserEvent();
  // Hook called by Signal with the mutex held, after the flag is set and before waiters wake;
  // does nothing here (event handles notify their multi-object waits from it).
  virtual void SignalAdditionalEventsCritical();
  // Sets the reset mode; makes the condition when the event is still inert. Returns valid.
  bool Create(unsigned int manualReset);
  // Waits up to milliseconds (INFINITE: without limit; 0: a test that never blocks):
  // WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (errno EINVAL when inert).
  DWORD Wait(DWORD milliseconds);
  // Waits without limit: WAIT_OBJECT_0, or WAIT_FAILED (errno EINVAL when inert).
  DWORD Wait();
  // Sets the flag and releases the waiters; false when the event is inert.
  bool Signal();
  // Clears the flag; false when the event is inert.
  bool Clear();
  // Locks / unlocks the event's own mutex (held by Signal around the hook).
  void Lock();
  void Unlock();
  // Takes the flag without blocking (clearing it when auto-reset); true when it was set.
  bool TryConsume();

  // The event's state: the layer's own, callers use the operations above.
  pthread_mutex_t mutex;            // orders the sets (and, on FreeBSD, guards the sleep)
  pthread_cond_t condition;         // FreeBSD's waiters sleep on it (monotonic clock)
  std::atomic<bool> valid;          // the condition exists; an inert event fails its waits
  std::atomic<bool> autoReset;      // a successful wait clears the flag
  std::atomic<bool> signalled;      // the flag; read and taken without the mutex by tests
  std::atomic<uint32_t> generation; // sets so far (mod 2^32): a blocked waiter is released by a change;
                                    // Linux's waiters sleep on it (a futex)
  std::atomic<uint32_t> sleepers;   // threads asleep, or about to sleep, on the event
  std::atomic<uint64_t> wakeups;    // returns from that sleep, spurious ones included
  std::atomic<uint32_t> waking;     // sets still waking sleepers after unlocking; destruction awaits 0
  int initError;                    // nonzero: the mutex could not be made (the event is inert)
};
// ---- end of events ----

// ---- Mutexes, semaphores and critical sections ----
// A critical section: one recursive POSIX mutex in the caller's storage.
typedef pthread_mutex_t CRITICAL_SECTION;
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

// CreateMutex without a name: an error-checking, non-recursive mutex, held by the caller
// when initialOwner is set; attributes are ignored. Null for a name (reported on standard
// error, errno unchanged), or with errno ENOMEM or the POSIX error.
OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID attributes, BOOL initialOwner, LPCTSTR name);
// Takes the mutex: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (errno EDEADLK when the
// caller holds it already, whatever the time-out: not recursive as in Win32; EINVAL for null
// or another kind). A mutex whose holder ends stays locked: there is no WAIT_ABANDONED.
DWORD OsUserWaitForMutex(OS_USER_MUTEX_HANDLE mutex, DWORD milliseconds);
// ReleaseMutex: FALSE with errno EPERM when the caller does not hold the mutex, EINVAL for
// null or another kind of handle.
BOOL OsUserReleaseMutex(OS_USER_MUTEX_HANDLE mutex);
// Closes a mutex handle (as OsUserCloseHandle; a holder may close its own). FALSE with errno
// EINVAL for null or another kind, EBUSY when another thread holds it (it stays open).
BOOL OsUserDeleteMutex(OS_USER_MUTEX_HANDLE mutex);

// CreateSemaphore without a name: a process-private semaphore holding initialCount units;
// maximumCount is not enforced (only SEM_VALUE_MAX bounds the count), attributes are
// ignored. Null for a name (reported on standard error, errno unchanged), errno EINVAL for a
// negative initialCount, ENOMEM, or the POSIX error.
OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID attributes, LONG initialCount, LONG maximumCount,
                                     LPCTSTR name);
// Takes one unit: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (errno EINVAL for null or
// another kind of handle). Interrupted waits resume with the same deadline.
DWORD OsUserWaitForSema(OS_USER_SEMA_HANDLE sema, DWORD milliseconds);
// As OsUserWaitForSema; an alertable wait is reported on standard error and waits normally.
DWORD OsUserWaitForSemaEx(OS_USER_SEMA_HANDLE sema, DWORD milliseconds, BOOL alertable);
// ReleaseSemaphore: adds releaseCount units one at a time (0 or less: nothing, TRUE). FALSE
// with errno EINVAL for null or another kind, or sem_post's errno (EOVERFLOW) with the units
// added so far kept. A non-null previousCount is reported on standard error, never written.
BOOL OsUserReleaseSema(OS_USER_SEMA_HANDLE sema, LONG releaseCount, LPLONG previousCount);
// Closes a semaphore handle (as OsUserCloseHandle); FALSE with errno EINVAL for null or
// another kind of handle.
BOOL OsUserDeleteSema(OS_USER_SEMA_HANDLE sema);

// Critical sections are recursive (enter twice, leave twice), as in Win32. Each call returns
// FALSE with errno set to the POSIX error when it fails (EINVAL for a null section), where the
// Win32 calls return nothing.
// InitializeCriticalSection: makes the recursive mutex in section.
BOOL OsUserInitializeCriticalSection(LPCRITICAL_SECTION section);
// EnterCriticalSection: blocks until the caller holds the section.
BOOL OsUserEnterCriticalSection(LPCRITICAL_SECTION section);
// LeaveCriticalSection: FALSE with errno EPERM when the caller does not hold it.
BOOL OsUserLeaveCriticalSection(LPCRITICAL_SECTION section);
// DeleteCriticalSection: FALSE with errno EBUSY while it is held.
BOOL OsUserDeleteCriticalSection(LPCRITICAL_SECTION section);
// TRUE when taken (also again by its holder), FALSE when another thread holds it.
BOOL OsUserTryEnterCriticalSection(LPCRITICAL_SECTION section);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of mutexes, semaphores and critical sections ----

// ---- Threads ----
// The creation flag that holds a new thread until OsUserThreadResume.
#define CREATE_SUSPENDED 0x00000004u

#ifdef __cplusplus
extern "C" {
#endif

// CreateThread: runs routine(parameter) in a new POSIX thread (held until resumed with
// CREATE_SUSPENDED in flags; other flags and attributes are ignored). stackSize 0 gives
// 256 KiB; smaller sizes are raised to the system's minimum. The thread id goes to threadId
// when it is not null. Returns the handle, or null (errno not set). The routine's return
// value is discarded: there is no GetExitCodeThread.
OS_USER_THREAD_HANDLE OsUserCreateThread(PVOID attributes, unsigned long stackSize,
                                         unsigned int (*routine)(void*), void* parameter,
                                         DWORD flags, pthread_t* threadId);
// As OsUserCreateThread, started suspended when suspended is nonzero, the handle stored
// through handle; the unnamed unsigned int is ignored. 0, or the POSIX error (EINVAL for a
// null routine, ENOMEM, EAGAIN), with *handle unchanged and *threadId null.
int OsUserCreateThreadEx(unsigned long stackSize, unsigned int (*routine)(void*), void* parameter,
                         unsigned int, void** handle, pthread_t* threadId, int suspended);
// As OsUserCreateThreadEx; the unnamed unsigned int is ignored and cpuAffinity is accepted
// but not applied.
int OsUserCreateThreadCpuAffinityEx(unsigned long stackSize, unsigned int (*routine)(void*),
                                    void* parameter, unsigned int, void** handle, int cpuAffinity,
                                    pthread_t* threadId, int suspended);
// ResumeThread: lets a suspended thread run; does nothing for others. 0 always (Win32
// returns the previous suspend count; there is no SuspendThread).
int OsUserThreadResume(OS_USER_THREAD_HANDLE thread);
// Waits for the thread's routine to return: WAIT_OBJECT_0 (every wait after the end),
// WAIT_TIMEOUT, or WAIT_FAILED (errno EINVAL for null or another kind of handle).
DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE thread, DWORD milliseconds);
// Closes a thread handle (as OsUserCloseHandle): a running thread is detached and cleans up
// when it ends. FALSE with errno EINVAL for null or another kind of handle.
BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE thread);
// GetCurrentThreadId: the calling thread's POSIX id (pthread_self), not a DWORD.
pthread_t OsUserGetCurrentThreadId(void);
// FALSE for a null identifier; else whether it is the calling thread.
BOOL OsUserIsCurrentThreadEqual(pthread_t threadId);
// SetThreadPriority for the calling thread: accepted and ignored; 0.
int OsUserSetCurrentThreadPrio(int priority);
// GetTickCount: CLOCK_MONOTONIC in milliseconds, truncated to 32 bits (wraps after 49.7 days).
DWORD OsUserGetTickCount(void);
// Sleep: sleeps the whole time asked on the monotonic clock, across signals (INFINITE is
// about 49.7 days, not forever).
void OsUserSleep(DWORD milliseconds);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of threads ----

// ---- Strings ----
#include <stdarg.h>
#include <wchar.h>

struct CStringData;

// CString: reference-counted single-byte text; copies share one block until one of them
// writes. Lengths and indexes are int; no text reaches 0x7FFFFFFE characters. Failures are
// quiet: null, -1 or an unchanged (or empty) string, never an exception of the class's own.
// Blocks are exactly as long as needed, so every append to a full block reallocates: reserve
// with GetBuffer(n) before building a long text piece by piece. Copies of one text may live
// in different threads; one object is used by one thread at a time.
class CString {
 public:
  // The empty string (the shared empty block, nothing allocated).
  CString();
  // A copy of s up to its NUL; null gives the empty string.
  CString(const char* s);
  // n bytes of s, NUL bytes included; a negative n or null s gives the empty string.
  CString(const char* s, int n);
  // ws converted by the current locale into at most one byte per wide character (cut at
  // the last whole character); unconvertible text gives the empty string.
  CString(const wchar_t* ws);
  // Shares other's block (one atomic count increment).
  CString(const CString& other);
  // Releases the block; the last owner frees it.
  ~CString();

  // Shares other's block.
  CString& operator=(const CString& other);
  // Copies s (null: empty); s may point into this string.
  CString& operator=(const char* s);
  CString& operator=(const unsigned char* s);
  // The single character ch (length 1, also for NUL).
  CString& operator=(char ch);
  // ws converted by the current locale into at most two bytes per wide character (cut at
  // the last whole character); null or unconvertible text gives the empty string.
  CString& operator=(const wchar_t* ws);
  // Points at the empty block without releasing anything (for raw storage only).
  void Init();
  // The process-wide empty string.
  static const CString& GetEmptyString();

  // Buffer management: the class's building blocks, public as in the Win32 class libraries.
  // A private block of at least n characters for writing (text kept); null for a negative n
  // or a length the class cannot hold. End the writing with ReleaseBuffer.
  char* GetBuffer(int n);
  // Sets the length to n (-1: up to the first NUL), kept within the block.
  void ReleaseBuffer(int n = -1);
  // GetBuffer(n), then the length n; null (string unchanged) when GetBuffer fails.
  char* GetBufferSetLength(int n);
  // Points at a new block of length n without releasing the old one; false for 0 or too long.
  bool AllocBuffer(int n);
  // Makes the block private and at least n long (text lost when a new one is needed).
  bool AllocBeforeWrite(int n);
  // Gives dest a new block holding copyLen characters from copyIndex plus room for extraLen.
  void AllocCopy(CString& dest, int copyLen, int copyIndex, int extraLen) const;
  // The text becomes the n bytes at src.
  void AssignCopy(int n, const char* src);
  // A new block holding first then second, without releasing the old one; false when too long.
  bool ConcatCopy(int firstLen, const char* first, int secondLen, const char* second);
  // Appends n bytes of s (which may point into this string); unchanged when too long.
  void ConcatInPlace(int n, const char* s);
  // Gives this object a private copy of a shared block.
  void CopyBeforeWrite();
  // Releases the block; the string becomes empty.
  void Release();
  // Releases one reference of data; the last one frees it (the empty block is never freed).
  static void Release(CStringData* data);
  // The header of the current block.
  CStringData* GetData() const;

  // Queries.
  // Characters in use, NUL bytes inside the text included.
  int GetLength() const;
  // Whether the length is 0.
  bool IsEmpty() const;
  // The characters, NUL-terminated; never null.
  const char* GetString() const;
  operator char const*() const;
  // The byte at i; i is not checked (0 to the length).
  char operator[](int i) const;
  // strcmp with s (null counts as empty).
  int Compare(const char* s) const;
  // strcmp of both texts with a to z upper-cased (ASCII only, so "_" sorts before letters).
  int CompareNoCase(const char* s) const;
  // Index of the first s (null: -1) or ch, or of the last ch; -1 when absent. The search
  // stops at the first NUL.
  int Find(const char* s) const;
  int Find(char ch) const;
  int ReverseFind(char ch) const;

  // Extraction: each result has a block of its own (or the empty block); out-of-range
  // counts and indexes are clamped to the text.
  // The first n characters.
  CString Left(int n) const;
  // The last n characters.
  CString Right(int n) const;
  // count characters from first; without count, up to the end.
  CString Mid(int first, int count) const;
  CString Mid(int first) const;

  // Changes.
  // Appends (null: nothing); the argument may point into this string.
  CString& operator+=(const char* s);
  CString& operator+=(char ch);
  CString& operator+=(const CString& s);
  // Releases the block: the string becomes empty (an empty one keeps its block).
  void Empty();
  // a to z become A to Z (ASCII only).
  void MakeUpper();
  // tolower of every byte in the current locale.
  void MakeLower();
  // Replaces every oldCh before the first NUL; returns the number replaced (oldCh NUL: 0).
  int Replace(char oldCh, char newCh);
  // Replaces every occurrence of oldText in every NUL-separated segment; returns the number
  // replaced, 0 for an empty or null argument, -1 when the result would be too long.
  int Replace(const char* oldText, const char* newText);
  // Inserts at index (clamped to the text); returns the new length, -1 when too long.
  int Insert(int index, char ch);
  int Insert(int index, const char* s);
  // Deletes count characters at index; returns the length before the call (MFC returns the
  // new length).
  int Delete(int index, int count);
  // printf-style formatting into the string; a null format or a failure leaves it unchanged.
  void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void FormatV(const char* fmt, va_list args) __attribute__((format(printf, 2, 0)));

  static CStringData* const _atltmpDataNil;  // header of the shared empty block
  static char* const _atltmpPchNil;          // its characters: chars of every empty CString

 private:
  bool IsInBlock(const char* p) const;  // p lies within this string's (non-empty) block
  void AssignWide(const wchar_t* ws, int64_t reserved);
  int InsertBytes(int index, const char* s, size_t n);

  char* chars;  // first character of the text inside its block; never null
};
// ---- end of strings ----

// ---- Processes, system information, identifiers and trace switch ----

// System-log trace switch, on at start; nothing in the layer reads it. Atomic.
// Turns the switch on.
void KvTraceEnableSysLog();
// Turns the switch off.
void KvTraceDisableSysLog();
// Whether the switch is on.
bool KvTraceIsSysLogEnabled();

// Win32 system-information record (widths as filled on LP64).
struct _SYSTEM_INFO {
  uint16_t wProcessorArchitecture;  // 9: x86-64
  uint16_t wReserved;               // left as it was
  DWORD dwPageSize;
  PVOID lpMinimumApplicationAddress;
  PVOID lpMaximumApplicationAddress;
  DWORD dwActiveProcessorMask;      // lowest n bits, n = processors online (at most 32)
  DWORD dwNumberOfProcessors;       // processors configured
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  uint16_t wProcessorLevel;
  uint16_t wProcessorRevision;
};

// A started process; only the process id carries information (no process or thread handle).
struct _OS_USER_PROC_INFO {
  OS_USER_HANDLE hProcess;
  OS_USER_HANDLE hThread;
  int32_t dwProcessId;
  uintptr_t dwThreadId;
};

// 16-byte identifier: the Win32 GUID and DCE UUID layout, Data1-3 in host order.
struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(_GUID) == 16, "GUID is 16 bytes");

// Launcher result codes (Win32 error numbers) and identifier result codes (HRESULTs).
#define OS_USER_LAUNCH_OK 0
#define OS_USER_LAUNCH_FAILED 1
#define OS_USER_LAUNCH_NOT_FOUND 2
#define OS_USER_LAUNCH_NO_PROCESS 1168
#define OS_USER_S_OK 0x00000000u
#define OS_USER_E_FAIL 0x80004005u
#define OS_USER_E_OUTOFMEMORY 0x8007000Eu

#ifdef __cplusplus
extern "C" {
#endif

// GetSystemInfo: fills info from sysconf (null accepted: nothing written).
void OsUserGetSystemInfo(_SYSTEM_INFO* info);
// Collects every finished child process of this process (waitpid), or, while a launcher
// waits for its own child, as soon as the last such launcher is done.
void OsUserRemoveProcessZombies();
// Holds zombie removal off (counted) until the matching unblock, for code that waits for a
// child of its own.
void OsUserBlockRemoveProcessZombies();
// Releases one block; a removal asked for meanwhile runs when the last block is released.
void OsUserUnblockRemoveProcessZombies();

// Runs command_line ("program arguments") with an empty environment and the descriptors 0-2
// only, in work_dir when given; waits up to timeout_ms (0 or less: no waiting). The program
// path ends at the first blank, is taken from work_dir or the current directory (no PATH
// search), resolved and quoted; argument text goes to the shell as shell text. Returns
// OS_USER_LAUNCH_OK (exit status in *exit_code; 0 when not waiting), OS_USER_LAUNCH_NOT_FOUND,
// OS_USER_LAUNCH_FAILED (not executable, time-out: the child keeps running, or ended by a
// signal) or OS_USER_LAUNCH_NO_PROCESS (fork failed); the id goes to *process_id.
// exit_code and process_id may be null; unused is ignored.
int OsUserLaunchProcessInternal(const char* command_line, const char* work_dir, int unused,
                                int timeout_ms, int* exit_code, int* process_id);
// OsUserLaunchProcessInternal without a working directory or process id.
int OsUserLaunchProcess(const char* command_line, int unused, int timeout_ms, int* exit_code);
// As above for a program path written with "\" or doubled separators; it may contain blanks.
// arguments (may be null) follow it after one blank.
int OsUserLaunchProcessEx(const char* program, const char* work_dir, const char* arguments,
                          int unused, int timeout_ms, int* exit_code);
// CreateProcess, reduced: starts command_line as OsUserLaunchProcessInternal does, without
// waiting; the process id goes into info, the handles and thread id are 0. A launcher result
// code (OS_USER_LAUNCH_NOT_FOUND for a null info).
int OsUserCreateProcess(const char* command_line, const char* work_dir, _OS_USER_PROC_INFO* info);
// TerminateProcess: SIGTERM to a child started by this layer and not yet collected, then
// waits for it: 0, 1 (not such a child, or the wait failed), or 2 for a null info. exit_code
// is ignored.
int OsUserTerminateProcess(_OS_USER_PROC_INFO* info, unsigned exit_code);
// Releases nothing (the record holds no handles); 0 always.
int OsUserReleaseProcessHandle(_OS_USER_PROC_INFO* info);

// CoCreateGuid: a new random identifier; OS_USER_S_OK, or OS_USER_E_FAIL (null guid, no
// random bytes).
uint32_t OsUserCoCreateGuid(_GUID* guid);
// CLSIDFromString for 8-bit text: "{text}" or "text"; "" and null give the nil identifier.
// OS_USER_S_OK, OS_USER_E_FAIL for malformed text, OS_USER_E_OUTOFMEMORY; guid is written
// only on success.
uint32_t OsCLSIDFromStringA(const char* text, _GUID* guid);

#ifdef __cplusplus
}  // extern "C"
#endif

// StringFromCLSID for 8-bit text: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (lower case) in
// malloc'd memory that the caller frees with free. OS_USER_S_OK, OS_USER_E_FAIL,
// or OS_USER_E_OUTOFMEMORY with *text null.
uint32_t OsStringFromCLSIDA(_GUID& guid, char** text);
// Processor count (packages x cores) named by FreeBSD's boot log /var/run/dmesg.boot; false
// when there is none (always on Linux).
bool SearchCoresInDmesgBoot(long& cores);
// ---- end of processes ----

// ---- Time and time zones ----
#include <stddef.h>

// A broken-down time (Win32 SYSTEMTIME layout). In a transition date wDay is the week of
// the month (5 = last) and wYear 0 marks a rule that recurs every year.
struct _SYSTEMTIME {
  uint16_t wYear;
  uint16_t wMonth;         // 1 to 12
  uint16_t wDayOfWeek;     // 0 = Sunday
  uint16_t wDay;
  uint16_t wHour;
  uint16_t wMinute;
  uint16_t wSecond;
  uint16_t wMilliseconds;
};
static_assert(sizeof(_SYSTEMTIME) == 16, "SYSTEMTIME is eight 16-bit fields");

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC, as two halves, low half first.
struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
static_assert(sizeof(_FILETIME) == 8 && alignof(_FILETIME) == 4, "FILETIME is two DWORDs");

// The count at 1970-01-01 00:00:00 UTC.
#define OS_USER_FILETIME_UNIX_EPOCH 116444736000000000ull

// Win32 time-zone record with 8-bit names. Bias is minutes to add to local standard time to
// get UTC; DaylightBias is added during daylight time.
struct OS_USER_TIME_ZONE_INFORMATIONA {
  LONG Bias;
  char StandardName[32];
  _SYSTEMTIME StandardDate;
  LONG StandardBias;
  char DaylightName[32];
  _SYSTEMTIME DaylightDate;
  LONG DaylightBias;
};
static_assert(sizeof(OS_USER_TIME_ZONE_INFORMATIONA) == 108, "Win32 record size");
static_assert(offsetof(OS_USER_TIME_ZONE_INFORMATIONA, StandardDate) == 36, "Win32 layout");
static_assert(offsetof(OS_USER_TIME_ZONE_INFORMATIONA, StandardBias) == 52, "Win32 layout");
static_assert(offsetof(OS_USER_TIME_ZONE_INFORMATIONA, DaylightName) == 56, "Win32 layout");
static_assert(offsetof(OS_USER_TIME_ZONE_INFORMATIONA, DaylightDate) == 88, "Win32 layout");
static_assert(offsetof(OS_USER_TIME_ZONE_INFORMATIONA, DaylightBias) == 104, "Win32 layout");

// Results of OsUserGetTimeZoneInformation.
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2

// Win32 version record with an 8-bit service-pack text.
struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(_OSVERSIONINFOA) == 148, "Win32 record size");
static_assert(offsetof(_OSVERSIONINFOA, szCSDVersion) == 20, "Win32 layout");

// Conversions (no Win32 namesakes); none checks its input ranges or pointers, none fails.
// File-time arithmetic is unsigned 64-bit.
// tm to SYSTEMTIME; wMilliseconds left as it was.
void Tm2Systime(const tm* source, _SYSTEMTIME* target);
// SYSTEMTIME to tm; the other tm fields left as they were.
void Systime2Tm(const _SYSTEMTIME* source, tm* target);
// A UTC time as local time (the current zone, TZ); returns 0.
int Systime2LocalTime(const _SYSTEMTIME* utc, _SYSTEMTIME* local);
// Seconds since 1970 to a file time.
void Timet2FileTime(const time_t& seconds, _FILETIME* target);
// A timespec to a file time (nanoseconds truncated to 100 ns), as a record or as the count.
void Timespec2FileTime(const timespec& source, _FILETIME& target);
uint64_t Timespec2FileTime(const timespec& source);
// File time to timespec by floor division: counts before 1970 give a negative tv_sec and a
// tv_nsec of 0 to 999999999.
void FileTime2Timespec(const _FILETIME& source, timespec& target);
// Transition form of the local moment in source (week of the month in wDay, 5 = last).
void Tm2TimeZoneTime(const tm* source, _SYSTEMTIME* target);
// "Jan" to "Dec" for 1 to 12, else "Invalid".
const char* MonthName(int month);
// Writes record as a zone-compiler source for zone_name; 0, or -1 when path cannot be opened
// (errno from fopen). Write errors are not reported.
int GenerateZoneFile(const OS_USER_TIME_ZONE_INFORMATIONA* record, const char* path,
                     const char* zone_name);

#ifdef __cplusplus
extern "C" {
#endif

// SystemTimeToFileTime for a UTC record; FALSE with errno EINVAL for a null pointer. The
// record's ranges are not checked (Win32 refuses invalid dates).
BOOL OsUserSystemTimeToFileTime(const _SYSTEMTIME* source, _FILETIME* target);
// FileTimeToSystemTime, broken down as local time when local is set, else as UTC. FALSE
// with errno EINVAL for a null pointer, or when the count cannot be broken down.
BOOL OsUserFileTimeToSystemTime(const _FILETIME* source, _SYSTEMTIME* target, BOOL local);
// FileTimeToSystemTime: as OsUserFileTimeToSystemTime in UTC.
BOOL OsUserFileTimeToSystemTime2(const _FILETIME* source, _SYSTEMTIME* target);

// GetLocalTime: the clock as local time, with milliseconds. FALSE (errno unchanged) for a
// null target or a clock that cannot be read; Win32 returns nothing.
BOOL OsUserGetLocalTime(_SYSTEMTIME* target);
// GetSystemTime: the clock in UTC; FALSE as OsUserGetLocalTime.
BOOL OsUserGetSystemTime(_SYSTEMTIME* target);
// SetLocalTime: sets the clock (settimeofday) from a local wall time, taken as daylight or
// standard time as the zone has it at that date. A null record or a field out of its Win32
// range gives errno EINVAL and FALSE without touching the clock; without the privilege
// FALSE with errno EPERM.
BOOL OsUserSetLocalTime(const _SYSTEMTIME* source);
// SetSystemTime: the same for a UTC record.
BOOL OsUserSetSystemTime(const _SYSTEMTIME* source);

// GetTimeZoneInformation: the rules of the local zone (TZ), found by sampling local time over
// this year and the next (milliseconds per call: not for loops); a rule that recurs yearly
// gets year 0. TIME_ZONE_ID_DAYLIGHT when now is daylight time, else TIME_ZONE_ID_STANDARD
// (never TIME_ZONE_ID_UNKNOWN or a failure); target must not be null.
DWORD OsUserGetTimeZoneInformation(OS_USER_TIME_ZONE_INFORMATIONA* target);
// SetTimeZoneInformation: compiles record with the zone compiler, makes it the system time
// zone (/etc/localtime) and this process's (TZ); needs root. FALSE with errno EINVAL for null,
// else the failing step's errno; a failure leaves the previous zone in place.
BOOL OsUserSetTimeZoneInformation(const OS_USER_TIME_ZONE_INFORMATIONA* record);

// GetVersionEx: major and minor from the kernel release (uname; 0 when unknown), the
// record's size, a fixed service-pack text; TRUE. target must not be null.
BOOL OsUserGetVersionInfo(_OSVERSIONINFOA* target);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of time ----

// ---- Files and directories ----
#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE ((OS_USER_HANDLE)(~(uintptr_t)0))
#endif

#include <sys/stat.h>

// Win32 constants of the file functions.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u   // the only share bit with an effect
#define FILE_SHARE_WRITE 0x2u
#define FILE_SHARE_DELETE 0x4u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1u
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// A signed 64-bit file position, also as two 32-bit halves (Win32 LARGE_INTEGER).
union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  int64_t QuadPart;
};

// Win32 BY_HANDLE_FILE_INFORMATION; the creation time is the file's birth time (0 where the
// file system keeps none).
struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  _FILETIME ftCreationTime;
  _FILETIME ftLastAccessTime;
  _FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;  // 0
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;        // 0
  DWORD nFileIndexHigh;        // 0
  DWORD nFileIndexLow;         // 0
};
static_assert(sizeof(_BY_HANDLE_FILE_INFORMATION) == 52, "Win32 record size");
static_assert(offsetof(_BY_HANDLE_FILE_INFORMATION, nFileSizeHigh) == 32, "Win32 layout");

// Win32 WIN32_FIND_DATAA: 318 bytes of fields, padded to 320.
struct _WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  _FILETIME ftCreationTime;
  _FILETIME ftLastAccessTime;
  _FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[260];           // last component of the matched path
  char cAlternateFileName[14];   // zero
};
static_assert(offsetof(_WIN32_FIND_DATAA, cFileName) == 44, "Win32 layout");
static_assert(offsetof(_WIN32_FIND_DATAA, cAlternateFileName) + 14 == 318, "Win32 layout");

// The request record that OsUserDeviceIoControl hands to the device driver, the ioctl
// argument: the caller's control code, sizes and buffers, and the count the driver returns.
// Buffer addresses are 64-bit on every system, so the record is 32 bytes everywhere.
struct OS_USER_DEVICE_REQUEST {
  uint32_t controlCode;    // the Win32 control code, passed through
  uint32_t inputSize;      // bytes at input
  uint32_t bytesReturned;  // 0 before the call; filled by the driver
  uint32_t outputSize;     // bytes at output
  uint64_t input;          // address of the input buffer
  uint64_t output;         // address of the output buffer
};
static_assert(sizeof(OS_USER_DEVICE_REQUEST) == 32, "the driver reads 32 bytes");
static_assert(offsetof(OS_USER_DEVICE_REQUEST, input) == 16, "driver layout");

// The ioctl request code of OsUserDeviceIoControl: _IOWR('T', 1, OS_USER_DEVICE_REQUEST),
// read-write, group 'T', number 1, 32 bytes: the code a driver for the layer's callers serves.
#define OS_USER_DEVICE_REQUEST_CODE 0xC0205401ul

#ifdef __cplusplus
extern "C" {
#endif

// CreateFile for files and devices ("\\.\COMn" is serial port n, counted from 1; another
// "\\.\NAME" is /dev/name). Only FILE_SHARE_READ of the share mode counts: with it the file
// is locked shared, without it exclusively (advisory flock, across processes). Security
// attributes are ignored; flags other than FILE_ATTRIBUTE_NORMAL are refused (reported on
// standard error), so there is no overlapped I/O. New files get mode 0700 (before umask).
// INVALID_HANDLE_VALUE (not null) on failure with errno EACCES (a conflicting lock), EINVAL
// (null name, access 0, a template file, TRUNCATE_EXISTING without GENERIC_WRITE), ENOENT
// (a COM name without a port number), ENOMEM, or open's errno.
OS_USER_FILE_HANDLE OsUserCreateFile(const char* name, DWORD desiredAccess, DWORD shareMode,
                                     PVOID securityAttributes, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, OS_USER_FILE_HANDLE templateFile);
// ReadFile: one read call; a short read, and 0 at end of file, are successes (count in
// *bytesRead, which may be null). FALSE with errno EINVAL for a handle that is not an open
// file or a non-null overlapped (reported on standard error), else read's errno.
BOOL OsUserReadFile(OS_USER_FILE_HANDLE hFile, PVOID buffer, DWORD count, DWORD* bytesRead,
                    PVOID overlapped);
// WriteFile: one write call, as OsUserReadFile; a short write is a success.
BOOL OsUserWriteFile(OS_USER_FILE_HANDLE hFile, const void* buffer, DWORD count,
                     DWORD* bytesWritten, PVOID overlapped);
// Closes the descriptor and destroys the handle (also when close fails); TRUE when close
// succeeded, else FALSE with close's errno; errno EINVAL for a handle that is not a file.
BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile);
// DeviceIoControl: ioctl(OS_USER_DEVICE_REQUEST_CODE) with an OS_USER_DEVICE_REQUEST built
// from the arguments; the driver's count goes to *bytesReturned (may be null). FALSE with
// errno EINVAL for a handle that is not a file, else ioctl's errno. overlapped is ignored.
BOOL OsUserDeviceIoControl(OS_USER_FILE_HANDLE hFile, DWORD controlCode, PVOID input,
                           DWORD inputSize, PVOID output, DWORD outputSize,
                           DWORD* bytesReturned, PVOID overlapped);
// GetFileInformationByHandle: attributes, times and size (links, volume and index are 0).
// FALSE with errno EINVAL for a handle that is not a file, a null record or a failed fstat.
BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE hFile,
                                      _BY_HANDLE_FILE_INFORMATION* information);
// GetFileSize: the low half, the high half in *sizeHigh (may be null); INVALID_FILE_SIZE with
// errno EINVAL on failure.
DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE hFile, DWORD* sizeHigh);
// SetFilePointer: moves the position; returns its low half. With distanceHigh the offset is
// 64-bit and the new high half is stored there; a result of 0xFFFFFFFF with errno 0 is then a
// position. INVALID_SET_FILE_POINTER with errno EINVAL (not a file, origin above FILE_END) or
// lseek's errno.
DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE hFile, LONG distance, int* distanceHigh,
                           DWORD origin);
// SetFilePointerEx: the new position goes to *newPosition (may be null). FALSE with errno
// EINVAL (not a file, origin above FILE_END) or lseek's errno.
BOOL OsUserSetFilePointerEx(OS_USER_FILE_HANDLE hFile, _LARGE_INTEGER distance,
                            _LARGE_INTEGER* newPosition, DWORD origin);
// SetEndOfFile: the current position becomes the length. FALSE with errno EINVAL (not a
// file) or the errno of lseek or ftruncate.
BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE hFile);

// Path functions; each path may use backslashes and repeated separators (rewritten to single
// slashes; drive letters stay as they are). Failures leave the system call's errno.
// DeleteFile: unlink.
BOOL OsUserDeleteFile(const char* path);
// MoveFileEx: rename. Without MOVEFILE_REPLACE_EXISTING an existing file at newPath is never
// replaced (EEXIST). Other flags are ignored: no copying across file systems (EXDEV).
BOOL OsUserMoveFile(const char* existingPath, const char* newPath, DWORD flags);
// CopyFile: copies into a new file beside newPath and renames it into place, so an existing
// destination is replaced only by a complete copy and a failed copy leaves nothing behind.
// FALSE with errno EISDIR (a directory source or destination), EINVAL (the destination is
// the source), EEXIST (failIfExists and an existing destination), or the failing call's.
BOOL OsUserCopyFile(const char* existingPath, const char* newPath, int failIfExists);
// CreateDirectory with mode 0775 (before umask); securityAttributes is ignored.
BOOL OsUserCreateDirectory(const char* path, PVOID securityAttributes);
// RemoveDirectory: rmdir (the directory must be empty).
BOOL OsUserRemoveDirectory(const char* path);
// mkdir with the caller's mode after path rewriting: 0, or -1 with errno.
int os_mkdir(const char* path, uint16_t mode);
// rmdir after path rewriting: 0, or -1 with errno.
int os_rmdir(const char* path);
// GetFileAttributes, following links: FILE_ATTRIBUTE_DIRECTORY or FILE_ATTRIBUTE_NORMAL;
// INVALID_FILE_ATTRIBUTES with stat's errno, and also (errno unchanged) for any other file
// type (device, FIFO, socket). No other attribute bits (read-only, hidden, ...) exist.
DWORD OsUserGetFileAttributes(const char* path);
// The attribute value of a stat record's file type, as OsUserGetFileAttributes.
DWORD OsUserGetFileAttributesInternal(const struct stat* status);
// PathFileExists, narrower: TRUE only for a regular file (after following links).
BOOL OsUserPathFileExists(const char* path);

// GetCurrentDirectory: fills buffer with the working directory; returns buffer, or null with
// errno EINVAL (null buffer) or getcwd's (ERANGE: too small). Win32 returns a length.
char* OsUserGetCurrentDirectory(DWORD size, char* buffer);

// FindFirstFile: glob patterns (*, ?, [...]; names starting with a dot only for patterns that
// name the dot, "*.*" only names with a dot), matches sorted by name. Matches that vanish or
// are dangling links are skipped. Returns a find handle (no kernel object: close it with
// OsUserFindClose only) or INVALID_HANDLE_VALUE with errno ENOENT (nothing matches), EINVAL
// (null argument) or ENOMEM.
OS_USER_HANDLE OsUserFindFirstFile(const char* pattern, _WIN32_FIND_DATAA* findData);
// FindNextFile: the next match; FALSE with errno ENOENT at the end, EINVAL for a null or
// invalid handle or a null record.
BOOL OsUserFindNextFile(OS_USER_HANDLE hFind, _WIN32_FIND_DATAA* findData);
// FindClose: releases the find handle; FALSE with errno EINVAL for null or
// INVALID_HANDLE_VALUE.
BOOL OsUserFindClose(OS_USER_HANDLE hFind);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of files and directories ----

// ==== Layer internals ====
// Everything below is the layer's own machinery: the classes behind the handles, the
// multi-object wait records, the string block and the zombie coordinator, and seams the
// layer's tests use. Callers need none of it; it is declared here because the handle classes
// derive from one another across the areas and the tests reach into them.

// Handle kinds, stored by each creating operation.
enum : uint32_t {
  OS_USER_HANDLE_FILE = 1,
  OS_USER_HANDLE_THREAD = 2,
  OS_USER_HANDLE_EVENT = 3,
  OS_USER_HANDLE_MUTEX = 4,
  OS_USER_HANDLE_SEMA = 5,
};

class _OsUserAddEvent;

// One registration of a multi-object wait with one object: the object's slot or a link of
// its waiter list. The wait owns the links (one per entry), so registering never allocates.
struct _OsUserWaiterNode {
  _OsUserWaiterNode* prev;
  _OsUserWaiterNode* next;
  _OsUserAddEvent* addEvent;
  bool inSlot;  // registered in the object's slot, not in its list
};

// Base of every kernel object. Objects that can become signalled (events, threads) notify
// the multi-object waits registered on them.
//
// The first wait registers in slot by one compare-and-swap and leaves it by a plain store;
// further waits join the list under waiterLock. A signaller counts itself in scanning before
// it reads the slot; a wait that left the slot (then a sequentially consistent fence) awaits
// scanning at 0 before its node is reused, so no signaller still holds it.
// Lock order: an event's own mutex, then waiterLock, then an _OsUserAddEvent's mutex.
// The slot and waiterCount let a signal skip both when nobody is registered: the signaller
// stores its signalled state before it reads the slot, waiterLock and the count, a registrant
// takes the slot or waiterLock before it reads the state (sequentially consistent), so one
// sees the other.
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
  bool AddAdditionalEvent(_OsUserWaiterNode* node);
  bool RemoveAdditionalEvent(_OsUserWaiterNode* node);

  uint32_t kind;
  _OsUserWaiterNode* waiters;         // registered waits, oldest first (guarded by waiterLock)
  _OsUserWaiterNode* lastWaiter;      // end of that list
  std::atomic<uint32_t> waiterCount;  // number of waits in the list
  std::atomic<bool> waiterLock;       // guards the waiter list (a spin lock: held for a few instructions)
  std::atomic<_OsUserWaiterNode*> slot;  // one registered wait outside the list, or null
  std::atomic<uint32_t> scanning;     // signallers that may be reading the slot's node
};

// One multi-object wait: lives in the waiting thread for the length of the wait and is
// registered with every object of the wait that can notify; an object that becomes
// signalled records itself (the first one wins until the waiter takes the record).
class _OsUserAddEvent {
 public:
  _OsUserAddEvent();
  _OsUserAddEvent(const _OsUserAddEvent&) = delete;
  _OsUserAddEvent& operator=(const _OsUserAddEvent&) = delete;
  ~_OsUserAddEvent();
  // Makes the condition and the mutex (once) and registers with every entry that can
  // notify, using nodes[i] for entry i. False (nothing registered) when the condition fails.
  bool Create(unsigned int handleCount, _OsUserHandle** handleArray, _OsUserWaiterNode* nodes);
  // Unregisters from every entry; the condition and the mutex stay for the next Create.
  void Delete();
  void Signal(_OsUserHandle* handle);
  // Sleeps until an object has recorded itself or the CLOCK_MONOTONIC deadline (null:
  // none) has passed; spurious wake-ups sleep again.
  DWORD Wait(const struct timespec* deadline);
  // Returns the recorded object (or null) and clears the record, so later signals record again.
  _OsUserHandle* TakeSignalled();

  pthread_cond_t condition;                     // the waiting thread sleeps on it (monotonic clock)
  std::atomic<_OsUserHandle*> signalledHandle;  // first registered object that became signalled
  pthread_mutex_t mutex;                        // guards the sleep: a wake passes through it
  uint32_t count;                               // number of handles in the wait
  _OsUserHandle** handles;                      // the caller's array, not copied
  _OsUserWaiterNode* nodes;                     // one registration link per entry
  bool ready;                                   // the condition and the mutex exist
  std::atomic<uint32_t> waking;                 // signallers between their record and its wake-up
};

// Makes cond a condition variable on CLOCK_MONOTONIC; 0 or the POSIX error (also written
// to standard error).
int InitEventCondition(pthread_cond_t* cond);

class _OsEventHandle;

// A thread handle. The object holds two references, the handle's and the running thread's;
// whichever is released last frees it, so a thread whose handle is closed first cleans up
// by itself. Join (first successful wait) and detach (close) happen under lock, guarded by
// joinable, so each happens at most once.
class COsThread : public _OsUserHandle {
 public:
  COsThread();
  ~COsThread() override;
  // Starts the thread (held at a start gate until resumed when suspended is nonzero);
  // 0 or the POSIX error.
  int Create(unsigned long stackSize, unsigned int (*startRoutine)(void*), void* startParameter,
             unsigned int, int, void** handleOut, pthread_t* threadIdOut, int suspended);
  DWORD WaitForThread(DWORD milliseconds);
  static void* ThreadFuncWrapper(void* object);
  void ThreadFunc();
  // Releases one reference; frees the object with the last one.
  void Release();
  bool SupportsAdditionalEvents() override;
  void Lock() override;
  void Unlock() override;
  bool IsEventSignalled() override;

  pthread_t thread;                    // the running thread; null once the handle is closed (under lock)
  _OsEventHandle* startGate;           // holds a suspended thread until resumed; null otherwise
  pthread_mutex_t lock;                // guards thread and joinable
  unsigned int (*routine)(void*);      // the start routine
  void* parameter;                     // its argument
  std::atomic<uint32_t> references;    // the handle's and the running thread's
  std::atomic<bool> finished;          // the routine has returned
  COsUserEvent exitEvent;              // manual-reset; set when the thread's work is over
  bool joinable;                       // neither joined nor detached yet (under lock)
  bool joining;                        // a waiter is joining it outside lock (under lock)
  int lockError;                       // nonzero: lock could not be made, Create refuses
};

// The stack size a thread is created with for a requested size.
unsigned long OsUserThreadStackSize(unsigned long requested);

// A file or device opened by OsUserCreateFile (kind 1). Destroying the object does not
// close fd: OsUserCloseFile closes the descriptor first.
class _OsUserFileHandle : public _OsUserHandle {
 public:
  _OsUserFileHandle();
  ~_OsUserFileHandle() override;

  int fd;  // the open file descriptor
};

// Header of a string block; the characters follow it directly (block = header, allocLength
// characters and one terminator, one array allocation).
struct CStringData {
  LONG refCount;    // CString objects using the block; -1 marks the shared empty block
  int dataLength;   // characters in use, terminator not counted
  int allocLength;  // characters the block can hold, terminator not counted

  char* data() { return reinterpret_cast<char*>(this + 1); }
};
static_assert(sizeof(CStringData) == 12, "the characters follow a 12-byte header");

// The shared empty block: refCount -1, both lengths 0, and its NUL character.
struct CStringNilBlock {
  CStringData header;
  char characters[4];
};
extern CStringNilBlock rgInitData;

#include <vector>

// Coordinator of zombie removal, one per process. A removal asked for while a launcher
// waits for its own child is held back until no launcher blocks it any more, so that no
// launcher's child is collected by someone else. It also keeps the ids of the children
// that were started but not yet collected, so that only those are ever signalled.
class CWaitProcessHandler {
 public:
  static CWaitProcessHandler& GetHandler();
  ~CWaitProcessHandler();

  void RemoveProcessZombies();
  void BlockRemoveProcessZombies();
  void UnblockRemoveProcessZombies();
  // Unblocks; a child not collected by its launcher (pid > 0) is recorded as running.
  void UnblockAndRecordChild(int pid);
  // Whether pid is a recorded child; if so it is no longer recorded and reaping stays
  // blocked until UnblockRemoveProcessZombies, so the caller may signal and collect it.
  bool ClaimChild(int pid);

 private:
  CWaitProcessHandler();
  void ReapLocked();

  pthread_mutex_t mutex;  // guards everything below and every reaping pass
  uint32_t blockCount;    // launchers currently waiting for their own child
  bool reapPending;       // a removal was asked for while blocked
  std::vector<int> children;  // started children not collected yet
};

// The search of SearchCoresInDmesgBoot in the boot-log file at path.
bool SearchCoresInBootLog(const char* path, long& cores);

#endif  // KV_PLATFORM_HELPER_H
