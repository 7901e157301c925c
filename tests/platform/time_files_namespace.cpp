// Installing time zones and filling a disk: the calls under test write /etc/localtime,
// /usr/share/zoneinfo and /tmp, so this program runs only where those are private throw-away
// copies: in its own mount namespace, with overlays over /etc and /usr/share/zoneinfo and a
// tmpfs over /tmp (time_files_namespace.sh sets them up). Anywhere else it refuses to start.
#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mount.h>
#include <sys/vfs.h>
#endif

namespace {

std::string LinkTarget(const char* path)
{
    char target[PATH_MAX] = {};
    const ssize_t length = readlink(path, target, sizeof target - 1);
    return length < 0 ? std::string() : std::string(target, static_cast<size_t>(length));
}

// Names in directory that begin with prefix.
std::vector<std::string> NamesStartingWith(const char* directory, const char* prefix)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(directory)) {
        while (dirent* entry = readdir(d)) {
            if (strncmp(entry->d_name, prefix, strlen(prefix)) == 0) {
                names.push_back(entry->d_name);
            }
        }
        closedir(d);
    }
    return names;
}

OS_USER_TIME_ZONE_INFORMATIONA Zone(LONG bias, const char* standardName, _SYSTEMTIME standardDate,
                                    const char* daylightName, _SYSTEMTIME daylightDate)
{
    OS_USER_TIME_ZONE_INFORMATIONA zone{};
    zone.Bias = bias;
    strncpy(zone.StandardName, standardName, sizeof zone.StandardName - 1);
    zone.StandardDate = standardDate;
    strncpy(zone.DaylightName, daylightName, sizeof zone.DaylightName - 1);
    zone.DaylightDate = daylightDate;
    zone.DaylightBias = daylightDate.wMonth != 0 ? -60 : 0;
    return zone;
}

const OS_USER_TIME_ZONE_INFORMATIONA kEurope =
    Zone(-60, "CET", {0, 10, 0, 5, 3, 0, 0, 0}, "CEST", {0, 3, 0, 5, 2, 0, 0, 0});
const OS_USER_TIME_ZONE_INFORMATIONA kUnitedStates =
    Zone(300, "EST", {0, 11, 0, 1, 2, 0, 0, 0}, "EDT", {0, 3, 0, 2, 2, 0, 0, 0});
const OS_USER_TIME_ZONE_INFORMATIONA kIndia = Zone(-330, "IST", {}, "", {});

std::string Text(const OS_USER_TIME_ZONE_INFORMATIONA& z)
{
    std::ostringstream text;
    auto date = [&text](const _SYSTEMTIME& d) {
        text << d.wYear << "/" << d.wMonth << "/" << d.wDay << "/" << d.wDayOfWeek << " "
             << d.wHour << ":" << d.wMinute << ":" << d.wSecond << "." << d.wMilliseconds;
    };
    text << "bias " << z.Bias << " " << z.StandardName << " ";
    date(z.StandardDate);
    text << " +" << z.StandardBias << ", " << z.DaylightName << " ";
    date(z.DaylightDate);
    text << " +" << z.DaylightBias;
    return text.str();
}

constexpr char kZoneDirectory[] = "/usr/share/zoneinfo";

TEST(ZoneInstallation, InstalledZonesReadBackAndTheNamesAlternate)
{
    const OS_USER_TIME_ZONE_INFORMATIONA* records[] = {&kEurope, &kUnitedStates, &kIndia};
    const char* names[] = {"KvCustom0/Timezone", "KvCustom1/Timezone", "KvCustom0/Timezone"};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(TRUE, OsUserSetTimeZoneInformation(records[i])) << i;
        const std::string installed = std::string(kZoneDirectory) + "/" + names[i];
        EXPECT_EQ(installed, LinkTarget("/etc/localtime"));
        EXPECT_EQ(":" + installed, getenv("TZ"));
        OS_USER_TIME_ZONE_INFORMATIONA readBack{};
        OsUserGetTimeZoneInformation(&readBack);
        EXPECT_EQ(Text(*records[i]), Text(readBack)) << names[i];
    }
    EXPECT_TRUE(NamesStartingWith("/tmp", "kv_custom_timezone").empty());
    EXPECT_EQ(std::vector<std::string>{"localtime"}, NamesStartingWith("/etc", "localtime"));
}

TEST(ZoneInstallation, AFailedInstallationLeavesTheOldZoneInPlace)
{
    ASSERT_EQ(TRUE, OsUserSetTimeZoneInformation(&kEurope));
    const std::string before = LinkTarget("/etc/localtime");
    struct stat linkBefore {};
    ASSERT_EQ(0, lstat("/etc/localtime", &linkBefore));

    // The compiler rejects the record: nothing beyond it happens.
    OS_USER_TIME_ZONE_INFORMATIONA broken = kEurope;
    broken.DaylightDate.wMonth = 13;
    EXPECT_EQ(FALSE, OsUserSetTimeZoneInformation(&broken));
    struct stat linkAfter {};
    ASSERT_EQ(0, lstat("/etc/localtime", &linkAfter));
    EXPECT_EQ(linkBefore.st_ino, linkAfter.st_ino);
    EXPECT_TRUE(NamesStartingWith("/tmp", "kv_custom_timezone").empty());

#if defined(__linux__)
    // /etc cannot be written: the compiled zone cannot become the system's, the old link stays.
    ASSERT_EQ(0, mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
    EXPECT_EQ(FALSE, OsUserSetTimeZoneInformation(&kUnitedStates));
    const int error = errno;
    ASSERT_EQ(0, mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr));
    EXPECT_EQ(EROFS, error);
    EXPECT_EQ(before, LinkTarget("/etc/localtime"));
    EXPECT_EQ(std::vector<std::string>{"localtime"}, NamesStartingWith("/etc", "localtime"));
#endif
}

