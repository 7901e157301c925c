// Processes, system information, identifiers and the trace switch.
#include "KvPlatformHelper.h"
#include "OsUserProcessInternal.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

// arc4random_buf came to glibc with 2.36; FreeBSD has always had it.
#if defined(__GLIBC__) && !__GLIBC_PREREQ(2, 36)
#define KV_NO_ARC4RANDOM 1
#endif

namespace {

// A failed lock or unlock of the coordinator's mutex means corrupted state: stop at once.
void CheckPthread(int result, const char* what)
{
    if (result != 0) {
        fprintf(stderr, "%s failed (%d)\n", what, result);
        abort();
    }
}

// Stored inverted so that the zero start value means "on".
std::atomic<bool> g_traceSysLogDisabled{false};

#if defined(__linux__)
// Debian's /bin/sh (dash) stays the parent of the last command: a signal meant for the
// program reaches only the shell, and a program killed by a signal reports a normal exit.
// bash replaces itself with the last command, as FreeBSD's /bin/sh does.
const char kShell[] = "/bin/bash";
#else
const char kShell[] = "/bin/sh";
#endif

// Holds the coordinator's mutex for one scope.
class CoordinatorLock {
 public:
    explicit CoordinatorLock(pthread_mutex_t* mutex) : held(mutex)
    {
        CheckPthread(pthread_mutex_lock(held), "pthread_mutex_lock");
    }
    ~CoordinatorLock() { CheckPthread(pthread_mutex_unlock(held), "pthread_mutex_unlock"); }
    CoordinatorLock(const CoordinatorLock&) = delete;
    CoordinatorLock& operator=(const CoordinatorLock&) = delete;

 private:
    pthread_mutex_t* held;
};

int64_t MillisecondsSince(const timespec& start)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 +
           (static_cast<int64_t>(now.tv_nsec) - start.tv_nsec) / 1000000;
}

void Write(int* target, int value)
{
    if (target != nullptr) {
        *target = value;
    }
}

// The program path as the launcher runs it: a bare name is taken from the working
// directory when one is given, else from the current directory (no PATH search).
CString ProgramInDirectory(const char* program, const char* workDir)
{
    CString path;
    if (strchr(program, '/') == nullptr && workDir != nullptr && *workDir != '\0') {
        path = workDir;
        if (path[path.GetLength() - 1] != '/') {
            path += '/';
        }
    }
    path += program;
    return path;
}

