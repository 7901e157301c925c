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

// Files and directories.

// Fills buffer with the working directory; returns buffer, or null (errno set).
char* OsUserGetCurrentDirectory(DWORD size, char* buffer);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // KV_PLATFORM_HELPER_H
