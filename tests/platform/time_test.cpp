// Time records, file-time conversions, zone rules read from POSIX TZ strings and the
// zone-compiler source. Nothing here touches the clock or the system's zone: zones are
// chosen through this process's TZ variable only.
#include "KvPlatformHelper.h"
#include "../../platform/OsUserTimeInternal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

uint64_t Count(const _FILETIME& fileTime)
{
    return (uint64_t{fileTime.dwHighDateTime} << 32) | fileTime.dwLowDateTime;
}

_FILETIME FileTime(uint64_t count)
{
    return _FILETIME{static_cast<DWORD>(count), static_cast<DWORD>(count >> 32)};
}

std::string Text(const _SYSTEMTIME& t)
{
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u (%u) %02u:%02u:%02u.%03u", t.wYear, t.wMonth,
             t.wDay, t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

struct FileTimeCase {
    const char* name;
    uint64_t count;
    time_t seconds;  // the floor of the count in seconds since 1970
    long nanoseconds;
    _SYSTEMTIME utc;
};

const FileTimeCase kFileTimes[] = {
    {"epoch", 116444736000000000ull, 0, 0, {1970, 1, 4, 1, 0, 0, 0, 0}},
    {"2026", 134116992000000000ull, 1767225600, 0, {2026, 1, 4, 1, 0, 0, 0, 0}},
    {"2040 beyond 32-bit seconds", 138534624000000000ull, 2208988800, 0,
     {2040, 1, 0, 1, 0, 0, 0, 0}},
    {"1.5 s before the epoch", 116444735985000000ull, -2, 500000000,
     {1969, 12, 3, 31, 23, 59, 58, 500}},
    {"maximum", 0xFFFFFFFFFFFFFFFFull, 1833029933770, 955161500,
     {60056, 5, 0, 28, 5, 36, 10, 955}},
};

class FileTimes : public testing::TestWithParam<FileTimeCase> {};

TEST_P(FileTimes, ConvertBothWays)
{
    const FileTimeCase& c = GetParam();
    timespec split{};
    FileTime2Timespec(FileTime(c.count), split);
    EXPECT_EQ(c.seconds, split.tv_sec);
    EXPECT_EQ(c.nanoseconds, split.tv_nsec);
    EXPECT_EQ(c.count, Timespec2FileTime(split));
    _FILETIME back{};
    Timespec2FileTime(split, back);
    EXPECT_EQ(c.count, Count(back));
    Timet2FileTime(c.seconds, &back);
    EXPECT_EQ(c.count - c.count % 10000000, Count(back));

    _SYSTEMTIME broken{};
    const _FILETIME fileTime = FileTime(c.count);
    ASSERT_EQ(TRUE, OsUserFileTimeToSystemTime2(&fileTime, &broken));
    EXPECT_EQ(Text(c.utc), Text(broken));
    ASSERT_EQ(TRUE, OsUserSystemTimeToFileTime(&c.utc, &back));
    EXPECT_EQ(c.count - c.count % 10000, Count(back));  // milliseconds are the finest unit
}

INSTANTIATE_TEST_SUITE_P(Counts, FileTimes, testing::ValuesIn(kFileTimes),
                         [](const testing::TestParamInfo<FileTimeCase>& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// Runs a test under a zone given as a POSIX rule string; restores TZ afterwards.
class ZoneTest : public testing::Test {
protected:
    void TearDown() override
    {
        if (saved_.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", saved_.c_str(), 1);
        }
        tzset();
    }
    void UseZone(const char* rules)
    {
        ASSERT_EQ(0, setenv("TZ", rules, 1));
        tzset();
    }
    std::string saved_ = getenv("TZ") != nullptr ? getenv("TZ") : "";
};

TEST_F(ZoneTest, LocalConversionsFollowTheZone)
{
    UseZone("JST-9");
    const _SYSTEMTIME utc{2026, 7, 0, 15, 20, 30, 0, 250};
    _SYSTEMTIME local{};
    EXPECT_EQ(0, Systime2LocalTime(&utc, &local));
    EXPECT_EQ(Text({2026, 7, 4, 16, 5, 30, 0, 250}), Text(local));

    const _FILETIME fileTime = FileTime(134116992000000000ull);
    ASSERT_EQ(TRUE, OsUserFileTimeToSystemTime(&fileTime, &local, TRUE));
    EXPECT_EQ(Text({2026, 1, 4, 1, 9, 0, 0, 0}), Text(local));

    _SYSTEMTIME now{};
    _SYSTEMTIME nowLocal{};
    ASSERT_EQ(TRUE, OsUserGetSystemTime(&now));
    ASSERT_EQ(TRUE, OsUserGetLocalTime(&nowLocal));
    EXPECT_EQ((now.wHour + 9) % 24, nowLocal.wHour % 24);  // unless an hour passed between
}

struct ZoneCase {
    const char* name;
    const char* rules;
    int month;  // of "now"
    DWORD result;
    LONG bias;
    const char* standardName;
    _SYSTEMTIME standardDate;
    const char* daylightName;
    _SYSTEMTIME daylightDate;
    LONG daylightBias;
};

const ZoneCase kZones[] = {
    {"EuWinter", "CET-1CEST,M3.5.0,M10.5.0/3", 1, TIME_ZONE_ID_STANDARD, -60, "CET",
     {0, 10, 0, 5, 3, 0, 0, 0}, "CEST", {0, 3, 0, 5, 2, 0, 0, 0}, -60},
    {"EuSummer", "CET-1CEST,M3.5.0,M10.5.0/3", 7, TIME_ZONE_ID_DAYLIGHT, -60, "CET",
     {0, 10, 0, 5, 3, 0, 0, 0}, "CEST", {0, 3, 0, 5, 2, 0, 0, 0}, -60},
    {"UsWinter", "EST5EDT,M3.2.0,M11.1.0", 1, TIME_ZONE_ID_STANDARD, 300, "EST",
     {0, 11, 0, 1, 2, 0, 0, 0}, "EDT", {0, 3, 0, 2, 2, 0, 0, 0}, -60},
    {"UsSummer", "EST5EDT,M3.2.0,M11.1.0", 7, TIME_ZONE_ID_DAYLIGHT, 300, "EST",
     {0, 11, 0, 1, 2, 0, 0, 0}, "EDT", {0, 3, 0, 2, 2, 0, 0, 0}, -60},
    {"SouthernSummer", "AEST-10AEDT,M10.1.0,M4.1.0/3", 1, TIME_ZONE_ID_DAYLIGHT, -600, "AEST",
     {0, 4, 0, 1, 3, 0, 0, 0}, "AEDT", {0, 10, 0, 1, 2, 0, 0, 0}, -60},
    {"SouthernWinter", "AEST-10AEDT,M10.1.0,M4.1.0/3", 7, TIME_ZONE_ID_STANDARD, -600, "AEST",
     {0, 4, 0, 1, 3, 0, 0, 0}, "AEDT", {0, 10, 0, 1, 2, 0, 0, 0}, -60},
    {"NoDaylightJanuary", "JST-9", 1, TIME_ZONE_ID_STANDARD, -540, "JST", {}, "", {}, 0},
    {"NoDaylightJuly", "JST-9", 7, TIME_ZONE_ID_STANDARD, -540, "JST", {}, "", {}, 0},
};

class ZoneRules : public ZoneTest, public testing::WithParamInterface<ZoneCase> {};

TEST_P(ZoneRules, ReadBackAsWin32Rules)
{
    const ZoneCase& c = GetParam();
    UseZone(c.rules);
    tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = c.month - 1;
    when.tm_mday = 15;
    when.tm_hour = 12;
    OS_USER_TIME_ZONE_INFORMATIONA zone;
    memset(&zone, 0x5A, sizeof zone);  // every field must be written
    EXPECT_EQ(c.result, ReadTimeZoneRules(timegm(&when), &zone));
    EXPECT_EQ(c.bias, zone.Bias);
    EXPECT_STREQ(c.standardName, zone.StandardName);
    EXPECT_EQ(Text(c.standardDate), Text(zone.StandardDate));
    EXPECT_EQ(0, zone.StandardBias);
    EXPECT_STREQ(c.daylightName, zone.DaylightName);
    EXPECT_EQ(Text(c.daylightDate), Text(zone.DaylightDate));
    EXPECT_EQ(c.daylightBias, zone.DaylightBias);

    // The public call reads the same rules as of the real now.
    OS_USER_TIME_ZONE_INFORMATIONA current{};
    OsUserGetTimeZoneInformation(&current);
    EXPECT_EQ(c.bias, current.Bias);
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneRules, testing::ValuesIn(kZones),
                         [](const testing::TestParamInfo<ZoneCase>& param) {
                             return std::string(param.param.name);
                         });

// A record as read for a zone, with the names given.
OS_USER_TIME_ZONE_INFORMATIONA Record(LONG bias, const char* standardName,
                                      const char* daylightName, bool withDaylight)
{
    OS_USER_TIME_ZONE_INFORMATIONA zone{};
    zone.Bias = bias;
    strncpy(zone.StandardName, standardName, sizeof zone.StandardName);
    strncpy(zone.DaylightName, daylightName, sizeof zone.DaylightName);
    if (withDaylight) {
        zone.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
        zone.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
        zone.DaylightBias = -60;
    }
    return zone;
}

struct ZoneFileCase {
    const char* name;
    OS_USER_TIME_ZONE_INFORMATIONA record;
    const char* text;
};

OS_USER_TIME_ZONE_INFORMATIONA UsRecord()
{
    OS_USER_TIME_ZONE_INFORMATIONA zone = Record(300, "EST", "EDT", true);
    zone.StandardDate = {0, 11, 0, 1, 2, 0, 0, 0};
    zone.DaylightDate = {0, 3, 6, 2, 2, 30, 0, 0};
    return zone;
}

OS_USER_TIME_ZONE_INFORMATIONA UnterminatedNames()
{
    OS_USER_TIME_ZONE_INFORMATIONA zone = Record(-60, "", "", false);
    memset(zone.StandardName, 'A', sizeof zone.StandardName);
    memset(zone.DaylightName, 'B', sizeof zone.DaylightName);
    return zone;
}

const ZoneFileCase kZoneFiles[] = {
    {"EuropeanRules", Record(-60, "CET", "CEST", true),
     "Rule\tCustom\t1970\tmax\t-\tMar lastSun\t02:00\t+01:00\tD\n"
     "Rule\tCustom\t1970\tmax\t-\tOct lastSun\t03:00\t+00:00\tS\n"
     "Zone\tKvCustom0/Timezone\t+01:00\tCustom\t\"CET\"/\"CEST\"\n"},
    {"UsRulesWeekDays", UsRecord(),
     "Rule\tCustom\t1970\tmax\t-\tMar Sat>=8\t02:30\t+01:00\tD\n"
     "Rule\tCustom\t1970\tmax\t-\tNov Sun>=1\t02:00\t+00:00\tS\n"
     "Zone\tKvCustom0/Timezone\t-05:00\tCustom\t\"EST\"/\"EDT\"\n"},
    {"HalfHourWestKeepsItsSign", Record(30, "M0030", "", false),
     "Zone\tKvCustom0/Timezone\t-00:30\t-\t\"M0030\"\n"},
    {"HalfHourEast", Record(-30, "P0030", "", false),
     "Zone\tKvCustom0/Timezone\t+00:30\t-\t\"P0030\"\n"},
    {"ThreeAndAHalfWest", Record(210, "NST", "", false),
     "Zone\tKvCustom0/Timezone\t-03:30\t-\t\"NST\"\n"},
    {"SignedNames", Record(-330, "+0530", "-01", false),
     "Zone\tKvCustom0/Timezone\t+05:30\t-\t\"+0530\"\n"},
    {"EmptyName", Record(0, "", "", false), "Zone\tKvCustom0/Timezone\t+00:00\t-\t\"KV\"\n"},
    {"NamesThatWouldInjectLines", Record(-60, "X\"\nZone\tEvil", "A B", true),
     "Rule\tCustom\t1970\tmax\t-\tMar lastSun\t02:00\t+01:00\tD\n"
     "Rule\tCustom\t1970\tmax\t-\tOct lastSun\t03:00\t+00:00\tS\n"
     "Zone\tKvCustom0/Timezone\t+01:00\tCustom\t\"KV\"/\"KV\"\n"},
    {"UnterminatedNamesReadUpTo31Bytes", UnterminatedNames(),
     "Zone\tKvCustom0/Timezone\t+01:00\t-\t\"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\"\n"},
};

class ZoneFiles : public testing::TestWithParam<ZoneFileCase> {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvtime-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        directory_ = pattern;
        path_ = directory_ + "/zone.txt";
    }
    void TearDown() override
    {
        unlink(path_.c_str());
        rmdir(directory_.c_str());
    }
    std::string directory_;
    std::string path_;
};

TEST_P(ZoneFiles, WriteTheCompilerSourceExactly)
{
    { std::ofstream(path_) << "an older, longer content that must be truncated\n\n\n"; }
    ASSERT_EQ(0, GenerateZoneFile(&GetParam().record, path_.c_str(), "KvCustom0/Timezone"));
    std::stringstream written;
    written << std::ifstream(path_).rdbuf();
    EXPECT_EQ(GetParam().text, written.str());
}

TEST_F(ZoneTest, ZoneFileThatCannotBeOpenedFails)
{
    const OS_USER_TIME_ZONE_INFORMATIONA zone = Record(0, "UTC", "", false);
    EXPECT_EQ(-1, GenerateZoneFile(&zone, "/nonexistent-kv/zone", "KvCustom0/Timezone"));
}

INSTANTIATE_TEST_SUITE_P(Records, ZoneFiles, testing::ValuesIn(kZoneFiles),
                         [](const testing::TestParamInfo<ZoneFileCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(TimeNames, MonthNamesAndTheVersionRecord)
{
    EXPECT_STREQ("Jan", MonthName(1));
    EXPECT_STREQ("Dec", MonthName(12));
    EXPECT_STREQ("Invalid", MonthName(0));
    EXPECT_STREQ("Invalid", MonthName(13));
    EXPECT_STREQ("Invalid", MonthName(-1));

    _OSVERSIONINFOA version;
    memset(&version, 0x5A, sizeof version);
    ASSERT_EQ(TRUE, OsUserGetVersionInfo(&version));
    EXPECT_EQ(148u, version.dwOSVersionInfoSize);
    EXPECT_STREQ("Korvel/BSD", version.szCSDVersion);
    EXPECT_EQ(0u, version.dwBuildNumber);
    EXPECT_EQ(0u, version.dwPlatformId);
    utsname system{};
    ASSERT_EQ(0, uname(&system));
    unsigned major = 0;
    unsigned minor = 0;
    ASSERT_EQ(2, sscanf(system.release, "%u.%u", &major, &minor));
    EXPECT_EQ(major, version.dwMajorVersion);
    EXPECT_EQ(minor, version.dwMinorVersion);
}

}  // namespace
