#include "KvPlatformHelper.h"
#include "LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <string>
#include <thread>

namespace {

using Launcher = kvtest::LauncherTest;

TEST_F(Launcher, ResultsAndExitCodes)
{
    Script("exit3", "exit 3");
    Script("exit0", "exit 0");
    Script("killed", "kill -KILL $$");  // ends by a signal
    Script("plain", "exit 0", 0644);     // not executable
    std::ofstream(dir_ + "/bare") << "exit 4\n";  // no interpreter line: the shell runs it
    ASSERT_EQ(0, chmod((dir_ + "/bare").c_str(), 0755));
    struct {
        const char* commandLine;
        const char* workDir;
        int result;
        int exitCode;  // -1: not written
        bool started;
    } const cases[] = {
        {"/exit3", nullptr, 0, 3, true},
        {"/exit0", nullptr, 0, 0, true},
        {"/exit3 ignored arguments", nullptr, 0, 3, true},
        {"/killed", nullptr, 1, -1, true},
        {"/bare", nullptr, 0, 4, true},
        {"/plain", nullptr, 1, -1, false},
        {"/missing", nullptr, 2, -1, false},
        {"exit3", nullptr, 2, -1, false},  // a bare name is not searched for
        {"exit3", "<dir>", 0, 3, true},    // but taken from the working directory
        {"exit3", "<dir>/", 0, 3, true},
        {"", nullptr, 2, -1, false},
        {" /exit3", nullptr, 2, -1, false},  // the path ends at the first blank
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        std::string commandLine = c.commandLine;
        if (commandLine[0] == '/') {
            commandLine = dir_ + commandLine;
        }
        std::string workDir = c.workDir == nullptr ? "" : c.workDir;
        if (workDir.rfind("<dir>", 0) == 0) {
            workDir = dir_ + workDir.substr(5);
        }
        int exitCode = -1;
        int pid = 0;
        EXPECT_EQ(c.result, OsUserLaunchProcessInternal(commandLine.c_str(),
                                                        c.workDir ? workDir.c_str() : nullptr, 0,
                                                        10000, &exitCode, &pid));
        EXPECT_EQ(c.exitCode, exitCode);
        EXPECT_EQ(c.started, pid > 0);
        if (pid > 0) {
            EXPECT_FALSE(IsZombie(pid));  // collected by the launcher
        }
    }
    EXPECT_EQ(2, OsUserLaunchProcessInternal(nullptr, nullptr, 0, 100, nullptr, nullptr));
    EXPECT_EQ(0, OsUserLaunchProcess((dir_ + "/exit3").c_str(), 0, 10000, nullptr));
}

TEST_F(Launcher, WithoutWaitingReturnsAtOnceAndLeavesTheChildToZombieRemoval)
{
    Script("exit5", "exit 5");
    int exitCode = -1;
    int pid = 0;
    EXPECT_EQ(0, OsUserLaunchProcessInternal((dir_ + "/exit5").c_str(), nullptr, 0, 0, &exitCode,
                                             &pid));
    EXPECT_EQ(0, exitCode);
    ASSERT_GT(pid, 0);
    started_.push_back(pid);
    AwaitEnded(pid);
    EXPECT_TRUE(IsZombie(pid));
    OsUserRemoveProcessZombies();
    EXPECT_FALSE(IsZombie(pid));
}

TEST_F(Launcher, TheTimeLimitLeavesTheChildRunningUntilItIsTerminated)
{
    Script("sleeper", "exec sleep 30");
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int exitCode = -1;
    int pid = 0;
    EXPECT_EQ(1, OsUserLaunchProcessInternal((dir_ + "/sleeper").c_str(), nullptr, 0, 200, &exitCode,
                                             &pid));
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    ASSERT_GT(pid, 0);
    started_.push_back(pid);
    EXPECT_GE((end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000, 200);
    EXPECT_EQ(-1, exitCode);
    EXPECT_EQ(0, kill(pid, 0));  // still running

    _OS_USER_PROC_INFO info{};
    info.dwProcessId = pid;
    EXPECT_EQ(0, OsUserTerminateProcess(&info, 0));
    EXPECT_EQ(-1, kill(pid, 0));  // collected
    EXPECT_EQ(1, OsUserTerminateProcess(&info, 0));  // once only
}

TEST_F(Launcher, ProcessRecords)
{
    Script("sleeper", "exec sleep 30");
    Script("quick", "exit 0");
    _OS_USER_PROC_INFO info;
    memset(&info, 0xAB, sizeof info);
    ASSERT_EQ(0, OsUserCreateProcess((dir_ + "/sleeper").c_str(), nullptr, &info));
    ASSERT_GT(info.dwProcessId, 0);
    started_.push_back(info.dwProcessId);
    EXPECT_EQ(nullptr, info.hProcess);
    EXPECT_EQ(nullptr, info.hThread);
    EXPECT_EQ(0u, info.dwThreadId);
    EXPECT_EQ(0, OsUserTerminateProcess(&info, 7));
    EXPECT_EQ(0, OsUserReleaseProcessHandle(&info));

    EXPECT_EQ(2, OsUserCreateProcess((dir_ + "/missing").c_str(), nullptr, &info));
    EXPECT_EQ(2, OsUserCreateProcess("x", nullptr, nullptr));
    EXPECT_EQ(2, OsUserTerminateProcess(nullptr, 0));

    // A child collected by zombie removal is never signalled: its id may be reused.
    ASSERT_EQ(0, OsUserCreateProcess((dir_ + "/quick").c_str(), nullptr, &info));
    started_.push_back(info.dwProcessId);
    AwaitEnded(info.dwProcessId);
    OsUserRemoveProcessZombies();
    EXPECT_EQ(1, OsUserTerminateProcess(&info, 0));

    // Ids that the launcher did not start are refused: this process, and the special ids
    // that would signal a whole process group or every process.
    for (int pid : {static_cast<int>(getpid()), 0, -1, 1}) {
        info.dwProcessId = pid;
        EXPECT_EQ(1, OsUserTerminateProcess(&info, 0));
    }
}

TEST_F(Launcher, ProgramPathsNeverReachTheShellAsSyntax)
{
    // A directory whose name is shell syntax, reached through a link without any.
    const std::string evil = "x y;touch pwned1;$(touch pwned2)`touch pwned3`'q'";
    ASSERT_EQ(0, mkdir((dir_ + "/" + evil).c_str(), 0755));
    Script(evil + "/prog", "exit 7");
    ASSERT_EQ(0, symlink((dir_ + "/" + evil + "/prog").c_str(), (dir_ + "/link").c_str()));
    // A file named like a command list, next to the program that list would start.
    Script("prog;touch${IFS}pwned4", "exit 8");
    Script("prog", "exit 9");

    int exitCode = -1;
    EXPECT_EQ(0, OsUserLaunchProcessInternal("link", dir_.c_str(), 0, 10000, &exitCode, nullptr));
    EXPECT_EQ(7, exitCode);
    EXPECT_EQ(0, OsUserLaunchProcessInternal((dir_ + "/prog;touch${IFS}pwned4").c_str(),
                                             dir_.c_str(), 0, 10000, &exitCode, nullptr));
    EXPECT_EQ(8, exitCode);
    EXPECT_EQ(0, OsUserLaunchProcessEx((dir_ + "/" + evil + "/prog").c_str(), dir_.c_str(),
                                       nullptr, 0, 10000, &exitCode));
    EXPECT_EQ(7, exitCode);
    for (const char* name : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
        EXPECT_NE(0, access((dir_ + "/" + name).c_str(), F_OK)) << name;
    }
}

TEST_F(Launcher, NormalisedProgramPathsAndArguments)
{
    ASSERT_EQ(0, mkdir((dir_ + "/sub dir").c_str(), 0755));
    Script("sub dir/code", "exit $((${1:-0} + ${2:-0}))");
    std::string written = dir_ + "\\\\sub dir//\\code";
    int exitCode = -1;
    EXPECT_EQ(0, OsUserLaunchProcessEx(written.c_str(), nullptr, "4 5", 0, 10000, &exitCode));
    EXPECT_EQ(9, exitCode);
    EXPECT_EQ(0, OsUserLaunchProcessEx(written.c_str(), nullptr, "", 0, 10000, &exitCode));
    EXPECT_EQ(0, exitCode);
    EXPECT_EQ(2, OsUserLaunchProcessEx(nullptr, nullptr, nullptr, 0, 10000, &exitCode));
    EXPECT_EQ(2, OsUserLaunchProcessEx((dir_ + "/sub dir/none").c_str(), nullptr, nullptr, 0, 100,
                                       &exitCode));
}

TEST_F(Launcher, WorkingDirectoryThatCannotBeEnteredEndsTheChild)
{
    ASSERT_EQ(0, mkdir((dir_ + "/wd").c_str(), 0755));
    Script("where", "[ \"$(pwd -P)\" = \"" + dir_ + "/wd\" ] && exit 4; exit 5");
    int exitCode = -1;
    EXPECT_EQ(0, OsUserLaunchProcessInternal((dir_ + "/where").c_str(), (dir_ + "/wd").c_str(), 0,
                                             10000, &exitCode, nullptr));
    EXPECT_EQ(4, exitCode);
    EXPECT_EQ(0, OsUserLaunchProcessInternal((dir_ + "/where").c_str(), (dir_ + "/gone").c_str(), 0,
                                             10000, &exitCode, nullptr));
    EXPECT_EQ(1, exitCode);
}

TEST_F(Launcher, TheChildGetsNoEnvironmentNoExtraDescriptorsAndNoBlockedSignals)
{
    // Descriptor 9 is open here without close-on-exec; the child must not have it.
    const int fd = open(dir_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(9, dup2(fd, 9));
    close(fd);
    sigset_t term, previous;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &previous));

    Script("inspect",
           "case \"$(export -p)\" in *HOME*|*PATH*) exit 10;; esac\n"
           "(: <&9) 2>/dev/null && exit 11\n"
           "kill -TERM $$\n"
           "exit 12");
    int exitCode = -1;
    const int result = OsUserLaunchProcessInternal((dir_ + "/inspect").c_str(), nullptr, 0, 10000,
                                                   &exitCode, nullptr);
    ASSERT_EQ(0, pthread_sigmask(SIG_SETMASK, &previous, nullptr));
    close(9);
    EXPECT_EQ(1, result);  // ended by SIGTERM, so it was not blocked
    EXPECT_EQ(-1, exitCode);
}

TEST_F(Launcher, ZombieRemovalWaitsForTheLauncherThatBlocksIt)
{
    ASSERT_EQ(0, mkfifo((dir_ + "/gate").c_str(), 0600));
    Script("gated", "read line < '" + dir_ + "/gate'; exit 6");
    Script("quick", "exit 0");

    int result = -1;
    int exitCode = -1;
    std::thread launcher([&] {
        result = OsUserLaunchProcessInternal((dir_ + "/gated").c_str(), nullptr, 0, 20000,
                                             &exitCode, nullptr);
        // Should the child never have opened the gate, this open releases the writer below.
        const int reader = open((dir_ + "/gate").c_str(), O_RDONLY | O_NONBLOCK);
        close(reader);
    });
    // Opening the gate for writing returns once the gated child reads it: the launcher is
    // then waiting for its child.
    const int gate = open((dir_ + "/gate").c_str(), O_WRONLY);
    ASSERT_GE(gate, 0);

    int zombie = 0;
    ASSERT_EQ(0, OsUserLaunchProcessInternal((dir_ + "/quick").c_str(), nullptr, 0, 0, nullptr,
                                             &zombie));
    started_.push_back(zombie);
    AwaitEnded(zombie);
    OsUserRemoveProcessZombies();
    EXPECT_TRUE(IsZombie(zombie));  // only marked as pending

    ASSERT_EQ(1, write(gate, "\n", 1));
    close(gate);
    launcher.join();
    EXPECT_EQ(0, result);
    EXPECT_EQ(6, exitCode);
    EXPECT_FALSE(IsZombie(zombie));  // reaped when the launcher released its block
}

TEST(ProcessBlocking, UnblockWithoutBlockDoesNotUnderflow)
{
    OsUserUnblockRemoveProcessZombies();
    OsUserBlockRemoveProcessZombies();
    CWaitProcessHandler::GetHandler().UnblockRemoveProcessZombies();
    OsUserRemoveProcessZombies();  // nothing blocks it any more: reaps at once, no children
    SUCCEED();
}

TEST(Identifiers, TextForms)
{
    const _GUID expected = {0x01020304, 0x0506, 0x0708, {0x89, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10}};
    const char* const same[] = {
        "01020304-0506-0708-890a-0b0c0d0e0f10",
        "{01020304-0506-0708-890a-0b0c0d0e0f10}",
        "{01020304-0506-0708-890A-0B0C0D0E0F10)",  // the last character is dropped, whatever it is
    };
    for (const char* text : same) {
        SCOPED_TRACE(text);
        _GUID parsed;
        memset(&parsed, 0xEE, sizeof parsed);
        ASSERT_EQ(0u, OsCLSIDFromStringA(text, &parsed));
        EXPECT_EQ(0, memcmp(&expected, &parsed, sizeof parsed));
    }
    // Data1-3 are numbers in host order, Data4 bytes in text order.
    EXPECT_EQ(0x01020304u, expected.Data1);
    _GUID parsed;
    ASSERT_EQ(0u, OsCLSIDFromStringA("01020304-0506-0708-890a-0b0c0d0e0f10", &parsed));
    EXPECT_EQ(0x0506, parsed.Data2);
    EXPECT_EQ(0x0708, parsed.Data3);
    EXPECT_EQ(0x89, parsed.Data4[0]);
    EXPECT_EQ(0x10, parsed.Data4[7]);

    char* text = nullptr;
    _GUID copy = expected;
    ASSERT_EQ(0u, OsStringFromCLSIDA(copy, &text));
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("{01020304-0506-0708-890a-0b0c0d0e0f10}", text);
    EXPECT_EQ(38u, strlen(text));
    free(text);
    EXPECT_EQ(0x80004005u, OsStringFromCLSIDA(copy, nullptr));
}

TEST(Identifiers, NilAndInvalidTexts)
{
    const _GUID nil = {};
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        _GUID parsed;
        memset(&parsed, 0xEE, sizeof parsed);
        EXPECT_EQ(0u, OsCLSIDFromStringA(text, &parsed));
        EXPECT_EQ(0, memcmp(&nil, &parsed, sizeof parsed));
    }
    const char* const invalid[] = {
        "{}",  // too short to lose its braces
        "{}x",
        "{0102030405060708090a0b0c0d0e0f10}",
        "01020304-0506-0708-890a-0b0c0d0e0f1",
        "01020304-0506-0708-890a-0b0c0d0e0f100",
        "01020304x0506-0708-890a-0b0c0d0e0f10",
        "01020304-0506-0708-890a-0b0c0d0e0g10",
        " 1020304-0506-0708-890a-0b0c0d0e0f10",
        "+1020304-0506-0708-890a-0b0c0d0e0f10",
        "01020304-0506-0708-e90a-0b0c0d0e0f10",  // reserved variant bits
        "{01020304-0506-0708-890a-0b0c0d0e0f10",
    };
    for (const char* text : invalid) {
        SCOPED_TRACE(text);
        _GUID parsed;
        memset(&parsed, 0xEE, sizeof parsed);
        const _GUID before = parsed;
        EXPECT_EQ(0x80004005u, OsCLSIDFromStringA(text, &parsed));
        EXPECT_EQ(0, memcmp(&before, &parsed, sizeof parsed));  // untouched
    }
    EXPECT_EQ(0x80004005u, OsCLSIDFromStringA("", nullptr));
}

