// Time records, file-time conversions, zone rules read from POSIX TZ strings and the
// zone-compiler source. Nothing here touches the clock or the system's zone: zones are
// chosen through this process's TZ variable only.
#include "KvPlatformHelper.h"
#include "../../platform/OsUserTimeInternal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

uint64_t Count(const _FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

std::string Text(const _SYSTEMTIME& t)
{
    char text[64];
    snprintf(text, sizeof text, "%u-%u-%u (%u) %u:%u:%u.%u", t.wYear, t.wMonth, t.wDay,
             t.wDayOfWeek, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

TEST(FileTimes, ConvertBothWays)
{
    struct Row { uint64_t count; time_t seconds; long nanoseconds; _SYSTEMTIME utc; };
    const Row rows[] = {
        {116444736000000000ull, 0, 0, {1970, 1, 4, 1, 0, 0, 0, 0}},                 // epoch
        {134116992000000000ull, 1767225600, 0, {2026, 1, 4, 1, 0, 0, 0, 0}},
        {138534624000000000ull, 2208988800, 0, {2040, 1, 0, 1, 0, 0, 0, 0}},        // > 32 bits
        {116444735985000000ull, -2, 500000000, {1969, 12, 3, 31, 23, 59, 58, 500}},  // -1.5 s
        {~0ull, 1833029933770, 955161500, {60056, 5, 0, 28, 5, 36, 10, 955}},        // maximum
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(Text(row.utc));
        const _FILETIME fileTime{static_cast<DWORD>(row.count), static_cast<DWORD>(row.count >> 32)};
        timespec split{};
        _FILETIME seconds{}, milliseconds{};  // the finest units of time_t and of a record
        _SYSTEMTIME broken{};
        FileTime2Timespec(fileTime, split);
        Timet2FileTime(row.seconds, &seconds);
        ASSERT_TRUE(OsUserFileTimeToSystemTime2(&fileTime, &broken) && OsUserSystemTimeToFileTime(&row.utc, &milliseconds));
        EXPECT_EQ(Text(row.utc), Text(broken));
        EXPECT_EQ((std::vector<uint64_t>{uint64_t(row.seconds), uint64_t(row.nanoseconds), row.count,
                                         row.count - row.count % 10000000, row.count - row.count % 10000}),
                  (std::vector<uint64_t>{uint64_t(split.tv_sec), uint64_t(split.tv_nsec), Timespec2FileTime(split),
                                         Count(seconds), Count(milliseconds)}));
    }
}

// Runs a test under zones given as POSIX rule strings; restores TZ afterwards.
class Zone : public testing::Test {
protected:
    void TearDown() override { Use(saved_.empty() ? nullptr : saved_.c_str()); }
    static void Use(const char* rules) { rules != nullptr ? setenv("TZ", rules, 1) : unsetenv("TZ"); tzset(); }
    std::string saved_ = getenv("TZ") != nullptr ? getenv("TZ") : "";
};

TEST_F(Zone, RulesReadBackInWinterAndSummerAndLocalTimesFollowThem)
{
    const _SYSTEMTIME euStd{0, 10, 0, 5, 3, 0, 0, 0}, euDst{0, 3, 0, 5, 2, 0, 0, 0};
    const _SYSTEMTIME usStd{0, 11, 0, 1, 2, 0, 0, 0}, usDst{0, 3, 0, 2, 2, 0, 0, 0};
    const _SYSTEMTIME auStd{0, 4, 0, 1, 3, 0, 0, 0}, auDst{0, 10, 0, 1, 2, 0, 0, 0}, none{};
    // The result read on 15 January and 15 July 2026: 1 standard time, 2 daylight time.
    struct Row { const char* rules; DWORD january, july; LONG bias; const char* names;
                 _SYSTEMTIME standard, daylight; LONG daylightBias; };
    const Row rows[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1, 2, -60, "CET CEST", euStd, euDst, -60},
        {"EST5EDT,M3.2.0,M11.1.0", 1, 2, 300, "EST EDT", usStd, usDst, -60},
        {"AEST-10AEDT,M10.1.0,M4.1.0/3", 2, 1, -600, "AEST AEDT", auStd, auDst, -60},
        {"JST-9", 1, 1, -540, "JST ", none, none, 0},
    };
    for (const Row& row : rows)
        for (const time_t when : {1768435200, 1784073600}) {
            SCOPED_TRACE(std::string(row.rules) + " at " + std::to_string(when));
            Use(row.rules);
            OS_USER_TIME_ZONE_INFORMATIONA z;
            memset(&z, 0x5A, sizeof z);  // every field must be written
            EXPECT_EQ(when == 1768435200 ? row.january : row.july, ReadTimeZoneRules(when, &z));
            EXPECT_EQ((std::vector<LONG>{row.bias, 0, row.daylightBias}), (std::vector<LONG>{z.Bias, z.StandardBias, z.DaylightBias}));
            EXPECT_EQ(row.names, std::string(z.StandardName) + " " + z.DaylightName);
            EXPECT_EQ(Text(row.standard) + Text(row.daylight), Text(z.StandardDate) + Text(z.DaylightDate));
            OsUserGetTimeZoneInformation(&z);  // the same zone, seen from the real now
            EXPECT_EQ(row.bias, z.Bias);
        }
    // Local times in the last zone, JST-9.
    const _SYSTEMTIME utc{2026, 7, 0, 15, 20, 30, 0, 250};
    const _FILETIME fileTime{0x92810000, 0x1DC7AB1};  // 2026-01-01 00:00 UTC
    _SYSTEMTIME local{}, fromFileTime{}, now{};
    ASSERT_EQ(0, Systime2LocalTime(&utc, &local));
    ASSERT_EQ(TRUE, OsUserFileTimeToSystemTime(&fileTime, &fromFileTime, TRUE));
    EXPECT_EQ(Text({2026, 7, 4, 16, 5, 30, 0, 250}) + Text({2026, 1, 4, 1, 9, 0, 0, 0}), Text(local) + Text(fromFileTime));
    ASSERT_TRUE(OsUserGetSystemTime(&now) && OsUserGetLocalTime(&local));
    EXPECT_EQ((now.wHour + 9) % 24, local.wHour);  // unless an hour began in between
}

constexpr _SYSTEMTIME kOctober{0, 10, 0, 5, 3, 0, 0, 0}, kMarch{0, 3, 6, 2, 2, 30, 0, 0};  // European rules

TEST(ZoneFile, TheCompilerSourceIsExactAndNamesCannotInjectLines)
{
    OS_USER_TIME_ZONE_INFORMATIONA unterminated = {-60, "", {}, 0, "", {}, 0};
    memset(unterminated.StandardName, 'A', sizeof unterminated.StandardName);
    memset(unterminated.DaylightName, 'B', sizeof unterminated.DaylightName);
    const std::string rules = "Rule\tCustom\t1970\tmax\t-\tMar Sat>=8\t02:30\t+01:00\tD\n"
                              "Rule\tCustom\t1970\tmax\t-\tOct lastSun\t03:00\t+00:00\tS\n";
    const std::pair<OS_USER_TIME_ZONE_INFORMATIONA, std::string> rows[] = {
        {{-60, "CET", kOctober, 0, "CEST", kMarch, -60}, rules + "Zone\tKv/Z\t+01:00\tCustom\t\"CET\"/\"CEST\"\n"},
        {{30, "M0030", {}, 0, "", {}, 0}, "Zone\tKv/Z\t-00:30\t-\t\"M0030\"\n"},
        {{-30, "+0030", {}, 0, "", {}, 0}, "Zone\tKv/Z\t+00:30\t-\t\"+0030\"\n"},
        {{210, "NST", {}, 0, "", {}, 0}, "Zone\tKv/Z\t-03:30\t-\t\"NST\"\n"},
        {{0, "", {}, 0, "", {}, 0}, "Zone\tKv/Z\t+00:00\t-\t\"KV\"\n"},
        {{-60, "X\"\nZone\tEvil", kOctober, 0, "A B", kMarch, -60}, rules + "Zone\tKv/Z\t+01:00\tCustom\t\"KV\"/\"KV\"\n"},
        {unterminated, "Zone\tKv/Z\t+01:00\t-\t\"" + std::string(31, 'A') + "\"\n"},
    };
    char path[] = "/tmp/kvtime-XXXXXX";
    close(mkstemp(path));
    for (const auto& [record, text] : rows) {
        std::ofstream(path) << "older and longer content that must be truncated\n\n\n\n\n";
        ASSERT_EQ(0, GenerateZoneFile(&record, path, "Kv/Z"));
        EXPECT_EQ(text, std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {}));
    }
    unlink(path);
    EXPECT_EQ(-1, GenerateZoneFile(&rows[0].first, "/nonexistent-kv/zone", "Kv/Z"));
}

// FreeBSD 13.0 and 13.1's zone compiler has no -b: two stand-ins, one without it, one that
// takes exactly the probe's arguments. Then FreeBSD's zone record, replaced as a whole.
TEST(ZoneInstallation, CompilerOptionProbeAndZoneRecord)
{
    char dir[] = "/tmp/kvzic-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string without = dir + std::string("/without"), with = dir + std::string("/with"), record = dir + std::string("/zoneinfo");
    std::ofstream(without) << "#!/bin/sh\ncase \"$1\" in -b) echo \"zic: invalid option -- 'b'\" >&2; exit 1;; esac\n";
    std::ofstream(with) << "#!/bin/sh\n[ \"$1 $2 $3 $5\" = \"-b fat -d /dev/null\" ] && [ -d \"$4\" ]\n";
    ASSERT_TRUE(chmod(without.c_str(), 0700) == 0 && chmod(with.c_str(), 0700) == 0);
    EXPECT_FALSE(ZoneCompilerTakesBloat(without.c_str()));
    EXPECT_TRUE(ZoneCompilerTakesBloat(with.c_str()));

    std::ofstream(record) << "Europe/Berlin\nand more\n";
    ASSERT_TRUE(RecordZoneName(record.c_str(), "KvCustom1/Timezone"));
    EXPECT_EQ("KvCustom1/Timezone\n", std::string(std::istreambuf_iterator<char>(std::ifstream(record).rdbuf()), {}));
    EXPECT_FALSE(RecordZoneName((dir + std::string("/missing/zoneinfo")).c_str(), "KvCustom0/Timezone"));
    for (const std::string& name : {without, with, record})
        unlink(name.c_str());
    EXPECT_EQ(0, rmdir(dir));  // nothing else was left there
}

TEST(TimeNames, MonthNamesAndTheVersionRecord)
{
    EXPECT_EQ("Jan Dec Invalid Invalid", std::string(MonthName(1)) + " " + MonthName(12) + " " +
                                             MonthName(0) + " " + MonthName(13));
    _OSVERSIONINFOA version;
    memset(&version, 0x5A, sizeof version);
    ASSERT_EQ(TRUE, OsUserGetVersionInfo(&version));
    EXPECT_EQ("148 Korvel/BSD 0", std::to_string(version.dwOSVersionInfoSize) + " " + version.szCSDVersion + " " +
                                      std::to_string(version.dwBuildNumber + version.dwPlatformId));
    utsname system{};
    unsigned major = 0, minor = 0;
    ASSERT_TRUE(uname(&system) == 0 && sscanf(system.release, "%u.%u", &major, &minor) == 2);
    EXPECT_EQ(major * 1000 + minor, version.dwMajorVersion * 1000 + version.dwMinorVersion);
}

}  // namespace
