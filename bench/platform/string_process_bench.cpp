// CString and the launcher side by side with what a C++ programmer would use instead:
// std::string, snprintf, and posix_spawn of "sh -c" followed by waitpid. Each pair is
// measured in alternating rounds in one run; the medians and their ratio are printed.
#include "KvPlatformHelper.h"

#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

// Keeps the compiler from dropping work whose result is not otherwise used.
template <typename T>
void Keep(const T& value)
{
    asm volatile("" : : "g"(&value) : "memory");
}

double NowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Nanoseconds per operation of one batch.
double Batch(const std::function<void()>& operation, int count)
{
    const double start = NowNs();
    for (int i = 0; i < count; ++i) {
        operation();
    }
    return (NowNs() - start) / count;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs ours and the anchor in alternating rounds; prints both medians and the ratio.
void Compare(const char* name, const std::function<void()>& ours, const std::function<void()>& anchor,
             int count, int rounds, const char* target)
{
    std::vector<double> oursNs, anchorNs;
    Batch(ours, count / 10 + 1);  // warm-up
    Batch(anchor, count / 10 + 1);
    for (int r = 0; r < rounds; ++r) {
        oursNs.push_back(Batch(ours, count));
        anchorNs.push_back(Batch(anchor, count));
    }
    const double a = Median(oursNs);
    const double b = Median(anchorNs);
    printf("%-34s %12.1f ns %12.1f ns %8.2fx   %s\n", name, a, b, a / b, target);
}

pid_t g_spawned;
char g_shell[] = "sh";
char g_dashC[] = "-c";

}  // namespace

int main()
{
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf("load average at start: %.2f %.2f %.2f, %ld processors online\n", load[0], load[1],
           load[2], sysconf(_SC_NPROCESSORS_ONLN));
    printf("%-34s %15s %15s %9s   %s\n", "measurement", "ours", "anchor", "ratio", "target");

    const std::string kib(1024, 'k');
    const CString cKib(kib.c_str());
    const std::string sKib(kib);

    Compare("copy 1 KiB (CString vs string)",
            [&] { CString copy(cKib); Keep(copy); },
            [&] { std::string copy(sKib); Keep(copy); }, 200000, 9, "<= 0.5x");

    const std::string big(16384, 'b');
    const CString cBig(big.c_str());
    Compare("copy 16 KiB (CString vs string)",
            [&] { CString copy(cBig); Keep(copy); },
            [&] { std::string copy(big); Keep(copy); }, 100000, 9, "");

    CString cTarget;
    std::string sTarget;
    Compare("assign 1 KiB text",
            [&] { cTarget = kib.c_str(); Keep(cTarget); },
            [&] { sTarget = kib.c_str(); Keep(sTarget); }, 200000, 9, "");

    Compare("append 1 KiB text to 1 KiB",
            [&] { CString s(cKib); s += kib.c_str(); Keep(s); },
            [&] { std::string s(sKib); s += kib.c_str(); Keep(s); }, 100000, 9, "");

    Compare("64 appends of 1 KiB (64 KiB)",
            [&] { CString s; for (int i = 0; i < 64; ++i) s += kib.c_str(); Keep(s); },
            [&] { std::string s; for (int i = 0; i < 64; ++i) s += kib.c_str(); Keep(s); }, 300, 9,
            "growth: exact vs geometric");

    for (int chars : {1024, 4096}) {
        const std::string name = std::to_string(chars) + " single-character appends";
        Compare(name.c_str(),
                [&] { CString s; for (int i = 0; i < chars; ++i) s += 'x'; Keep(s); },
                [&] { std::string s; for (int i = 0; i < chars; ++i) s += 'x'; Keep(s); },
                chars == 1024 ? 300 : 40, 7, "quadratic vs linear");
    }

    int counter = 0;
    CString cFormatted;
    char buffer[256];
    Compare("Format vs snprintf",
            [&] { cFormatted.Format("%s:%d:%08x:%.3f", "device", counter, counter, 1.5); ++counter; Keep(cFormatted); },
            [&] { snprintf(buffer, sizeof buffer, "%s:%d:%08x:%.3f", "device", counter, counter, 1.5); ++counter; Keep(buffer); },
            200000, 9, "<= 2x");

    // A trivial program of our own in a temporary directory.
    char dir[] = "/tmp/kvbench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    const std::string program = std::string(dir) + "/trivial";
    FILE* script = fopen(program.c_str(), "w");
    if (script == nullptr) {
        perror("fopen");
        return 1;
    }
    fputs("#!/bin/sh\nexit 0\n", script);
    fclose(script);
    chmod(program.c_str(), 0755);

    std::string command = program;
    Compare("launch + wait vs posix_spawn sh -c",
            [&] {
                int exitCode = -1;
                if (OsUserLaunchProcessInternal(program.c_str(), nullptr, 0, 10000, &exitCode, nullptr) != 0) {
                    fprintf(stderr, "launch failed\n");
                }
            },
            [&] {
                char* argv[] = {g_shell, g_dashC, &command[0], nullptr};
                char* envp[] = {nullptr};
                if (posix_spawn(&g_spawned, "/bin/sh", nullptr, nullptr, argv, envp) == 0) {
                    waitpid(g_spawned, nullptr, 0);
                }
            },
            40, 7, "<= 1.5x");

    // With argument text the command line always goes through the shell.
    const std::string withArgument = program + " 1";
    std::string commandWithArgument = withArgument;
    Compare("launch + wait, with an argument",
            [&] {
                int exitCode = -1;
                if (OsUserLaunchProcessInternal(withArgument.c_str(), nullptr, 0, 10000, &exitCode, nullptr) != 0) {
                    fprintf(stderr, "launch failed\n");
                }
            },
            [&] {
                char* argv[] = {g_shell, g_dashC, &commandWithArgument[0], nullptr};
                char* envp[] = {nullptr};
                if (posix_spawn(&g_spawned, "/bin/sh", nullptr, nullptr, argv, envp) == 0) {
                    waitpid(g_spawned, nullptr, 0);
                }
            },
            40, 7, "<= 1.5x");

    unlink(program.c_str());
    rmdir(dir);
    getloadavg(load, 3);
    printf("load average at end:   %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    return 0;
}
