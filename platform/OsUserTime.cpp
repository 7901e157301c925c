// Time and time zones: Win32-style time records, conversions, the clock, the zone rules
// read by sampling local time, and zones written, compiled and installed.
#include "KvPlatformHelper.h"
#include "OsUserTimeInternal.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

constexpr uint64_t kUnitsPerSecond = 10000000;  // 100-ns units in a second
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

uint64_t FileTimeCount(const _FILETIME& fileTime)
{
    return (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
}

void StoreFileTime(uint64_t count, _FILETIME* fileTime)
{
    fileTime->dwLowDateTime = static_cast<DWORD>(count);
    fileTime->dwHighDateTime = static_cast<DWORD>(count >> 32);
}

// Seconds since 1970 as a count. Unsigned arithmetic: out-of-range inputs wrap, never trap.
uint64_t SecondsToCount(int64_t seconds)
{
    return static_cast<uint64_t>(seconds) * kUnitsPerSecond + OS_USER_FILETIME_UNIX_EPOCH;
}

bool IsLeapYear(unsigned year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Breaks seconds down as local time or UTC into target; false when the C library cannot.
bool BreakDown(time_t seconds, bool local, tm* target)
{
    return (local ? localtime_r(&seconds, target) : gmtime_r(&seconds, target)) != nullptr;
}

BOOL SetClock(const _SYSTEMTIME* source, bool local)
{
    if (source == nullptr || !IsValidSystemTime(*source)) {
        errno = EINVAL;
        return FALSE;
    }
    tm broken{};
    Systime2Tm(source, &broken);
    // A wall-clock time is taken as daylight or standard time as the zone has it then.
    broken.tm_isdst = -1;
    timeval value{};
    value.tv_sec = local ? mktime(&broken) : timegm(&broken);
    value.tv_usec = static_cast<suseconds_t>(source->wMilliseconds) * 1000;
    return settimeofday(&value, nullptr) == 0 ? TRUE : FALSE;
}

BOOL ReadClock(_SYSTEMTIME* target, bool local)
{
    timeval now{};
    tm broken{};
    if (target == nullptr || gettimeofday(&now, nullptr) != 0 ||
        !BreakDown(now.tv_sec, local, &broken)) {
        return FALSE;
    }
    Tm2Systime(&broken, target);
    target->wMilliseconds = static_cast<uint16_t>(now.tv_usec / 1000);
    return TRUE;
}

// A record's name made safe for the compiler's input: at most 31 bytes of letters, digits,
// '+' and '-'; anything else, or nothing, becomes "KV".
void SafeZoneName(const char (&name)[32], char (&safe)[32])
{
    const size_t length = strnlen(name, sizeof name - 1);
    bool usable = length > 0;
    for (size_t i = 0; i < length && usable; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        usable = (c < 0x80 && isalnum(c)) || c == '+' || c == '-';
    }
    if (!usable) {
        memcpy(safe, "KV", 3);
        return;
    }
    memcpy(safe, name, length);
    safe[length] = '\0';
}

// "+01:00", "-03:30", "-00:30": hours with sign, then the minutes' absolute value.
void FormatOffset(int64_t minutes, char (&text)[32])
{
    const long long hours = minutes / 60;
    const long long rest = minutes % 60 < 0 ? -(minutes % 60) : minutes % 60;
    if (minutes < 0 && hours == 0) {
        snprintf(text, sizeof text, "-00:%02lld", rest);
    } else {
        snprintf(text, sizeof text, "%+03lld:%02lld", hours, rest);
    }
}

// The compiler's ON field of a transition date ("lastSun", "Sun>=8"), written into the
// caller's buffer, so that concurrent zone installations never share one.
void ConvertToZicOnField(const _SYSTEMTIME& date, char (&text)[32])
{
    static const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const char* weekday = kWeekdays[date.wDayOfWeek < 6 ? date.wDayOfWeek : 6];
    if (date.wDay == 5) {
        snprintf(text, sizeof text, "last%s", weekday);
    } else {
        snprintf(text, sizeof text, "%s>=%d", weekday, 7 * date.wDay - 6);
    }
}

// One Rule line of the Custom rule for a transition date and its saving.
void WriteRule(FILE* file, const _SYSTEMTIME& date, LONG bias, char letter)
{
    char day[32];
    char saving[32];
    ConvertToZicOnField(date, day);
    FormatOffset(-static_cast<int64_t>(bias), saving);
    fprintf(file, "Rule\tCustom\t1970\tmax\t-\t%s %s\t%02d:%02d\t%s\t%c\n", MonthName(date.wMonth),
            day, date.wHour, date.wMinute, saving, letter);
}

// Serialises zone installations: the name toggle, the source file and /etc/localtime.
pthread_mutex_t g_installLock = PTHREAD_MUTEX_INITIALIZER;
// Which zone name the last installation used; the first one uses "KvCustom0/Timezone".
bool g_lastUsedCustom0 = false;

constexpr char kZoneCompiler[] = "/usr/sbin/zic";
constexpr char kZoneDirectory[] = "/usr/share/zoneinfo";
constexpr char kLocaltime[] = "/etc/localtime";
// Whether kZoneCompiler takes "-b fat": -1 until asked, under g_installLock.
int g_compilerTakesBloat = -1;

// Points /etc/localtime at target in one rename, so that it always names a zone.
bool ReplaceLocaltime(const char* target)
{
    char temporary[64];
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        snprintf(temporary, sizeof temporary, "%s.kv%ld.%u", kLocaltime,
                 static_cast<long>(getpid()), attempt);
        if (symlink(target, temporary) == 0) {
            if (rename(temporary, kLocaltime) == 0) {
                return true;
            }
            const int error = errno;
            unlink(temporary);
            errno = error;
            return false;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

// Steps of OsUserSetTimeZoneInformation under g_installLock.
BOOL InstallZone(const OS_USER_TIME_ZONE_INFORMATIONA* record)
{
    const char* zoneName = g_lastUsedCustom0 ? "KvCustom1/Timezone" : "KvCustom0/Timezone";
    g_lastUsedCustom0 = !g_lastUsedCustom0;

    // A unique name that nobody can have planted a link at; removed once compiled.
    char source[] = "/tmp/kv_custom_timezone_XXXXXX.zone";
    const int fd = mkstemps(source, 5);
    if (fd < 0) {
        return FALSE;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        unlink(source);
        return FALSE;
    }
    const bool written = WriteZoneSource(file, record, zoneName);
    if (fclose(file) != 0 || !written) {
        unlink(source);
        return FALSE;
    }
    if (g_compilerTakesBloat < 0) {
        g_compilerTakesBloat = ZoneCompilerTakesBloat(kZoneCompiler) ? 1 : 0;
    }
    char command[256];
    snprintf(command, sizeof command, "%s%s -d %s %s", kZoneCompiler,
             g_compilerTakesBloat == 1 ? " -b fat" : "", kZoneDirectory, source);
    int exitCode = -1;
    const int launched = OsUserLaunchProcess(command, 0, 10000, &exitCode);
    unlink(source);
    if (launched != 0 || exitCode != 0) {
        return FALSE;
    }

    char installed[1024];
    snprintf(installed, sizeof installed, "%s/%s", kZoneDirectory, zoneName);
    if (!ReplaceLocaltime(installed)) {
        return FALSE;
    }
#if defined(__FreeBSD__)
    // tzsetup -r (run by freebsd-update and etcupdate) reinstalls the zone named there.
    if (!RecordZoneName("/var/db/zoneinfo", zoneName)) {
        return FALSE;
    }
#endif
    char tz[1040];
    snprintf(tz, sizeof tz, ":%s", installed);
    if (setenv("TZ", tz, 1) != 0) {
        return FALSE;
    }
    tzset();
    return TRUE;
}

// Stores the zone abbreviation of broken, cut to 31 bytes, into name.
void StoreZoneName(const tm& broken, char (&name)[32])
{
    memset(name, 0, sizeof name);
    if (broken.tm_zone != nullptr) {
        strncpy(name, broken.tm_zone, sizeof name - 1);
    }
}

bool SameRule(const _SYSTEMTIME& a, const _SYSTEMTIME& b)
{
    return a.wMonth == b.wMonth && a.wDay == b.wDay && a.wDayOfWeek == b.wDayOfWeek &&
           a.wHour == b.wHour && a.wMinute == b.wMinute;
}

}  // namespace

void Tm2Systime(const tm* source, _SYSTEMTIME* target)
{
    target->wYear = static_cast<uint16_t>(source->tm_year + 1900);
    target->wMonth = static_cast<uint16_t>(source->tm_mon + 1);
    target->wDayOfWeek = static_cast<uint16_t>(source->tm_wday);
    target->wDay = static_cast<uint16_t>(source->tm_mday);
    target->wHour = static_cast<uint16_t>(source->tm_hour);
    target->wMinute = static_cast<uint16_t>(source->tm_min);
    target->wSecond = static_cast<uint16_t>(source->tm_sec);
}

void Systime2Tm(const _SYSTEMTIME* source, tm* target)
{
    target->tm_year = source->wYear - 1900;
    target->tm_mon = source->wMonth - 1;
    target->tm_wday = source->wDayOfWeek;
    target->tm_mday = source->wDay;
    target->tm_hour = source->wHour;
    target->tm_min = source->wMinute;
    target->tm_sec = source->wSecond;
}

int Systime2LocalTime(const _SYSTEMTIME* utc, _SYSTEMTIME* local)
{
    tm broken{};
    Systime2Tm(utc, &broken);
    const time_t seconds = timegm(&broken);
    tm localBroken{};
    localtime_r(&seconds, &localBroken);
    Tm2Systime(&localBroken, local);
    local->wMilliseconds = utc->wMilliseconds;
    return 0;
}

void Timet2FileTime(const time_t& seconds, _FILETIME* target)
{
    StoreFileTime(SecondsToCount(seconds), target);
}

uint64_t Timespec2FileTime(const timespec& source)
{
    return SecondsToCount(source.tv_sec) + static_cast<uint64_t>(source.tv_nsec / 100);
}

void Timespec2FileTime(const timespec& source, _FILETIME& target)
{
    StoreFileTime(Timespec2FileTime(source), &target);
}

void FileTime2Timespec(const _FILETIME& source, timespec& target)
{
    // Dividing the unsigned count floors: before 1970 the fraction stays positive.
    const uint64_t count = FileTimeCount(source);
    target.tv_sec = static_cast<time_t>(static_cast<int64_t>(count / kUnitsPerSecond) -
                                        kSecondsFrom1601To1970);
    target.tv_nsec = static_cast<long>(count % kUnitsPerSecond) * 100;
}

BOOL OsUserSystemTimeToFileTime(const _SYSTEMTIME* source, _FILETIME* target)
{
    if (source == nullptr || target == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    tm broken{};
    Systime2Tm(source, &broken);
    StoreFileTime(SecondsToCount(timegm(&broken)) +
                      static_cast<uint64_t>(source->wMilliseconds) * 10000,
                  target);
    return TRUE;
}

BOOL OsUserFileTimeToSystemTime(const _FILETIME* source, _SYSTEMTIME* target, BOOL local)
{
    if (source == nullptr || target == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    timespec split{};
    FileTime2Timespec(*source, split);
    tm broken{};
    if (!BreakDown(split.tv_sec, local != FALSE, &broken)) {
        return FALSE;
    }
    Tm2Systime(&broken, target);
    target->wMilliseconds = static_cast<uint16_t>(split.tv_nsec / 1000000);
    return TRUE;
}

BOOL OsUserFileTimeToSystemTime2(const _FILETIME* source, _SYSTEMTIME* target)
{
    return OsUserFileTimeToSystemTime(source, target, FALSE);
}

BOOL OsUserGetLocalTime(_SYSTEMTIME* target) { return ReadClock(target, true); }
BOOL OsUserGetSystemTime(_SYSTEMTIME* target) { return ReadClock(target, false); }
BOOL OsUserSetLocalTime(const _SYSTEMTIME* source) { return SetClock(source, true); }
BOOL OsUserSetSystemTime(const _SYSTEMTIME* source) { return SetClock(source, false); }

bool IsValidSystemTime(const _SYSTEMTIME& time)
{
    static const uint16_t kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (time.wYear < 1601 || time.wYear > 30827 || time.wMonth < 1 || time.wMonth > 12 ||
        time.wHour > 23 || time.wMinute > 59 || time.wSecond > 59 || time.wMilliseconds > 999) {
        return false;
    }
    const unsigned days =
        kDaysInMonth[time.wMonth - 1] + (time.wMonth == 2 && IsLeapYear(time.wYear) ? 1 : 0);
    return time.wDay >= 1 && time.wDay <= days;
}

void Tm2TimeZoneTime(const tm* source, _SYSTEMTIME* target)
{
    memset(target, 0, sizeof *target);
    target->wYear = static_cast<uint16_t>(source->tm_year + 1900);
    target->wMonth = static_cast<uint16_t>(source->tm_mon + 1);
    target->wHour = static_cast<uint16_t>(source->tm_hour);
    target->wMinute = static_cast<uint16_t>(source->tm_min);
    target->wDayOfWeek = static_cast<uint16_t>(source->tm_wday);
    tm copy = *source;
    const time_t weekLater = mktime(&copy) + 7 * 86400;
    tm later{};
    localtime_r(&weekLater, &later);
    target->wDay = static_cast<uint16_t>(later.tm_mon == source->tm_mon ? (source->tm_mday + 6) / 7
                                                                        : 5);
}

DWORD ReadTimeZoneRules(time_t now, OS_USER_TIME_ZONE_INFORMATIONA* target)
{
    memset(target, 0, sizeof *target);
    tm nowBroken{};
    localtime_r(&now, &nowBroken);
    const bool nowDaylight = nowBroken.tm_isdst > 0;
    const int year = nowBroken.tm_year;

    tm start{};
    start.tm_year = year;
    start.tm_mday = 1;
    start.tm_isdst = nowBroken.tm_isdst;
    time_t scan = mktime(&start);

    _SYSTEMTIME found[4] = {};
    int count = 0;
    bool havePrevious = false;
    bool previous = false;
    while (count < 4) {
        const time_t sample = scan;
        tm day{};
        localtime_r(&sample, &day);
        scan += 86400;
        if (day.tm_year > year + 1) {
            break;
        }
        if (day.tm_year < year) {
            continue;
        }
        const bool isDaylight = day.tm_isdst > 0;
        if (!havePrevious) {
            havePrevious = true;
            previous = isDaylight;
            continue;
        }
        if (isDaylight == previous) {
            continue;
        }
        // Back minute by minute to the last minute of the old state, then one forward.
        time_t moment = sample;
        tm broken{};
        do {
            moment -= 60;
            localtime_r(&moment, &broken);
        } while ((broken.tm_isdst > 0) == isDaylight);
        int hour = broken.tm_hour;
        int minute = broken.tm_min + 1;
        if (minute == 60) {
            minute = 0;
            ++hour;
        }
        moment += 60;
        tm first{};
        localtime_r(&moment, &first);
        tm wallClock = first;
        wallClock.tm_hour = hour;
        wallClock.tm_min = minute;
        _SYSTEMTIME date{};
        Tm2TimeZoneTime(&wallClock, &date);
        found[count] = date;

        if (moment > now) {
            const bool thisYear = first.tm_year == year;
            const LONG offset = static_cast<LONG>(-(first.tm_gmtoff / 60));
            if (isDaylight && (thisYear || target->DaylightName[0] == '\0')) {
                target->DaylightDate = date;
                target->DaylightBias = offset;
                StoreZoneName(first, target->DaylightName);
            } else if (!isDaylight && (thisYear || target->StandardName[0] == '\0')) {
                target->StandardDate = date;
                target->StandardBias = 0;
                target->Bias = offset;
                StoreZoneName(first, target->StandardName);
            }
        }
        ++count;
        previous = isDaylight;
        scan = moment;
        if (first.tm_year > year + 1) {
            break;
        }
    }

    if (count > 0) {
        target->DaylightBias -= target->Bias;
        if (count == 4 && SameRule(found[0], found[2]) && SameRule(found[1], found[3])) {
            target->DaylightDate.wYear = 0;
            target->StandardDate.wYear = 0;
        }
    } else {
        target->Bias = static_cast<LONG>(-(nowBroken.tm_gmtoff / 60));
        StoreZoneName(nowBroken, target->StandardName);
    }
    return nowDaylight ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

DWORD OsUserGetTimeZoneInformation(OS_USER_TIME_ZONE_INFORMATIONA* target)
{
    return ReadTimeZoneRules(time(nullptr), target);
}

const char* MonthName(int month)
{
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return month >= 1 && month <= 12 ? kMonths[month - 1] : "Invalid";
}

bool WriteZoneSource(FILE* file, const OS_USER_TIME_ZONE_INFORMATIONA* record,
                     const char* zone_name)
{
    char name[32];
    char standardName[64];
    char daylightName[64];
    SafeZoneName(record->StandardName, name);
    snprintf(standardName, sizeof standardName, "\"%s\"", name);
    SafeZoneName(record->DaylightName, name);
    snprintf(daylightName, sizeof daylightName, "\"%s\"", name);
    char offset[32];
    FormatOffset(-static_cast<int64_t>(record->Bias), offset);

    if (record->StandardDate.wMonth != 0 && record->DaylightDate.wMonth != 0) {
        WriteRule(file, record->DaylightDate, record->DaylightBias, 'D');
        WriteRule(file, record->StandardDate, record->StandardBias, 'S');
        fprintf(file, "Zone\t%s\t%s\tCustom\t%s/%s\n", zone_name, offset, standardName,
                daylightName);
    } else {
        fprintf(file, "Zone\t%s\t%s\t-\t%s\n", zone_name, offset, standardName);
    }
    return fflush(file) == 0 && fsync(fileno(file)) == 0 && ferror(file) == 0;
}

int GenerateZoneFile(const OS_USER_TIME_ZONE_INFORMATIONA* record, const char* path,
                     const char* zone_name)
{
    FILE* file = fopen(path, "we");
    if (file == nullptr) {
        return -1;
    }
    WriteZoneSource(file, record, zone_name);
    fclose(file);
    return 0;
}

bool ZoneCompilerTakesBloat(const char* compiler)
{
    // An empty source compiled with the option into a scratch directory that is then removed.
    char scratch[] = "/tmp/kv-zic-XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        return false;
    }
    char command[PATH_MAX + 64];
    snprintf(command, sizeof command, "%s -b fat -d %s /dev/null", compiler, scratch);
    int exitCode = -1;
    const bool takes = OsUserLaunchProcess(command, 0, 10000, &exitCode) == 0 && exitCode == 0;
    rmdir(scratch);
    return takes;
}

bool RecordZoneName(const char* recordPath, const char* zoneName)
{
    // Written beside the record and renamed over it: a reader sees the old name or the new one.
    char temporary[PATH_MAX];
    if (snprintf(temporary, sizeof temporary, "%s.kvXXXXXX", recordPath) >=
        static_cast<int>(sizeof temporary)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = mkstemp(temporary);
    if (fd < 0) {
        return false;
    }
    const size_t length = strlen(zoneName);
    bool written = fchmod(fd, 0644) == 0 &&
                   write(fd, zoneName, length) == static_cast<ssize_t>(length) &&
                   write(fd, "\n", 1) == 1 && fsync(fd) == 0;
    written = close(fd) == 0 && written;
    if (!written || rename(temporary, recordPath) != 0) {
        const int error = errno;
        unlink(temporary);
        errno = error;
        return false;
    }
    return true;
}

BOOL OsUserSetTimeZoneInformation(const OS_USER_TIME_ZONE_INFORMATIONA* record)
{
    if (record == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    int result = pthread_mutex_lock(&g_installLock);
    if (result != 0) {
        errno = result;
        return FALSE;
    }
    const BOOL installed = InstallZone(record);
    const int error = errno;
    result = pthread_mutex_unlock(&g_installLock);
    errno = result != 0 ? result : error;
    return result == 0 ? installed : FALSE;
}

BOOL OsUserGetVersionInfo(_OSVERSIONINFOA* target)
{
    memset(target, 0, sizeof *target);
    utsname system{};
    if (uname(&system) == 0) {
        char* release = system.release;
        release[strcspn(release, "-")] = '\0';
        char* dot = strchr(release, '.');
        if (dot != nullptr) {
            *dot = '\0';
            target->dwMinorVersion = static_cast<DWORD>(atoi(dot + 1));
        }
        target->dwMajorVersion = static_cast<DWORD>(atoi(release));
    }
    target->dwOSVersionInfoSize = sizeof *target;
    snprintf(target->szCSDVersion, sizeof target->szCSDVersion, "%s", "Korvel/BSD");
    return TRUE;
}