// Resolves program and runs it, through the shell when argumentText is not empty; waits up
// to timeoutMs when it is positive. Returns a launcher result code.
int Launch(const char* program, const char* argumentText, const char* workDir, int timeoutMs,
           int* exitCode, int* processId)
{
    const CString path = ProgramInDirectory(program, workDir);
    char resolved[PATH_MAX];
    struct stat status;
    if (realpath(path, resolved) == nullptr || stat(resolved, &status) != 0) {
        return OS_USER_LAUNCH_NOT_FOUND;
    }
    if (access(resolved, X_OK) != 0) {
        return OS_USER_LAUNCH_FAILED;
    }
    // The resolved path is single-quoted: blanks, ";" or "$(...)" in a directory or link
    // name never reach the shell as syntax. The argument text stays shell text.
    CString quoted(resolved);
    quoted.Replace("'", "'\\''");
    CString command;
    command.Format("'%s'%s", quoted.GetString(), argumentText);
    if (command.IsEmpty()) {
        return OS_USER_LAUNCH_FAILED;
    }

    // Everything the child needs is prepared here: between fork and exec it calls only
    // async-signal-safe functions and never touches the coordinator or stdio.
    const char* const argv[] = {kShell, "-c", command.GetString(), nullptr};
    const char* const directArgv[] = {resolved, nullptr};
    const char* const envp[] = {nullptr};
    const bool direct = *argumentText == '\0';
    const bool changeDirectory = workDir != nullptr && *workDir != '\0';
    sigset_t noSignals;
    sigemptyset(&noSignals);

    // Every launch blocks reaping until its child is either collected here or recorded, so
    // no removal pass can collect the child before the launcher knows about it.
    CWaitProcessHandler& handler = CWaitProcessHandler::GetHandler();
    handler.BlockRemoveProcessZombies();
    const pid_t child = fork();
    if (child < 0) {
        Write(processId, -1);
        handler.UnblockRemoveProcessZombies();
        return OS_USER_LAUNCH_NO_PROCESS;
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &noSignals, nullptr);  // the program gets no blocked signals
        closefrom(3);
        if (changeDirectory && chdir(workDir) != 0) {
            _exit(1);  // never run the program in another directory
        }
        // Without argument text there is nothing for the shell to do but to execute the
        // program, so it is executed directly; the shell runs it only when the system
        // cannot (a script without an interpreter line).
        if (direct) {
            execve(resolved, const_cast<char* const*>(directArgv), const_cast<char* const*>(envp));
        }
        execve(kShell, const_cast<char* const*>(argv), const_cast<char* const*>(envp));
        _exit(1);
    }

    if (timeoutMs <= 0) {
        handler.UnblockAndRecordChild(child);
        Write(processId, child);
        Write(exitCode, 0);
        return OS_USER_LAUNCH_OK;
    }

    // Poll for the child; the pause grows from 50 us to 1 ms so short programs are seen
    // soon after they end without spinning on long ones.
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pauseNs = 50000;
    int waitStatus = 0;
    pid_t waited;
    for (;;) {
        waited = waitpid(child, &waitStatus, WNOHANG);
        if (waited < 0 && errno == EINTR) {
            continue;
        }
        if (waited != 0 || MillisecondsSince(start) > timeoutMs) {
            break;
        }
        const timespec pause = {0, pauseNs};
        nanosleep(&pause, nullptr);
        pauseNs = std::min(pauseNs * 2, 1000000L);
    }
    // A child still running stays recorded for zombie removal and termination.
    handler.UnblockAndRecordChild(waited == 0 ? child : 0);
    Write(processId, child);
    if (waited != child || !WIFEXITED(waitStatus)) {
        return OS_USER_LAUNCH_FAILED;
    }
    Write(exitCode, WEXITSTATUS(waitStatus));
    return OS_USER_LAUNCH_OK;
}

// Identifier text in the DCE form: 36 characters, hexadecimal, Data1-3 as numbers (host
// order), "" meaning the nil identifier. One parser on both systems: FreeBSD's
// uuid_from_string reads the fields with sscanf("%8x-%4hx..."), which also takes blanks,
// signs and "0x" inside a field, so it would accept text that this parser refuses.

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses length characters of text into guid; false (guid untouched) when malformed.
bool ParseGuid(const char* text, size_t length, _GUID* guid)
{
    _GUID parsed = {};
    if (length != 0) {
        if (length != 36) {
            return false;
        }
        uint8_t bytes[16];
        size_t count = 0;
        for (size_t i = 0; i < 36;) {
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                if (text[i] != '-') {
                    return false;
                }
                ++i;
                continue;
            }
            const int high = HexValue(text[i]);
            const int low = HexValue(text[i + 1]);
            if (high < 0 || low < 0) {
                return false;
            }
            bytes[count++] = static_cast<uint8_t>(high << 4 | low);
            i += 2;
        }
        parsed.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                       static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
        parsed.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
        parsed.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
        memcpy(parsed.Data4, bytes + 8, 8);
        // The variant bits must name one of the three defined variants (0xx, 10x, 110).
        const uint8_t variant = parsed.Data4[0];
        if ((variant & 0x80) != 0x00 && (variant & 0xC0) != 0x80 && (variant & 0xE0) != 0xC0) {
            return false;
        }
    }
    *guid = parsed;
    return true;
}

}  // namespace

// ---- trace switch ----

void KvTraceEnableSysLog()
{
    g_traceSysLogDisabled.store(false);
}

void KvTraceDisableSysLog()
{
    g_traceSysLogDisabled.store(true);
}

bool KvTraceIsSysLogEnabled()
{
    return !g_traceSysLogDisabled.load();
}