TEST(ZoneInstallation, HostileNamesCannotReachTheCompilersInput)
{
    OS_USER_TIME_ZONE_INFORMATIONA hostile =
        Zone(-60, "X\"\nZone\tEvil\t0\t-\tE", {}, "", {});
    ASSERT_EQ(TRUE, OsUserSetTimeZoneInformation(&hostile));
    OS_USER_TIME_ZONE_INFORMATIONA readBack{};
    OsUserGetTimeZoneInformation(&readBack);
    EXPECT_STREQ("KV", readBack.StandardName);
    EXPECT_EQ(-60, readBack.Bias);
    struct stat unused {};
    EXPECT_NE(0, stat("/usr/share/zoneinfo/Evil", &unused));
}

TEST(ZoneInstallation, ConcurrentInstallationsEachInstallACompleteZone)
{
    // Four threads, two names: every installation must compile its own source into a zone
    // that reads back as one of the four records, never a mixture.
    const LONG biases[] = {-60, -120, 180, 240};
    std::vector<std::thread> threads;
    BOOL results[4] = {};
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([i, &biases, &results] {
            OS_USER_TIME_ZONE_INFORMATIONA zone = kEurope;
            zone.Bias = biases[i];
            results[i] = OsUserSetTimeZoneInformation(&zone);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (BOOL result : results) {
        EXPECT_EQ(TRUE, result);
    }
    for (const char* name : {"KvCustom0/Timezone", "KvCustom1/Timezone"}) {
        const std::string tz = std::string(":") + kZoneDirectory + "/" + name;
        ASSERT_EQ(0, setenv("TZ", tz.c_str(), 1));
        tzset();
        OS_USER_TIME_ZONE_INFORMATIONA readBack{};
        OsUserGetTimeZoneInformation(&readBack);
        EXPECT_NE(std::end(biases), std::find(std::begin(biases), std::end(biases), readBack.Bias))
            << name << ": " << readBack.Bias;
        EXPECT_STREQ("CEST", readBack.DaylightName);
    }
}

#if defined(__linux__)
TEST(FullDisk, AFailedCopyLeavesTheOldDestinationAsItWas)
{
    ASSERT_EQ(0, mkdir("/tmp/full", 0700));
    ASSERT_EQ(0, mount("kv-full", "/tmp/full", "tmpfs", 0, "size=256k"));
    const std::string old(100000, 'o');
    std::ofstream("/tmp/full/old") << old;
    std::ofstream("/tmp/big") << std::string(1 << 20, 'b');
    for (const char* target : {"/tmp/full/old", "/tmp/full/new"}) {
        errno = 0;
        EXPECT_EQ(FALSE, OsUserCopyFile("/tmp/big", target, 0)) << target;
        EXPECT_EQ(ENOSPC, errno) << target;
    }
    std::stringstream left;
    left << std::ifstream("/tmp/full/old").rdbuf();
    EXPECT_EQ(old, left.str());
    EXPECT_EQ((std::vector<std::string>{"old"}), NamesStartingWith("/tmp/full", "o"));
    EXPECT_EQ(3u, NamesStartingWith("/tmp/full", "").size());  // ".", ".." and "old"
    EXPECT_EQ(0, umount("/tmp/full"));
}

// Whether the last mount over mountPoint in this namespace has the given file-system type
// and does not pass mounts back to another namespace.
bool PrivateMountOf(const char* mountPoint, const char* type)
{
    std::ifstream mountInfo("/proc/self/mountinfo");
    std::string line;
    bool found = false;
    while (std::getline(mountInfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point, options, field;
        fields >> id >> parent >> device >> root >> point >> options;
        bool shared = false;
        while (fields >> field && field != "-") {
            shared = shared || field.rfind("shared:", 0) == 0;
        }
        std::string fsType;
        fields >> fsType;
        if (point == mountPoint) {
            found = fsType == type && !shared;
        }
    }
    return found;
}
#endif

// True only in a private mount namespace with /etc and /usr/share/zoneinfo on overlays and
// /tmp on a tmpfs.
bool InThrowAwayNamespace()
{
#if defined(__linux__)
    const std::string own = LinkTarget("/proc/self/ns/mnt");
    const std::string parent = LinkTarget(("/proc/" + std::to_string(getppid()) + "/ns/mnt").c_str());
    return !own.empty() && own != parent && PrivateMountOf("/etc", "overlay") &&
           PrivateMountOf(kZoneDirectory, "overlay") && PrivateMountOf("/tmp", "tmpfs");
#else
    return false;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    if (!InThrowAwayNamespace()) {
        fprintf(stderr,
                "refusing to run: this program changes /etc, /usr/share/zoneinfo and /tmp; run "
                "it through time_files_namespace.sh in a private mount namespace\n");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
