// Installing time zones and filling a disk: the calls under test write /etc/localtime,
// /usr/share/zoneinfo and /tmp, so this program runs only where those are private throw-away
// copies: in its own mount namespace, with overlays over /etc and /usr/share/zoneinfo and a
// tmpfs over /tmp (time_files_namespace.sh sets them up). Anywhere else it refuses to start.
#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string LinkTarget(const std::string& path) { std::error_code none; return fs::read_symlink(path, none).string(); }

// The names in directory beginning with prefix, sorted.
std::vector<std::string> Names(const char* directory, const char* prefix)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

const OS_USER_TIME_ZONE_INFORMATIONA kEurope{-60, "CET", {0, 10, 0, 5, 3, 0, 0, 0}, 0, "CEST", {0, 3, 0, 5, 2, 0, 0, 0}, -60};
const OS_USER_TIME_ZONE_INFORMATIONA kUnitedStates{300, "EST", {0, 11, 0, 1, 2, 0, 0, 0}, 0, "EDT", {0, 3, 0, 2, 2, 0, 0, 0}, -60};
const OS_USER_TIME_ZONE_INFORMATIONA kIndia{-330, "IST", {}, 0, "", {}, 0};
const std::string kZones = "/usr/share/zoneinfo/";

// Every case ends with no zone source left in /tmp and nothing beside the /etc/localtime link.
class PrivateMachine : public testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(Names("/tmp", "kv_custom_timezone").empty());
        EXPECT_EQ(std::vector<std::string>{"localtime"}, Names("/etc", "localtime"));
    }
    static OS_USER_TIME_ZONE_INFORMATIONA Current() { OS_USER_TIME_ZONE_INFORMATIONA z{}; OsUserGetTimeZoneInformation(&z); return z; }
    static ino_t LinkInode() { struct stat link {}; return lstat("/etc/localtime", &link) == 0 ? link.st_ino : 0; }
};

TEST_F(PrivateMachine, InstalledZonesReadBackTheNamesAlternateAndAFailureKeepsTheOldZone)
{
    const OS_USER_TIME_ZONE_INFORMATIONA* records[] = {&kEurope, &kUnitedStates, &kIndia};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(TRUE, OsUserSetTimeZoneInformation(records[i])) << i;
        const std::string installed = kZones + (i == 1 ? "KvCustom1/Timezone" : "KvCustom0/Timezone");
        EXPECT_EQ(installed + " :" + installed, LinkTarget("/etc/localtime") + " " + getenv("TZ"));
        const OS_USER_TIME_ZONE_INFORMATIONA readBack = Current();
        EXPECT_EQ(0, memcmp(records[i], &readBack, sizeof readBack)) << i << ": bias " << readBack.Bias;
    }

    // A failed installation leaves the last zone in place.
    const ino_t before = LinkInode();
    ASSERT_NE(ino_t{0}, before);
    OS_USER_TIME_ZONE_INFORMATIONA rejected = kEurope;  // the compiler refuses month 13
    rejected.DaylightDate.wMonth = 13;
    EXPECT_EQ(FALSE, OsUserSetTimeZoneInformation(&rejected));

    // /etc cannot be written: the zone is compiled but the old link stays, and nothing beside it.
    ASSERT_EQ(0, mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr));
    EXPECT_EQ(FALSE, OsUserSetTimeZoneInformation(&kUnitedStates));
    const int error = errno;
    ASSERT_EQ(0, mount(nullptr, "/etc", nullptr, MS_REMOUNT | MS_BIND, nullptr));
    EXPECT_EQ(EROFS, error);
    EXPECT_EQ(before, LinkInode());
}

TEST_F(PrivateMachine, ConcurrentInstallationsEachInstallAWholeZone)
{
    // Four threads, two names: each compiled zone is one of the four records, never a mixture.
    const LONG biases[] = {-60, -120, 180, 240};
    BOOL results[4] = {};
    std::vector<std::thread> threads;
    OS_USER_TIME_ZONE_INFORMATIONA zones[4] = {kEurope, kEurope, kEurope, kEurope};
    for (int i = 0; i < 4; ++i) {
        zones[i].Bias = biases[i];
        threads.emplace_back([&zones, &results, i] { results[i] = OsUserSetTimeZoneInformation(&zones[i]); });
    }
    std::for_each(threads.begin(), threads.end(), [](std::thread& thread) { thread.join(); });
    EXPECT_EQ(4, results[0] + results[1] + results[2] + results[3]);
    for (const char* name : {"KvCustom0/Timezone", "KvCustom1/Timezone"}) {
        setenv("TZ", (":" + kZones + name).c_str(), 1);
        tzset();
        const OS_USER_TIME_ZONE_INFORMATIONA readBack = Current();
        EXPECT_NE(std::end(biases), std::find(std::begin(biases), std::end(biases), readBack.Bias));
        EXPECT_STREQ("CEST", readBack.DaylightName);
    }
}

TEST_F(PrivateMachine, AFailedCopyOnAFullDiskLeavesTheOldDestinationAsItWas)
{
    ASSERT_EQ(0, mkdir("/tmp/full", 0700));
    ASSERT_EQ(0, mount("kv-full", "/tmp/full", "tmpfs", 0, "size=256k"));
    const std::string old(100000, 'o');
    std::ofstream("/tmp/full/old") << old;
    std::ofstream("/tmp/big") << std::string(1 << 20, 'b');
    for (const char* target : {"/tmp/full/old", "/tmp/full/new"})
        EXPECT_TRUE(OsUserCopyFile("/tmp/big", target, 0) == FALSE && errno == ENOSPC) << target << ": " << strerror(errno);
    EXPECT_EQ(old, std::string(std::istreambuf_iterator<char>(std::ifstream("/tmp/full/old").rdbuf()), {}));
    EXPECT_EQ(std::vector<std::string>{"old"}, Names("/tmp/full", ""));
    EXPECT_EQ(0, umount("/tmp/full"));
}

// Whether the last mount over point has the given type and passes no mounts to other namespaces.
bool PrivateMountOf(const std::string& point, const std::string& type)
{
    std::ifstream mountInfo("/proc/self/mountinfo");
    bool found = false;
    for (std::string line; std::getline(mountInfo, line);) {
        std::istringstream fields(line);
        std::string skip, mountPoint;
        fields >> skip >> skip >> skip >> skip >> mountPoint;
        const size_t separator = line.find(" - ");  // optional fields before it, the type after it
        if (mountPoint == point)
            found = line.compare(separator + 3, type.size() + 1, type + " ") == 0 && line.find(" shared:") > separator;
    }
    return found;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string own = LinkTarget("/proc/self/ns/mnt");
    if (own.empty() || own == LinkTarget("/proc/" + std::to_string(getppid()) + "/ns/mnt") ||
        !PrivateMountOf("/etc", "overlay") || !PrivateMountOf("/usr/share/zoneinfo", "overlay") ||
        !PrivateMountOf("/tmp", "tmpfs")) {
        fprintf(stderr, "refusing to run: this program changes /etc, /usr/share/zoneinfo and /tmp;"
                        " run it through time_files_namespace.sh in a private mount namespace\n");
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
