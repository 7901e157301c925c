// Helpers of the launcher tests: a temporary directory of the test's own programs (shell
// scripts), and a look at finished children without collecting them.
#ifndef KV_LAUNCHER_TEST_SUPPORT_H
#define KV_LAUNCHER_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace kvtest {

// Each test works in a fresh temporary directory and stops every process it started
// before the directory is removed.
class LauncherTest : public testing::Test {
 protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvprocess-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }

    void TearDown() override
    {
        for (pid_t pid : started_) {
            if (kill(pid, SIGKILL) == 0 || errno != ESRCH) {
                waitpid(pid, nullptr, 0);
            }
        }
        nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // Writes a script at dir_/name with the given body and mode; returns its path.
    std::string Script(const std::string& name, const std::string& body, mode_t mode = 0755)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        EXPECT_EQ(0, chmod(path.c_str(), mode));
        return path;
    }

    // Waits until the child has ended, without collecting it; a child already collected
    // (no longer ours to wait for) returns at once.
    static void AwaitEnded(pid_t pid)
    {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
            ASSERT_EQ(ECHILD, errno);
        }
    }

    // Whether pid is a finished child that nobody has collected.
    static bool IsZombie(pid_t pid)
    {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }

    std::string dir_;
    std::vector<pid_t> started_;  // killed and collected at the end if still there

 private:
    static int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
    {
        return remove(path);
    }
};

}  // namespace kvtest

#endif  // KV_LAUNCHER_TEST_SUPPORT_H