// ---- system information ----

void OsUserGetSystemInfo(_SYSTEM_INFO* info)
{
    if (info == nullptr) {
        return;
    }
    info->wProcessorArchitecture = 9;
    info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
    info->lpMinimumApplicationAddress = nullptr;
    info->lpMaximumApplicationAddress = nullptr;
    const long online = std::min(sysconf(_SC_NPROCESSORS_ONLN), 32L);
    info->dwActiveProcessorMask =
        online <= 0 ? 0u : (online == 32 ? 0xFFFFFFFFu : (1u << online) - 1u);
    info->dwNumberOfProcessors = static_cast<DWORD>(sysconf(_SC_NPROCESSORS_CONF));
    info->dwProcessorType = 0;
    info->dwAllocationGranularity = 0;
    info->wProcessorLevel = 0;
    info->wProcessorRevision = 0;
}

namespace {

// The processor count of one topology line after its tag: every factor multiplied
// from "package(s)" up to "core(s)", as in "2 package(s) x 4 cache groups x 8 core(s) x 2
// hardware threads" (64). False when the line names no cores.
bool CoresOfTopology(const char* text, long& cores)
{
    uint32_t product = 1;  // a 32-bit product, as the count has always been
    for (bool first = true;; first = false) {
        while (*text == ' ') {
            ++text;
        }
        if (*text < '0' || *text > '9') {
            return false;
        }
        char* label = nullptr;
        const unsigned long factor = strtoul(text, &label, 10);
        product *= static_cast<uint32_t>(factor);
        // The factor's label runs to the next " x " or to the line's end.
        label += strspn(label, " ");
        const char* next = strstr(label, " x ");
        const size_t length =
            next != nullptr ? static_cast<size_t>(next - label) : strcspn(label, "\r\n");
        const auto is = [&](const char* word) {
            return length == strlen(word) && strncmp(label, word, length) == 0;
        };
        if (first != is("package(s)")) {
            return false;
        }
        if (is("core(s)")) {
            cores = static_cast<long>(product);
            return true;
        }
        if (next == nullptr) {
            return false;
        }
        text = next + 3;
    }
}

}  // namespace

bool SearchCoresInBootLog(const char* path, long& cores)
{
    FILE* log = path == nullptr ? nullptr : fopen(path, "r");
    if (log == nullptr) {
        return false;
    }
    // Lines as "FreeBSD/SMP: 1 package(s) x 4 core(s)"; the last one wins. Longer lines
    // are read in pieces of 255 characters.
    static const char kTag[] = "FreeBSD/SMP:";
    bool found = false;
    char line[256];
    while (fgets(line, sizeof line, log) != nullptr) {
        if (strncmp(line, kTag, sizeof kTag - 1) == 0 &&
            CoresOfTopology(line + sizeof kTag - 1, cores)) {
            found = true;
        }
    }
    fclose(log);
    return found;
}

bool SearchCoresInDmesgBoot(long& cores)
{
#if defined(__linux__)
    (void)cores;
    return false;  // the kernel keeps no boot log file here
#else
    return SearchCoresInBootLog("/var/run/dmesg.boot", cores);
#endif
}

// ---- zombie coordinator ----

CWaitProcessHandler& CWaitProcessHandler::GetHandler()
{
    static CWaitProcessHandler handler;
    return handler;
}

CWaitProcessHandler::CWaitProcessHandler() : blockCount(0), reapPending(false)
{
    CheckPthread(pthread_mutex_init(&mutex, nullptr), "pthread_mutex_init");
}

CWaitProcessHandler::~CWaitProcessHandler()
{
    // At process exit a thread may still be inside a launch; the mutex is then left as is.
    pthread_mutex_destroy(&mutex);
}

void CWaitProcessHandler::ReapLocked()
{
    for (;;) {
        int status;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno == EINTR) {
            continue;
        }
        if (pid <= 0) {
            return;
        }
        children.erase(std::remove(children.begin(), children.end(), pid), children.end());
    }
}

