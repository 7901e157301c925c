#include "KvPlatformHelper.h"
#include "../../platform/OsUserProcessInternal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A temporary directory of the test's own programs; processes left are stopped at the end.
class Launcher : public testing::Test {
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
            siginfo_t info{};  // only a child not yet collected: its id cannot have been reused
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        std::filesystem::remove_all(dir_);
    }
    void Script(const std::string& name, const std::string& body, mode_t mode = 0755, const char* first = "#!/bin/sh\n")
    {
        std::ofstream(dir_ + "/" + name) << first << body << "\n";
        EXPECT_EQ(0, chmod((dir_ + "/" + name).c_str(), mode));
    }
    // Runs path with the launcher in the test's directory, waiting up to ms: its result.
    int Launch(const std::string& path, DWORD ms, int* exitCode = nullptr, int* pid = nullptr)
    {
        return OsUserLaunchProcessInternal((dir_ + path).c_str(), nullptr, 0, ms, exitCode, pid);
    }
    // Whether the child has ended and is not yet collected; with wait, first awaits its end.
    static bool IsZombie(pid_t pid, int wait = WNOHANG)
    {
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | wait) == 0 && info.si_pid == pid;
    }

    std::string dir_;
    std::vector<pid_t> started_;
};

TEST_F(Launcher, ResultsAndExitCodes)
{
    Script("exit3", "exit 3");
    Script("killed", "kill -KILL $$");
    Script("plain", "exit 0", 0644);
    Script("bare", "exit 4", 0755, "");  // no interpreter line: the shell runs it
    // The child sees no environment, no descriptor above 2 (9 is open here) and no blocked
    // signal (SIGTERM is blocked here): its own SIGTERM ends it.
    Script("inspect", "case \"$(export -p)\" in *HOME*|*PATH*) exit 10;; esac\n"
                      "(: <&9) 2>/dev/null && exit 11\n"
                      "kill -TERM $$; exit 12");
    ASSERT_EQ(9, dup2(STDERR_FILENO, 9));
    sigset_t term, previous;
    ASSERT_TRUE(sigemptyset(&term) == 0 && sigaddset(&term, SIGTERM) == 0);
    ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &previous));
    // Paths "/..." lie in the test's directory; workDir null: none; exit code -1: not written.
    const struct { const char *commandLine, *workDir; int result, exitCode; bool started; } cases[] = {
        {"/exit3 some arguments", nullptr, 0, 3, true}, {"/exit3", "/gone", 0, 1, true},  // never run elsewhere
        {"/killed x", nullptr, 1, -1, true},  // ended by a signal (the shell gone by then)
        {"/bare", nullptr, 0, 4, true}, {"/missing", nullptr, 2, -1, false}, {"/inspect", nullptr, 1, -1, true},
        {"/inspect x", nullptr, 1, -1, true}, {"/plain", nullptr, 1, -1, false},  // not executable
        {"exit3", nullptr, 2, -1, false}, {"exit3", "/", 0, 3, true},  // a bare name: only the working directory
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        const std::string commandLine = (c.commandLine[0] == '/' ? dir_ : "") + c.commandLine;
        int exitCode = -1, pid = 0;
        EXPECT_EQ(c.result, OsUserLaunchProcessInternal(commandLine.c_str(), c.workDir ? (dir_ + c.workDir).c_str() : nullptr, 0,
                                                        10000, &exitCode, &pid));
        EXPECT_EQ(c.exitCode, exitCode);
        EXPECT_TRUE(c.started == (pid > 0) && !(pid > 0 && IsZombie(pid)));  // started, collected by the launcher
    }
    EXPECT_EQ(0, pthread_sigmask(SIG_SETMASK, &previous, nullptr) | close(9));
}