TEST(Identifiers, NewIdentifiersAreRandomVersion4AndRoundTrip)
{
    _GUID first, second;
    ASSERT_EQ(0u, OsUserCoCreateGuid(&first));
    ASSERT_EQ(0u, OsUserCoCreateGuid(&second));
    EXPECT_NE(0, memcmp(&first, &second, sizeof first));
    EXPECT_EQ(0x4000, first.Data3 & 0xF000);
    EXPECT_EQ(0x80, first.Data4[0] & 0xC0);
    char* text = nullptr;
    ASSERT_EQ(0u, OsStringFromCLSIDA(first, &text));
    _GUID parsed;
    ASSERT_EQ(0u, OsCLSIDFromStringA(text, &parsed));
    free(text);
    EXPECT_EQ(0, memcmp(&first, &parsed, sizeof first));
    EXPECT_EQ(0x80004005u, OsUserCoCreateGuid(nullptr));
}

TEST(SystemInformation, RecordAndProcessorMask)
{
    _SYSTEM_INFO info;
    memset(&info, 0x5A, sizeof info);
    OsUserGetSystemInfo(&info);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(9, info.wProcessorArchitecture);
    EXPECT_EQ(0x5A5A, info.wReserved);
    EXPECT_EQ(static_cast<DWORD>(sysconf(_SC_PAGESIZE)), info.dwPageSize);
    EXPECT_EQ(online >= 32 ? 0xFFFFFFFFu : (1u << online) - 1u, info.dwActiveProcessorMask);
    EXPECT_EQ(static_cast<DWORD>(sysconf(_SC_NPROCESSORS_CONF)), info.dwNumberOfProcessors);
    EXPECT_EQ(nullptr, info.lpMinimumApplicationAddress);
    EXPECT_EQ(0u, info.dwAllocationGranularity);
    EXPECT_EQ(0, info.wProcessorRevision);
    OsUserGetSystemInfo(nullptr);
}

