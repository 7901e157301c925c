// Processes: the pieces of OsUserProcess.cpp in which Linux and FreeBSD differ, with the
// system's way chosen by a parameter, so that tests run both ways on either system.
#ifndef KV_OS_USER_PROCESS_INTERNAL_H
#define KV_OS_USER_PROCESS_INTERNAL_H

#include "KvPlatformHelper.h"

// Where the bytes of a new identifier come from: getrandom (Linux) or arc4random_buf (FreeBSD).
enum class GuidRandomSource { kGetrandom, kArc4random };

// OsUserCoCreateGuid with the source given: a random (version 4, variant 1) identifier.
uint32_t CreateRandomGuid(_GUID* guid, GuidRandomSource source);

#endif  // KV_OS_USER_PROCESS_INTERNAL_H
