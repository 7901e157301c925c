// Setting the clock, through a link seam: this program is linked with
// -Wl,--wrap=settimeofday, so every clock change the layer makes lands in
// __wrap_settimeofday and is only recorded (or made to fail); none reaches the real clock.
#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {
std::vector<long long> g_captured;  // every time the layer asked to set, in microseconds
int g_failWith = 0;                 // when not 0, the error every set fails with
}  // namespace

extern "C" int __wrap_settimeofday(const timeval* value, const struct timezone*)
{
    if (g_failWith != 0) {
        errno = g_failWith;
        return -1;
    }
    g_captured.push_back(value->tv_sec * 1000000LL + value->tv_usec);
    return 0;
}

namespace {

TEST(ClockSeam, ValidRecordsSetTheMomentTheyNameAndInvalidOnesNeverReachTheClock)
{
    // The moment set in microseconds since 1970, -1 when the record is refused.
    struct Row { const char* zone; bool local; _SYSTEMTIME time; long long micro; };
    const char *cet = "CET-1CEST,M3.5.0,M10.5.0/3", *u = "UTC0";
    const Row rows[] = {
        {u, false, {2026, 7, 3, 1, 12, 34, 56, 789}, 1782909296789000},
        {cet, true, {2026, 7, 3, 1, 14, 34, 56, 789}, 1782909296789000},  // summer time
        {cet, true, {2026, 1, 0, 15, 13, 0, 0, 0}, 1768478400000000},
        {cet, false, {2026, 1, 0, 15, 13, 0, 0, 0}, 1768482000000000},
        {u, false, {2024, 2, 0, 29, 23, 59, 59, 999}, 1709251199999000}, {u, false, {2040, 1, 0, 1, 0, 0, 0, 0}, 2208988800000000},
        // Out of range: month, day for the month (leap years too), hour, minute, second,
        // milliseconds and year.
        {u, 0, {2026, 0, 0, 1, 0, 0, 0, 0}, -1}, {u, 1, {2026, 13, 0, 1, 0, 0, 0, 0}, -1}, {u, 0, {2026, 1, 0, 0, 0, 0, 0, 0}, -1},
        {u, 1, {2026, 4, 0, 31, 0, 0, 0, 0}, -1}, {u, 0, {2026, 2, 0, 29, 0, 0, 0, 0}, -1}, {u, 0, {1900, 2, 0, 29, 0, 0, 0, 0}, -1},
        {u, 1, {2026, 1, 0, 1, 24, 0, 0, 0}, -1}, {u, 0, {2026, 1, 0, 1, 0, 60, 0, 0}, -1}, {u, 1, {2026, 1, 0, 1, 0, 0, 60, 0}, -1},
        {u, 0, {2026, 1, 0, 1, 0, 0, 0, 1000}, -1}, {u, 0, {1600, 1, 0, 1, 0, 0, 0, 0}, -1},
    };
    for (const Row& row : rows) {  // this program's own TZ: nothing else runs in it
        SCOPED_TRACE(std::to_string(&row - rows));
        setenv("TZ", row.zone, 1);
        tzset();
        g_captured.clear();
        errno = 0;
        const BOOL set = row.local ? OsUserSetLocalTime(&row.time) : OsUserSetSystemTime(&row.time);
        EXPECT_EQ(row.micro >= 0 ? TRUE : FALSE, set);
        EXPECT_EQ(row.micro >= 0 ? 0 : EINVAL, errno);
        EXPECT_EQ(row.micro >= 0 ? std::vector<long long>{row.micro} : std::vector<long long>{}, g_captured);
    }
    EXPECT_EQ(FALSE, OsUserSetSystemTime(nullptr));
}

TEST(ClockSeam, AFailedSetReportsFalseWithTheSystemsError)
{
    const _SYSTEMTIME valid{2026, 7, 3, 1, 12, 34, 56, 789};
    g_failWith = EPERM;  // what an unprivileged caller gets
    for (const auto set : {OsUserSetSystemTime, OsUserSetLocalTime}) {
        errno = 0;
        EXPECT_TRUE(set(&valid) == FALSE && errno == EPERM);
    }
    g_failWith = 0;
}

}  // namespace