TEST_F(Launcher, WaitingTerminatingAndZombieRemoval)
{
    Script("sleeper", "exec sleep 30");
    Script("exit5", "exit 5");
    _OS_USER_PROC_INFO record{};
    const auto terminate = [&](int pid) { record.dwProcessId = pid; return OsUserTerminateProcess(&record, 0); };
    // Without waiting: 0 at once, and the child is left to zombie removal.
    int exitCode = -1, pid = 0;
    EXPECT_TRUE(Launch("/exit5", 0, &exitCode, &pid) == 0 && exitCode == 0);
    started_.push_back(pid);
    EXPECT_TRUE(IsZombie(pid, 0));
    OsUserRemoveProcessZombies();
    EXPECT_FALSE(IsZombie(pid));
    EXPECT_EQ(1, terminate(pid));  // reaped: its id may be reused
    // The time limit passes: 1, and the child keeps running until it is terminated.
    exitCode = -1;
    EXPECT_TRUE(Launch("/sleeper", 100, &exitCode, &pid) == 1 && exitCode == -1);
    started_.push_back(pid);
    EXPECT_TRUE(kill(pid, 0) == 0 && terminate(pid) == 0);
    EXPECT_TRUE(kill(pid, 0) == -1 && terminate(pid) == 1);  // collected
    ASSERT_EQ(0, OsUserCreateProcess((dir_ + "/sleeper").c_str(), nullptr, &record));
    started_.push_back(record.dwProcessId);
    EXPECT_TRUE(OsUserTerminateProcess(&record, 0) == 0 && OsUserTerminateProcess(nullptr, 0) == 2);
    // Ids the launcher did not start are never signalled: this process, a process group, all.
    for (int id : {static_cast<int>(getpid()), 0, -1})
        EXPECT_EQ(1, terminate(id));
}

TEST_F(Launcher, ProgramPathsNeverReachTheShellAsSyntax)
{
    const std::string evil = "x y;touch pwned1;$(touch pwned2)`touch pwned3`'q'";
    ASSERT_EQ(0, mkdir((dir_ + "/" + evil).c_str(), 0755));
    Script(evil + "/prog", "exit $((7 + ${1:-0}))");
    ASSERT_EQ(0, symlink((dir_ + "/" + evil + "/prog").c_str(), (dir_ + "/link").c_str()));
    Script("prog;touch${IFS}pwned4", "exit 8");
    Script("prog", "exit 9");  // what the unquoted command list would start
    int exitCode = -1;
    EXPECT_TRUE(OsUserLaunchProcessInternal("link", dir_.c_str(), 0, 10000, &exitCode, nullptr) == 0 && exitCode == 7);
    EXPECT_EQ(0, OsUserLaunchProcessInternal("prog;touch${IFS}pwned4", dir_.c_str(), 0, 10000, &exitCode, nullptr));
    EXPECT_EQ(8, exitCode);
    // The Ex form takes blanks in the path, "\" for "/" and doubled separators.
    const std::string written = dir_ + "\\\\" + evil + "//\\prog";
    EXPECT_TRUE(OsUserLaunchProcessEx(written.c_str(), dir_.c_str(), "2", 0, 10000, &exitCode) == 0 && exitCode == 9);
    for (const char* name : {"pwned1", "pwned2", "pwned3", "pwned4"})
        EXPECT_NE(0, access((dir_ + "/" + name).c_str(), F_OK)) << name;
}

TEST_F(Launcher, ZombieRemovalWaitsForEveryLauncherThatBlocksIt)
{
    ASSERT_EQ(0, mkfifo((dir_ + "/gate").c_str(), 0600));
    Script("gated", "read line < '" + dir_ + "/gate'; exit 6");
    Script("quick", "exit 0");
    int result = -1, exitCode = -1;
    std::thread launcher([&] {
        result = Launch("/gated", 20000, &exitCode);
        close(open((dir_ + "/gate").c_str(), O_RDONLY | O_NONBLOCK));  // frees the writer if need be
    });
    // This open returns once the gated child reads the gate: its launcher is waiting.
    const int gate = open((dir_ + "/gate").c_str(), O_WRONLY);
    int zombie = 0;
    ASSERT_EQ(0, Launch("/quick", 0, nullptr, &zombie));
    started_.push_back(zombie);
    ASSERT_TRUE(IsZombie(zombie, 0));
    OsUserRemoveProcessZombies();
    // Another launcher comes and goes meanwhile: the removal stays pending.
    EXPECT_EQ(0, Launch("/quick", 10000));
    EXPECT_TRUE(IsZombie(zombie));
    EXPECT_TRUE(write(gate, "\n", 1) == 1 && close(gate) == 0);
    launcher.join();
    EXPECT_TRUE(result == 0 && exitCode == 6) << result << ' ' << exitCode;
    EXPECT_FALSE(IsZombie(zombie));  // reaped when the last launcher released its block
}