void CWaitProcessHandler::RemoveProcessZombies()
{
    CoordinatorLock lock(&mutex);
    if (blockCount != 0) {
        reapPending = true;
    } else {
        ReapLocked();
    }
}

void CWaitProcessHandler::BlockRemoveProcessZombies()
{
    CoordinatorLock lock(&mutex);
    ++blockCount;
}

void CWaitProcessHandler::UnblockRemoveProcessZombies()
{
    UnblockAndRecordChild(0);
}

void CWaitProcessHandler::UnblockAndRecordChild(int pid)
{
    CoordinatorLock lock(&mutex);
    if (pid > 0) {
        children.push_back(pid);
    }
    if (blockCount > 0) {
        --blockCount;
    }
    // A pending pass waits for the last launcher: earlier it could take a waiting
    // launcher's child and leave that launcher without its exit code.
    if (reapPending && blockCount == 0) {
        ReapLocked();
        reapPending = false;
    }
}

bool CWaitProcessHandler::ClaimChild(int pid)
{
    CoordinatorLock lock(&mutex);
    const auto found = std::find(children.begin(), children.end(), pid);
    if (found == children.end()) {
        return false;
    }
    children.erase(found);
    ++blockCount;
    return true;
}

void OsUserRemoveProcessZombies()
{
    CWaitProcessHandler::GetHandler().RemoveProcessZombies();
}

void OsUserBlockRemoveProcessZombies()
{
    CWaitProcessHandler::GetHandler().BlockRemoveProcessZombies();
}

void OsUserUnblockRemoveProcessZombies()
{
    CWaitProcessHandler::GetHandler().UnblockRemoveProcessZombies();
}

// ---- launchers and process records ----

int OsUserLaunchProcessInternal(const char* command_line, const char* work_dir, int, int timeout_ms,
                                int* exit_code, int* process_id)
{
    if (command_line == nullptr) {
        return OS_USER_LAUNCH_NOT_FOUND;
    }
    // The program path ends at the first blank; the rest, blank included, is argument text.
    const char* blank = strchr(command_line, ' ');
    const CString program = blank == nullptr
                                ? CString(command_line)
                                : CString(command_line, static_cast<int>(blank - command_line));
    return Launch(program, blank == nullptr ? "" : blank, work_dir, timeout_ms, exit_code,
                  process_id);
}

int OsUserLaunchProcess(const char* command_line, int, int timeout_ms, int* exit_code)
{
    return OsUserLaunchProcessInternal(command_line, nullptr, 0, timeout_ms, exit_code, nullptr);
}

int OsUserLaunchProcessEx(const char* program, const char* work_dir, const char* arguments, int,
                          int timeout_ms, int* exit_code)
{
    if (program == nullptr) {
        return OS_USER_LAUNCH_NOT_FOUND;
    }
    // "\" becomes "/" and each run of "/" one "/". An empty path keeps the shared empty
    // block, which is never written.
    CString path(program);
    path.Replace('\\', '/');
    char* text = path.IsEmpty() ? nullptr : path.GetBuffer(path.GetLength());
    if (text != nullptr) {
        char* out = text;
        for (const char* in = text; *in != '\0'; ++in) {
            if (!(*in == '/' && out != text && out[-1] == '/')) {
                *out++ = *in;
            }
        }
        *out = '\0';
        path.ReleaseBuffer();
    }
    CString argumentText;
    if (arguments != nullptr && *arguments != '\0') {
        argumentText.Format(" %s", arguments);
    }
    // The path goes to the launcher whole, so it may contain blanks.
    return Launch(path, argumentText, work_dir, timeout_ms, exit_code, nullptr);
}

int OsUserCreateProcess(const char* command_line, const char* work_dir, _OS_USER_PROC_INFO* info)
{
    if (info == nullptr) {
        return OS_USER_LAUNCH_NOT_FOUND;
    }
    static_assert(sizeof(info->dwProcessId) == sizeof(int), "the id is written as an int");
    const int result = OsUserLaunchProcessInternal(command_line, work_dir, 0, 0, nullptr,
                                                   reinterpret_cast<int*>(&info->dwProcessId));
    if (result == OS_USER_LAUNCH_OK) {
        info->hProcess = nullptr;
        info->hThread = nullptr;
        info->dwThreadId = 0;
    }
    return result;
}