TEST(SystemInformation, ProcessorCountFromTheBootLog)
{
    char path[] = "/tmp/kvbootlog-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string log = "CPU: some processor\n"
                            "FreeBSD/SMP: 1 package(s) x 4 core(s)\n"
                            "FreeBSD/SMP Online: 1 package(s) x 9 core(s)\n"
                            "FreeBSD/SMP: 2 package(s) x 6 core(s) x 2 hardware threads\n"
                            "freebsd/smp: 2 package(s) x 7 core(s)\n"
                            "FreeBSD/SMP: 3 package(s) x 3 threads\n" +
                            std::string(300, 'x') + "FreeBSD/SMP: 5 package(s) x 5 core(s)\n";
    ASSERT_EQ(static_cast<ssize_t>(log.size()), write(fd, log.data(), log.size()));
    close(fd);
    long cores = -1;
    EXPECT_TRUE(SearchCoresInBootLog(path, cores));
    EXPECT_EQ(12, cores);  // the last whole matching line
    unlink(path);
    cores = -1;
    EXPECT_FALSE(SearchCoresInBootLog(path, cores));
    EXPECT_FALSE(SearchCoresInBootLog(nullptr, cores));
    EXPECT_EQ(-1, cores);
#if defined(__linux__)
    EXPECT_FALSE(SearchCoresInDmesgBoot(cores));
    EXPECT_EQ(-1, cores);
#endif
}

TEST(TraceSwitch, OnAtStartAndFollowsItsSetters)
{
    EXPECT_TRUE(KvTraceIsSysLogEnabled());
    KvTraceDisableSysLog();
    EXPECT_FALSE(KvTraceIsSysLogEnabled());
    KvTraceEnableSysLog();
    EXPECT_TRUE(KvTraceIsSysLogEnabled());
}

}  // namespace