TEST(Identifiers, TextForms)
{
    const _GUID expected = {0x01020304, 0x0506, 0x0708, {0x89, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x10}};
    const _GUID nil = {};
    const struct { const char* text; uint32_t result; const _GUID* parsed; } cases[] = {  // null: left untouched
        {"01020304-0506-0708-890a-0b0c0d0e0f10", 0, &expected},
        {"{01020304-0506-0708-890A-0B0C0D0E0F10}", 0, &expected},
        {"{01020304-0506-0708-890a-0b0c0d0e0f10)", 0, &expected},  // the last one goes, whatever it is
        {"", 0, &nil}, {nullptr, 0, &nil}, {"{}", 0x80004005u, nullptr},  // too short to lose its braces
        {"{01020304-0506-0708-890a-0b0c0d0e0f10", 0x80004005u, nullptr},
        {"01020304-0506-0708-e90a-0b0c0d0e0f10", 0x80004005u, nullptr},  // reserved variant
        {"0102030g-0506-0708-890a-0b0c0d0e0f10", 0x80004005u, nullptr},
        // What sscanf's "%8x-%4hx" would also take: a blank, a sign or "0x" inside a field.
        {" 1020304-0506-0708-890a-0b0c0d0e0f10", 0x80004005u, nullptr}, {"+1020304-0506-0708-890a-0b0c0d0e0f10", 0x80004005u, nullptr},
        {"01020304-0x06-0708-890a-0b0c0d0e0f10", 0x80004005u, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        _GUID parsed;
        memset(&parsed, 0xEE, sizeof parsed);
        const _GUID before = parsed;
        EXPECT_EQ(c.result, OsCLSIDFromStringA(c.text, &parsed));
        EXPECT_EQ(0, memcmp(c.parsed ? c.parsed : &before, &parsed, sizeof parsed));
    }
    _GUID copy = expected;  // Data1-3 are numbers in host order, Data4 bytes in text order
    char* text = nullptr;
    ASSERT_EQ(0u, OsStringFromCLSIDA(copy, &text));
    EXPECT_STREQ("{01020304-0506-0708-890a-0b0c0d0e0f10}", text);
    free(text);
    // New identifiers are random, version 4, from either system's source.
    ASSERT_EQ(0u, OsUserCoCreateGuid(&copy));
    EXPECT_TRUE((copy.Data3 & 0xF000) == 0x4000 && (copy.Data4[0] & 0xC0) == 0x80);
    for (GuidRandomSource source : {GuidRandomSource::kGetrandom, GuidRandomSource::kArc4random}) {
        _GUID other = copy;
        ASSERT_EQ(0u, CreateRandomGuid(&other, source));
        EXPECT_TRUE((other.Data3 & 0xF000) == 0x4000 && (other.Data4[0] & 0xC0) == 0x80 && memcmp(&other, &copy, 16) != 0);
    }
}

TEST(SystemInformation, RecordAndProcessors)
{
    _SYSTEM_INFO info;
    memset(&info, 0x5A, sizeof info);
    OsUserGetSystemInfo(&info);
    EXPECT_EQ(0x5A5A, info.wReserved);  // left as it was
    EXPECT_EQ((1u << sysconf(_SC_NPROCESSORS_ONLN)) - 1u, info.dwActiveProcessorMask);  // below 32 here
    EXPECT_EQ(static_cast<DWORD>(sysconf(_SC_NPROCESSORS_CONF)), info.dwNumberOfProcessors);

    char path[] = "/tmp/kvbootlog-XXXXXX";
    close(mkstemp(path));
    // Every factor up to the cores counts; the last line naming packages and cores wins (-1: none).
    const std::pair<const char*, long> logs[] = {{"FreeBSD/SMP: 1 package(s) x 4 core(s)\n", 4},
        {"FreeBSD/SMP: 1 package(s) x 2 cache groups x 4 core(s)\n", 8},
        {"FreeBSD/SMP: 2 package(s) x 1 groups x 4 cache groups x 8 core(s) x 2 hardware threads\n", 64},
        {"FreeBSD/SMP: 1 package(s) x 4 core(s)\nFreeBSD/SMP: 2 package(s) x 6 core(s) x 2 hardware threads\n"
         "freebsd/smp: 2 package(s) x 7 core(s)\nFreeBSD/SMP: 3 package(s) x 3 threads\n", 12},
        {"FreeBSD/SMP: Multiprocessor System Detected: 8 CPUs\nFreeBSD/SMP: Non-uniform topology\n"
         "FreeBSD/SMP: 4 core(s)\nFreeBSD/SMP: 2 package(s) x 3 cores\n", -1}};
    long cores = -1;
    for (const auto& [log, expected] : logs) {
        std::ofstream(path) << log;
        cores = -1;
        EXPECT_EQ(expected, SearchCoresInBootLog(path, cores) ? cores : -1) << log;
    }
    cores = 12;
    unlink(path);
    EXPECT_FALSE(SearchCoresInBootLog(path, cores));
#if defined(__linux__)
    EXPECT_FALSE(SearchCoresInDmesgBoot(cores));  // there is no boot log file here
#endif
    EXPECT_EQ(12, cores);  // a search that fails leaves it alone
}

}  // namespace
