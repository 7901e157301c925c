// Setting the clock, through a link seam: this program is linked with
// -Wl,--wrap=settimeofday, so every clock change the layer makes lands in
// __wrap_settimeofday and is only recorded. The one call that reaches the real clock is made
// by a child that has given up root, and it sets the time it has just read.
#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<timeval> g_captured;  // every time the layer asked to set
bool g_reachRealClock = false;    // only in the child without privileges

}  // namespace

extern "C" int __real_settimeofday(const timeval* value, const struct timezone* zone);

extern "C" int __wrap_settimeofday(const timeval* value, const struct timezone* zone)
{
    if (g_reachRealClock) {
        return __real_settimeofday(value, zone);
    }
    g_captured.push_back(*value);
    return 0;
}

namespace {

class ClockSeam : public testing::Test {
protected:
    void SetUp() override { g_captured.clear(); }
    void TearDown() override
    {
        if (saved_.empty()) {
            unsetenv("TZ");
        } else {
            setenv("TZ", saved_.c_str(), 1);
        }
        tzset();
    }
    std::string saved_ = getenv("TZ") != nullptr ? getenv("TZ") : "";
};

struct ValidCase {
    const char* zone;
    bool local;
    _SYSTEMTIME time;
    time_t seconds;
    suseconds_t microseconds;
};

TEST_F(ClockSeam, ValidRecordsSetTheMomentTheyName)
{
    const ValidCase cases[] = {
        {"UTC0", false, {2026, 7, 3, 1, 12, 34, 56, 789}, 1782909296, 789000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", true, {2026, 7, 3, 1, 14, 34, 56, 789}, 1782909296, 789000},
        {"CET-1CEST,M3.5.0,M10.5.0/3", true, {2026, 1, 0, 15, 13, 0, 0, 0}, 1768478400, 0},
        {"CET-1CEST,M3.5.0,M10.5.0/3", false, {2026, 1, 0, 15, 13, 0, 0, 0}, 1768482000, 0},
        {"UTC0", false, {2024, 2, 0, 29, 23, 59, 59, 999}, 1709251199, 999000},
        {"UTC0", false, {2000, 2, 0, 29, 0, 0, 0, 0}, 951782400, 0},
        {"UTC0", false, {2040, 1, 0, 1, 0, 0, 0, 0}, 2208988800, 0},
    };
    for (const ValidCase& c : cases) {
        ASSERT_EQ(0, setenv("TZ", c.zone, 1));
        tzset();
        g_captured.clear();
        EXPECT_EQ(TRUE, c.local ? OsUserSetLocalTime(&c.time) : OsUserSetSystemTime(&c.time));
        ASSERT_EQ(1u, g_captured.size()) << c.time.wYear << "-" << c.time.wMonth;
        EXPECT_EQ(c.seconds, g_captured[0].tv_sec) << c.time.wYear << "-" << c.time.wMonth;
        EXPECT_EQ(c.microseconds, g_captured[0].tv_usec);
    }
}

TEST_F(ClockSeam, InvalidRecordsNeverReachTheClock)
{
    const _SYSTEMTIME good{2026, 3, 0, 31, 12, 0, 0, 0};
    auto with = [&good](auto change) {
        _SYSTEMTIME t = good;
        change(t);
        return t;
    };
    const _SYSTEMTIME invalid[] = {
        with([](_SYSTEMTIME& t) { t.wMonth = 0; }),
        with([](_SYSTEMTIME& t) { t.wMonth = 13; }),
        with([](_SYSTEMTIME& t) { t.wDay = 0; }),
        with([](_SYSTEMTIME& t) { t.wDay = 32; }),
        with([](_SYSTEMTIME& t) { t.wMonth = 4; }),  // April 31
        with([](_SYSTEMTIME& t) { t.wMonth = 2, t.wDay = 29; }),
        with([](_SYSTEMTIME& t) { t.wYear = 1900, t.wMonth = 2, t.wDay = 29; }),
        with([](_SYSTEMTIME& t) { t.wHour = 24; }),
        with([](_SYSTEMTIME& t) { t.wMinute = 60; }),
        with([](_SYSTEMTIME& t) { t.wSecond = 60; }),
        with([](_SYSTEMTIME& t) { t.wMilliseconds = 1000; }),
        with([](_SYSTEMTIME& t) { t.wYear = 1600; }),
        with([](_SYSTEMTIME& t) { t.wYear = 65535; }),
    };
    for (const _SYSTEMTIME& t : invalid) {
        for (bool local : {false, true}) {
            errno = 0;
            EXPECT_EQ(FALSE, local ? OsUserSetLocalTime(&t) : OsUserSetSystemTime(&t))
                << t.wYear << "-" << t.wMonth << "-" << t.wDay << " " << t.wHour << ":"
                << t.wMinute << ":" << t.wSecond << "." << t.wMilliseconds;
            EXPECT_EQ(EINVAL, errno);
        }
    }
    errno = 0;
    EXPECT_EQ(FALSE, OsUserSetSystemTime(nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_TRUE(g_captured.empty());
}

// Gives up root for good; true when the process can no longer regain it.
bool DropPrivileges()
{
    if (getuid() == 0 || geteuid() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            return false;
        }
    }
    return getuid() != 0 && geteuid() != 0 && setuid(0) != 0;
}

TEST_F(ClockSeam, AFailedSetReportsFalseWithTheSystemsError)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!DropPrivileges()) {
            _exit(2);
        }
        // Even if the call went through, it would set the clock to the time it reads now.
        _SYSTEMTIME now{};
        if (OsUserGetSystemTime(&now) != TRUE) {
            _exit(3);
        }
        g_reachRealClock = true;
        errno = 0;
        const BOOL set = OsUserSetSystemTime(&now);
        _exit(set == FALSE && errno == EPERM ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "2: root not dropped, 3: no time, 4: set did not fail";
}

}  // namespace
