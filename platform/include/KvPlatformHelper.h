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
#include <atomic>

// Wait results and the infinite time-out. Time-outs are unsigned milliseconds: only
// INFINITE means "without limit"; every other value, 0x80000000 and above included, is waited.
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
typedef void* OS_USER_THREAD_HANDLE;

// Handle kinds, stored by each creating operation.
enum : uint32_t {
  OS_USER_HANDLE_FILE = 1,
  OS_USER_HANDLE_THREAD = 2,
  OS_USER_HANDLE_EVENT = 3,
  OS_USER_HANDLE_MUTEX = 4,
  OS_USER_HANDLE_SEMA = 5,
};

class _OsUserAddEvent;

// One registration of a multi-object wait with one object: a link of that object's waiter
// list. The wait owns the links (one per entry), so registering never allocates.
struct _OsUserWaiterNode {
  _OsUserWaiterNode* prev;
  _OsUserWaiterNode* next;
  _OsUserAddEvent* addEvent;
};

// Base of every kernel object. Objects that can become signalled (events, threads) notify
// the multi-object waits registered on them.
//
// Lock order: an event's own mutex, then waiterLock, then an _OsUserAddEvent's mutex.
// waiterCount lets a signal skip waiterLock when nobody is registered: the signaller
// stores its signalled state before it reads waiterLock and the count, a registrant takes
// waiterLock before it reads the state (sequentially consistent), so one sees the other.
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
  std::atomic<uint32_t> waiterCount;  // number of registered waits
  std::atomic<bool> waiterLock;       // guards the waiter list (a spin lock: held for a few instructions)
  int initError;                      // nonzero: the object could not be made (the base part never fails)
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