int OsUserTerminateProcess(_OS_USER_PROC_INFO* info, unsigned)
{
    if (info == nullptr) {
        return OS_USER_LAUNCH_NOT_FOUND;
    }
    // Only a started child that nobody has collected yet is signalled: a collected id may
    // already belong to another process. Claiming it keeps reaping off until it is collected.
    CWaitProcessHandler& handler = CWaitProcessHandler::GetHandler();
    const pid_t pid = info->dwProcessId;
    if (pid <= 0 || !handler.ClaimChild(pid)) {
        return OS_USER_LAUNCH_FAILED;
    }
    // Collected by someone else's waitpid meanwhile: no longer ours to signal.
    siginfo_t state{};
    if (waitid(P_PID, static_cast<id_t>(pid), &state, WEXITED | WNOHANG | WNOWAIT) != 0) {
        handler.UnblockRemoveProcessZombies();
        return OS_USER_LAUNCH_FAILED;
    }
    kill(pid, SIGTERM);
    pid_t waited;
    do {
        waited = waitpid(pid, nullptr, 0);
    } while (waited < 0 && errno == EINTR);
    handler.UnblockRemoveProcessZombies();
    return waited == pid ? OS_USER_LAUNCH_OK : OS_USER_LAUNCH_FAILED;
}

int OsUserReleaseProcessHandle(_OS_USER_PROC_INFO*)
{
    return 0;
}

// ---- identifiers ----

uint32_t CreateRandomGuid(_GUID* guid, GuidRandomSource source)
{
    if (guid == nullptr) {
        return OS_USER_E_FAIL;
    }
    _GUID created;
    if (source == GuidRandomSource::kArc4random) {
#if defined(KV_NO_ARC4RANDOM)
        errno = ENOSYS;
        return OS_USER_E_FAIL;
#else
        arc4random_buf(&created, sizeof created);  // cannot fail
#endif
    } else if (getrandom(&created, sizeof created, 0) != static_cast<ssize_t>(sizeof created)) {
        return OS_USER_E_FAIL;
    }
    created.Data3 = static_cast<uint16_t>((created.Data3 & 0x0FFF) | 0x4000);
    created.Data4[0] = static_cast<uint8_t>((created.Data4[0] & 0x3F) | 0x80);
    *guid = created;
    return OS_USER_S_OK;
}

uint32_t OsUserCoCreateGuid(_GUID* guid)
{
    // Random, never uuid_create's version 1 (the time and the MAC address: predictable).
#if defined(__linux__)
    return CreateRandomGuid(guid, GuidRandomSource::kGetrandom);
#else
    return CreateRandomGuid(guid, GuidRandomSource::kArc4random);
#endif
}

uint32_t OsCLSIDFromStringA(const char* text, _GUID* guid)
{
    if (guid == nullptr) {
        return OS_USER_E_FAIL;
    }
    // "{...}": the first and the last character are dropped, whatever the last one is.
    const size_t length = text == nullptr ? 0 : strlen(text);
    const bool braced = length >= 3 && text[0] == '{';
    const char* inner = braced ? text + 1 : text;
    const size_t innerLength = braced ? length - 2 : length;
    return ParseGuid(inner, innerLength, guid) ? OS_USER_S_OK : OS_USER_E_FAIL;
}

uint32_t OsStringFromCLSIDA(_GUID& guid, char** text)
{
    if (text == nullptr) {
        return OS_USER_E_FAIL;
    }
    char formed[37];
    snprintf(formed, sizeof formed, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
             static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
             static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    const size_t size = strlen(formed) + 3;
    *text = static_cast<char*>(malloc(size));
    if (*text != nullptr) {
        snprintf(*text, size, "{%s}", formed);
    }
    return *text == nullptr ? OS_USER_E_OUTOFMEMORY : OS_USER_S_OK;
}
