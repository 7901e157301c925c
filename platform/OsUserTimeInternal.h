// Time and time zones: pieces of OsUserTime.cpp that take what the public calls read from
// the system (now, an open file), so that they can be run on chosen inputs.
#ifndef KV_OS_USER_TIME_INTERNAL_H
#define KV_OS_USER_TIME_INTERNAL_H

#include "KvPlatformHelper.h"

#include <stdio.h>

// OsUserGetTimeZoneInformation with "now" given: the rules of the local zone (TZ) as seen
// from that moment.
DWORD ReadTimeZoneRules(time_t now, OS_USER_TIME_ZONE_INFORMATIONA* target);

// Writes the zone-compiler source of record to file, flushes it to disk; false on a write error.
bool WriteZoneSource(FILE* file, const OS_USER_TIME_ZONE_INFORMATIONA* record,
                     const char* zone_name);

// Whether the zone compiler at compiler takes "-b fat" (FreeBSD 13.0 and 13.1's has no -b):
// an empty source compiled with it into a scratch directory.
bool ZoneCompilerTakesBloat(const char* compiler);

// Records zoneName, with a line end, as the whole content of recordPath (FreeBSD's
// /var/db/zoneinfo, from which tzsetup -r reinstalls the zone); replaced in one rename.
bool RecordZoneName(const char* recordPath, const char* zoneName);

// Whether a record may set the clock: every field within its Win32 range.
bool IsValidSystemTime(const _SYSTEMTIME& time);

#endif  // KV_OS_USER_TIME_INTERNAL_H