#ifdef __cplusplus
extern "C" {
#endif

// Closes any kind of handle; FALSE (errno EINVAL) for null or an unknown kind.
BOOL OsUserCloseHandle(OS_USER_HANDLE handle);
// Waits for one object: WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (errno set).
DWORD OsUserWaitForSingleObject(OS_USER_HANDLE handle, DWORD milliseconds);
// As OsUserWaitForSingleObject; alertable is ignored.
DWORD OsUserWaitForSingleObjectEx(OS_USER_HANDLE handle, DWORD milliseconds, BOOL alertable);
// Waits for any (WAIT_OBJECT_0 + index of the object acquired) or all (WAIT_OBJECT_0) of
// count objects. A wait-all takes every object in one pass or nothing: a pass that cannot
// take them all gives back what it took before it sleeps, so a WAIT_TIMEOUT holds nothing.
// Across passes it is not atomic: objects may be taken and given back while it waits.
DWORD OsUserWaitForMultipleObjects(DWORD count, OS_USER_HANDLE* handles, BOOL waitAll,
                                   DWORD milliseconds);
// The calling thread's errno, unchanged.
DWORD OsUserGetLastError(void);
// The calling thread's errno as a Win32 error code (10000 + errno when there is none).
DWORD OsUserGetLastWin32Error(void);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of handles and waiting ----

// ---- Events ----
// An event: a flag set by one thread and waited for by others, manual-reset (stays set
// until reset) or auto-reset (a successful wait clears it). A set releases every thread
// blocked on the event at that moment, for auto-reset events too; a wake-up that no set
// caused sends the waiter back to sleep. Also the end-of-run event and the start gate of threads.
class COsUserEvent {
 public:
  COsUserEvent(bool create, unsigned int manualReset);
  COsUserEvent(const COsUserEvent&) = delete;
  COsUserEvent& operator=(const COsUserEvent&) = delete;
  virtual ~COsUserEvent();
  // Called by Signal with the mutex held, after the flag is set and before waiters wake.
  virtual void SignalAdditionalEventsCritical();
  // Sets the reset mode; makes the condition when the event is still inert. Returns valid.
  bool Create(unsigned int manualReset);
  // Waits up to milliseconds (INFINITE: without limit; 0: a test that never blocks).
  DWORD Wait(DWORD milliseconds);
  DWORD Wait();
  // Sets / resets the flag; false when the event is inert.
  bool Signal();
  bool Clear();
  void Lock();
  void Unlock();
  // Takes the flag without blocking (clearing it when auto-reset); true when it was set.
  bool TryConsume();

  pthread_mutex_t mutex;            // guards generation, sleepers and the sleep
  pthread_cond_t condition;         // waiters sleep on it (monotonic clock)
  std::atomic<bool> valid;          // the condition exists; an inert event fails its waits
  std::atomic<bool> autoReset;      // a successful wait clears the flag
  std::atomic<bool> signalled;      // the flag; read and taken without the mutex by tests
  uint64_t generation;              // number of sets so far: a blocked waiter is released by a change
  uint32_t sleepers;                // threads asleep on the condition
  uint64_t wakeups;                 // returns from that sleep, spurious ones included
  std::atomic<uint32_t> waking;     // sets still waking sleepers after unlocking; destruction awaits 0
  int initError;                    // nonzero: the mutex could not be made (the event is inert)
};

#ifdef __cplusplus
extern "C" {
#endif

// Creates an event; null for a name or attributes (not supported) or when out of memory.
OS_USER_EVENT_HANDLE OsUserCreateEvent(PVOID attributes, BOOL manualReset, BOOL initialState,
                                       LPCTSTR name);
// Sets / resets; FALSE for null or an inert event.
BOOL OsUserSetEvent(OS_USER_EVENT_HANDLE event);
BOOL OsUserResetEvent(OS_USER_EVENT_HANDLE event);
DWORD OsUserWaitForEvent(OS_USER_EVENT_HANDLE event, DWORD milliseconds);
// As OsUserWaitForEvent; an alertable wait is reported on standard error and waits normally.
DWORD OsUserWaitForEventEx(OS_USER_EVENT_HANDLE event, DWORD milliseconds, BOOL alertable);
BOOL OsUserDeleteEvent(OS_USER_EVENT_HANDLE event);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of events ----

// ---- Mutexes, semaphores and critical sections ----
// A critical section: one recursive POSIX mutex in the caller's storage.
typedef pthread_mutex_t CRITICAL_SECTION;
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

#ifdef __cplusplus
extern "C" {
#endif

// Creates an error-checking, non-recursive mutex, held by the caller when initialOwner is set.
OS_USER_MUTEX_HANDLE OsUserCreateMutex(PVOID attributes, BOOL initialOwner, LPCTSTR name);
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED (errno EDEADLK when the caller owns it already).
DWORD OsUserWaitForMutex(OS_USER_MUTEX_HANDLE mutex, DWORD milliseconds);
// FALSE (errno EPERM) when the caller does not own the mutex.
BOOL OsUserReleaseMutex(OS_USER_MUTEX_HANDLE mutex);
BOOL OsUserDeleteMutex(OS_USER_MUTEX_HANDLE mutex);

// Creates a semaphore holding initialCount units; maximumCount is not enforced.
OS_USER_SEMA_HANDLE OsUserCreateSema(PVOID attributes, LONG initialCount, LONG maximumCount,
                                     LPCTSTR name);
DWORD OsUserWaitForSema(OS_USER_SEMA_HANDLE sema, DWORD milliseconds);
DWORD OsUserWaitForSemaEx(OS_USER_SEMA_HANDLE sema, DWORD milliseconds, BOOL alertable);
// Adds releaseCount units one at a time; previousCount is not supported (reported, not written).
BOOL OsUserReleaseSema(OS_USER_SEMA_HANDLE sema, LONG releaseCount, LPLONG previousCount);
BOOL OsUserDeleteSema(OS_USER_SEMA_HANDLE sema);

// Critical sections; each returns FALSE (errno set) when the POSIX call fails.
BOOL OsUserInitializeCriticalSection(LPCRITICAL_SECTION section);
BOOL OsUserEnterCriticalSection(LPCRITICAL_SECTION section);
BOOL OsUserLeaveCriticalSection(LPCRITICAL_SECTION section);
BOOL OsUserDeleteCriticalSection(LPCRITICAL_SECTION section);
// TRUE when taken (also again by its holder), FALSE when another thread holds it.
BOOL OsUserTryEnterCriticalSection(LPCRITICAL_SECTION section);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of mutexes, semaphores and critical sections ----

// ---- Threads ----
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

#define CREATE_SUSPENDED 0x00000004u

#ifdef __cplusplus
extern "C" {
#endif

// Creates a thread (suspended with CREATE_SUSPENDED in flags); the handle, or null.
OS_USER_THREAD_HANDLE OsUserCreateThread(PVOID attributes, unsigned long stackSize,
                                         unsigned int (*routine)(void*), void* parameter,
                                         DWORD flags, pthread_t* threadId);
// As OsUserCreateThread, the handle stored through handle; 0 or the POSIX error.
int OsUserCreateThreadEx(unsigned long stackSize, unsigned int (*routine)(void*), void* parameter,
                         unsigned int, void** handle, pthread_t* threadId, int suspended);
// The same; the CPU affinity is accepted and not applied.
int OsUserCreateThreadCpuAffinityEx(unsigned long stackSize, unsigned int (*routine)(void*),
                                    void* parameter, unsigned int, void** handle, int cpuAffinity,
                                    pthread_t* threadId, int suspended);
// Lets a suspended thread run; 0 always.
int OsUserThreadResume(OS_USER_THREAD_HANDLE thread);
DWORD OsUserWaitForThread(OS_USER_THREAD_HANDLE thread, DWORD milliseconds);
// Releases the handle; a running thread is detached and cleans up when it ends.
BOOL OsUserCloseThreadHandle(OS_USER_THREAD_HANDLE thread);
pthread_t OsUserGetCurrentThreadId(void);
// FALSE for a null identifier; else whether it is the calling thread.
BOOL OsUserIsCurrentThreadEqual(pthread_t threadId);
// Accepted and ignored; 0.
int OsUserSetCurrentThreadPrio(int priority);
// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
DWORD OsUserGetTickCount(void);
// Sleeps the whole time asked, across signals.
void OsUserSleep(DWORD milliseconds);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of threads ----

// ---- Strings ----
#include <stdarg.h>
#include <wchar.h>

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

// Reference-counted single-byte text; copies share one block until one of them writes.
// Lengths and indexes are int; failures give null, -1 or an unchanged (or empty) string.
// Copies of one text may live in different threads; one object is used by one thread.
class CString {
 public:
  CString();
  CString(const char* s);
  CString(const char* s, int n);
  CString(const wchar_t* ws);
  CString(const CString& other);
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(const char* s);
  CString& operator=(const unsigned char* s);
  CString& operator=(char ch);
  CString& operator=(const wchar_t* ws);
  void Init();
  static const CString& GetEmptyString();

  // Buffer management.
  char* GetBuffer(int n);
  void ReleaseBuffer(int n = -1);
  char* GetBufferSetLength(int n);
  bool AllocBuffer(int n);
  bool AllocBeforeWrite(int n);
  void AllocCopy(CString& dest, int copyLen, int copyIndex, int extraLen) const;
  void AssignCopy(int n, const char* src);
  bool ConcatCopy(int firstLen, const char* first, int secondLen, const char* second);
  void ConcatInPlace(int n, const char* s);
  void CopyBeforeWrite();
  void Release();
  static void Release(CStringData* data);
  CStringData* GetData() const;

  // Queries.
  int GetLength() const;
  bool IsEmpty() const;
  const char* GetString() const;
  operator char const*() const;
  char operator[](int i) const;
  int Compare(const char* s) const;
  int CompareNoCase(const char* s) const;
  int Find(const char* s) const;
  int Find(char ch) const;
  int ReverseFind(char ch) const;

  // Extraction: each result has a block of its own (or the empty block).
  CString Left(int n) const;
  CString Right(int n) const;
  CString Mid(int first, int count) const;
  CString Mid(int first) const;

  // Changes.
  CString& operator+=(const char* s);
  CString& operator+=(char ch);
  CString& operator+=(const CString& s);
  void Empty();
  void MakeUpper();
  void MakeLower();
  int Replace(char oldCh, char newCh);
  int Replace(const char* oldText, const char* newText);
  int Insert(int index, char ch);
  int Insert(int index, const char* s);
  int Delete(int index, int count);
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
#include <vector>

// System-log trace switch, on at start; nothing in the layer reads it.
void KvTraceEnableSysLog();
void KvTraceDisableSysLog();
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

// A started process; only the process id carries information.
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

// Launcher result codes (Win32 error numbers) and identifier result codes.
#define OS_USER_LAUNCH_OK 0
#define OS_USER_LAUNCH_FAILED 1
#define OS_USER_LAUNCH_NOT_FOUND 2
#define OS_USER_LAUNCH_NO_PROCESS 1168
#define OS_USER_S_OK 0x00000000u
#define OS_USER_E_FAIL 0x80004005u
#define OS_USER_E_OUTOFMEMORY 0x8007000Eu

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

#ifdef __cplusplus
extern "C" {
#endif

// Fills info (null accepted: nothing written).
void OsUserGetSystemInfo(_SYSTEM_INFO* info);
void OsUserRemoveProcessZombies();
void OsUserBlockRemoveProcessZombies();
void OsUserUnblockRemoveProcessZombies();

// Runs command_line ("program arguments") with an empty environment and the descriptors 0-2
// only; waits up to timeout_ms (0 or less: no waiting). The program path ends at the first
// blank and is resolved and quoted; argument text goes to the shell as shell text.
int OsUserLaunchProcessInternal(const char* command_line, const char* work_dir, int unused,
                                int timeout_ms, int* exit_code, int* process_id);
int OsUserLaunchProcess(const char* command_line, int unused, int timeout_ms, int* exit_code);
// As above for a program path written with "\" or doubled separators; may contain blanks.
int OsUserLaunchProcessEx(const char* program, const char* work_dir, const char* arguments,
                          int unused, int timeout_ms, int* exit_code);
// Starts without waiting; the process id goes into info.
int OsUserCreateProcess(const char* command_line, const char* work_dir, _OS_USER_PROC_INFO* info);
// SIGTERM to a started, not yet collected child, then waits for it: 0, or 1 (2: null info).
int OsUserTerminateProcess(_OS_USER_PROC_INFO* info, unsigned exit_code);
int OsUserReleaseProcessHandle(_OS_USER_PROC_INFO* info);

uint32_t OsUserCoCreateGuid(_GUID* guid);
// "{text}" or "text"; "" and null give the nil identifier. guid is written only on success.
uint32_t OsCLSIDFromStringA(const char* text, _GUID* guid);

#ifdef __cplusplus
}  // extern "C"
#endif

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in malloc'd memory that the caller frees.
uint32_t OsStringFromCLSIDA(_GUID& guid, char** text);
// Processor count (packages x cores) named by the kernel boot log; false when there is none.
bool SearchCoresInDmesgBoot(long& cores);
// The same search in the boot-log file at path.
bool SearchCoresInBootLog(const char* path, long& cores);
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

// Conversions; none checks its input ranges. File-time arithmetic is unsigned 64-bit.
void Tm2Systime(const tm* source, _SYSTEMTIME* target);  // wMilliseconds left as it was
void Systime2Tm(const _SYSTEMTIME* source, tm* target);  // other tm fields left as they were
int Systime2LocalTime(const _SYSTEMTIME* utc, _SYSTEMTIME* local);  // returns 0
void Timet2FileTime(const time_t& seconds, _FILETIME* target);
void Timespec2FileTime(const timespec& source, _FILETIME& target);
uint64_t Timespec2FileTime(const timespec& source);
// Floor division: counts before 1970 give a negative tv_sec and a tv_nsec of 0 to 999999999.
void FileTime2Timespec(const _FILETIME& source, timespec& target);
// Transition form of the moment in source (week of the month in wDay, 5 = last).
void Tm2TimeZoneTime(const tm* source, _SYSTEMTIME* target);
// "Jan" to "Dec" for 1 to 12, else "Invalid".
const char* MonthName(int month);
// Writes record as a zone-compiler source for zone_name; 0, or -1 when path cannot be opened.
int GenerateZoneFile(const OS_USER_TIME_ZONE_INFORMATIONA* record, const char* path,
                     const char* zone_name);

#ifdef __cplusplus
extern "C" {
#endif

BOOL OsUserSystemTimeToFileTime(const _SYSTEMTIME* source, _FILETIME* target);
// FALSE when the count cannot be broken down.
BOOL OsUserFileTimeToSystemTime(const _FILETIME* source, _SYSTEMTIME* target, BOOL local);
BOOL OsUserFileTimeToSystemTime2(const _FILETIME* source, _SYSTEMTIME* target);

BOOL OsUserGetLocalTime(_SYSTEMTIME* target);
BOOL OsUserGetSystemTime(_SYSTEMTIME* target);
// Set the clock (settimeofday). A record with a field out of its Win32 range sets EINVAL
// and returns FALSE without touching the clock.
BOOL OsUserSetLocalTime(const _SYSTEMTIME* source);
BOOL OsUserSetSystemTime(const _SYSTEMTIME* source);

// Reads the rules of the local zone by sampling local time; TIME_ZONE_ID_DAYLIGHT when now
// is daylight time, else TIME_ZONE_ID_STANDARD.
DWORD OsUserGetTimeZoneInformation(OS_USER_TIME_ZONE_INFORMATIONA* target);
// Compiles record and makes it the system time zone (/etc/localtime and TZ); needs root.
BOOL OsUserSetTimeZoneInformation(const OS_USER_TIME_ZONE_INFORMATIONA* record);

BOOL OsUserGetVersionInfo(_OSVERSIONINFOA* target);

#ifdef __cplusplus
}  // extern "C"
#endif
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

#ifdef __cplusplus
extern "C" {
#endif

// Opens a file, or a device named "\\.\NAME" (COMn is serial port n, counted from 1).
// Only FILE_SHARE_READ of the share mode counts: with it the file is locked shared, without
// it exclusively (advisory flock, across processes); a conflicting lock fails with EACCES.
OS_USER_FILE_HANDLE OsUserCreateFile(const char* name, DWORD desiredAccess, DWORD shareMode,
                                     PVOID securityAttributes, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, OS_USER_FILE_HANDLE templateFile);
// One read or write call; a short transfer, and 0 at end of file, are successes.
BOOL OsUserReadFile(OS_USER_FILE_HANDLE hFile, PVOID buffer, DWORD count, DWORD* bytesRead,
                    PVOID overlapped);
BOOL OsUserWriteFile(OS_USER_FILE_HANDLE hFile, const void* buffer, DWORD count,
                     DWORD* bytesWritten, PVOID overlapped);
// Closes the descriptor and destroys the handle; TRUE when close succeeded.
BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile);
// ioctl with the layer's 32-byte request record.
BOOL OsUserDeviceIoControl(OS_USER_FILE_HANDLE hFile, DWORD controlCode, PVOID input,
                           DWORD inputSize, PVOID output, DWORD outputSize,
                           DWORD* bytesReturned, PVOID overlapped);
BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE hFile,
                                      _BY_HANDLE_FILE_INFORMATION* information);
DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE hFile, DWORD* sizeHigh);
// With distanceHigh the offset is 64-bit; a result of 0xFFFFFFFF with errno 0 is a position.
DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE hFile, LONG distance, int* distanceHigh,
                           DWORD origin);
BOOL OsUserSetFilePointerEx(OS_USER_FILE_HANDLE hFile, _LARGE_INTEGER distance,
                            _LARGE_INTEGER* newPosition, DWORD origin);
BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE hFile);

// Path functions; each path may use backslashes and repeated separators.
BOOL OsUserDeleteFile(const char* path);
// Without MOVEFILE_REPLACE_EXISTING an existing file at newPath is never replaced (EEXIST).
BOOL OsUserMoveFile(const char* existingPath, const char* newPath, DWORD flags);
// Copies into a new file beside newPath and renames it into place: an existing destination
// is replaced only by a complete copy, and a failed copy leaves nothing behind.
BOOL OsUserCopyFile(const char* existingPath, const char* newPath, int failIfExists);
BOOL OsUserCreateDirectory(const char* path, PVOID securityAttributes);
BOOL OsUserRemoveDirectory(const char* path);
int os_mkdir(const char* path, uint16_t mode);
int os_rmdir(const char* path);
DWORD OsUserGetFileAttributes(const char* path);
DWORD OsUserGetFileAttributesInternal(const struct stat* status);
// TRUE only for a regular file (after following links).
BOOL OsUserPathFileExists(const char* path);

// Fills buffer with the working directory; returns buffer, or null (errno set).
char* OsUserGetCurrentDirectory(DWORD size, char* buffer);

// Glob patterns, sorted matches. Matches that vanish or are dangling links are skipped; at
// the end, or when nothing matches, errno is ENOENT.
OS_USER_HANDLE OsUserFindFirstFile(const char* pattern, _WIN32_FIND_DATAA* findData);
BOOL OsUserFindNextFile(OS_USER_HANDLE hFind, _WIN32_FIND_DATAA* findData);
BOOL OsUserFindClose(OS_USER_HANDLE hFind);

#ifdef __cplusplus
}  // extern "C"
#endif
// ---- end of files and directories ----

#endif  // KV_PLATFORM_HELPER_H
