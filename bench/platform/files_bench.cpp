// Files benchmark: the layer's search and copy against what a POSIX program would do.
//   listing 100,000 files: FindFirstFile/FindNextFile vs readdir + fstatat
//   copying one 256 MiB file and 10,000 files of 4 KiB: CopyFile vs cp and
//   std::filesystem::copy_file
// The contenders run interleaved in rounds (see Race); the figures are medians over the rounds,
// the ratios ours over the faster anchor.
//   files_bench [directory]   (default: $TMPDIR or /tmp; everything made there is removed)
#include "KvPlatformHelper.h"
#include "BenchLoad.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr int kRounds = 9;

// Processor time of this process and its waited-for children (cp): on a machine shared with
// other work it varies far less than the elapsed time, which is reported beside it.
double ProcessorSeconds()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

struct Times {
    double elapsed;
    double processor;
};

Times Measure(const std::function<void()>& work)
{
    const double processor = ProcessorSeconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            ProcessorSeconds() - processor};
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs the contenders kRounds times, interleaved; each round is prepared untimed and may be
// split into batches, each contender timed on each batch in turn (rotating who goes first, the
// disk synced before each), so that a change of the machine's load meets all of them alike.
// Returns the median round totals of each contender.
using Contender = std::function<void(int batch)>;
std::vector<Times> Race(const std::vector<Contender>& contenders, const std::function<void()>& prepare,
                        int batches = 1)
{
    const size_t n = contenders.size();
    std::vector<std::vector<double>> elapsed(n), processor(n);
    for (int round = 0; round < kRounds; ++round) {
        prepare();
        std::vector<Times> totals(n, Times{0, 0});
        for (int batch = 0; batch < batches; ++batch) {
            for (size_t i = 0; i < n; ++i) {
                const size_t who = (i + static_cast<size_t>(round + batch)) % n;
                sync();
                const Times t = Measure([&] { contenders[who](batch); });
                totals[who].elapsed += t.elapsed;
                totals[who].processor += t.processor;
            }
        }
        for (size_t i = 0; i < n; ++i) {
            elapsed[i].push_back(totals[i].elapsed);
            processor[i].push_back(totals[i].processor);
        }
    }
    std::vector<Times> medians;
    for (size_t i = 0; i < n; ++i) {
        medians.push_back({Median(elapsed[i]), Median(processor[i])});
    }
    return medians;
}

void Report(const char* what, const std::vector<const char*>& names,
            const std::vector<Times>& medians, double target)
{
    printf("%s (medians of %d rounds, elapsed / processor time):\n", what, kRounds);
    double elapsedAnchor = 1e30, processorAnchor = 1e30;
    for (size_t i = 0; i < names.size(); ++i) {
        printf("  %-28s %8.1f ms / %8.1f ms\n", names[i], medians[i].elapsed * 1000,
               medians[i].processor * 1000);
        if (i > 0) {
            elapsedAnchor = std::min(elapsedAnchor, medians[i].elapsed);
            processorAnchor = std::min(processorAnchor, medians[i].processor);
        }
    }
    printf("  ratio to the faster anchor: elapsed %.2f, processor %.2f (target <= %.1f)\n",
           medians[0].elapsed / elapsedAnchor, medians[0].processor / processorAnchor, target);
}

size_t ListWithFind(const std::string& directory)
{
    _WIN32_FIND_DATAA data;
    size_t count = 0;
    OS_USER_HANDLE h = OsUserFindFirstFile((directory + "/*").c_str(), &data);
    for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = OsUserFindNextFile(h, &data)) {
        count += data.nFileSizeLow == 0 ? 1 : 0;
    }
    OsUserFindClose(h);
    return count;
}

size_t ListWithReaddir(const std::string& directory)
{
    DIR* d = opendir(directory.c_str());
    size_t count = 0;
    while (dirent* entry = readdir(d)) {
        struct stat status {};
        if (entry->d_name[0] != '.' && fstatat(dirfd(d), entry->d_name, &status, 0) == 0) {
            count += status.st_size == 0 ? 1 : 0;
        }
    }
    closedir(d);
    return count;
}

void RunCp(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    int status = 0;
    if (posix_spawn(&child, "/bin/cp", nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(child, &status, 0) != child || status != 0) {
        fprintf(stderr, "cp failed\n");
        exit(1);
    }
}

void WriteFile(const std::string& path, size_t size)
{
    std::string block(1 << 20, '\0');
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 2654435761u >> 24);
    }
    FILE* file = fopen(path.c_str(), "w");
    for (size_t written = 0; written < size; written += std::min(size - written, block.size())) {
        fwrite(block.data(), 1, std::min(size - written, block.size()), file);
    }
    fclose(file);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* base = argc > 1 ? argv[1] : getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    std::string top = std::string(base) + "/kv-files-bench-XXXXXX";
    if (mkdtemp(top.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    PrintLoad("at start");

    // Listing 100,000 empty files.
    const std::string many = top + "/many";
    fs::create_directory(many);
    for (int i = 0; i < 100000; ++i) {
        close(open((many + "/file" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0600));
    }
    size_t found[2] = {};
    Report("list 100,000 files", {"FindFirstFile/FindNextFile", "readdir+fstatat"},
           Race({[&](int) { found[0] = ListWithFind(many); },
                 [&](int) { found[1] = ListWithReaddir(many); }},
                [] {}),
           1.3);
    if (found[0] != 100000 || found[1] != 100000) {
        fprintf(stderr, "listing found %zu and %zu files\n", found[0], found[1]);
    }
    fs::remove_all(many);

    // One 256 MiB file, copied to a new name each round (the previous copies removed untimed).
    const std::string big = top + "/big";
    WriteFile(big, 256u << 20);
    const std::string copies[] = {top + "/copy-ours", top + "/copy-cp", top + "/copy-fs"};
    auto removeCopies = [&] {
        for (const std::string& c : copies) {
            fs::remove_all(c);
        }
    };
    Report("copy one 256 MiB file", {"CopyFile", "cp", "std::filesystem::copy_file"},
           Race({[&](int) { OsUserCopyFile(big.c_str(), copies[0].c_str(), 0); },
                 [&](int) { RunCp({"cp", big, copies[1]}); },
                 [&](int) { fs::copy_file(big, copies[2]); }},
                removeCopies),
           1.1);
    removeCopies();
    fs::remove(big);

    // 10,000 files of 4 KiB in 20 directories, copied into fresh ones each round.
    const std::string small = top + "/small";
    auto batchName = [](int batch) { return "/b" + std::to_string(batch); };
    for (int batch = 0; batch < 20; ++batch) {
        fs::create_directories(small + batchName(batch));
        for (int i = 0; i < 500; ++i) {
            WriteFile(small + batchName(batch) + "/f" + std::to_string(i), 4096);
        }
    }
    // cp makes each batch directory itself ("cp -R from to" with no "to": POSIX, no GNU -T).
    auto freshCopies = [&] {
        removeCopies();
        for (const std::string& c : copies) {
            fs::create_directories(c);
            for (int batch = 0; c != copies[1] && batch < 20; ++batch) {
                fs::create_directories(c + batchName(batch));
            }
        }
    };
    auto each = [&](int batch, const std::string& target, bool ours) {
        for (int i = 0; i < 500; ++i) {
            const std::string name = batchName(batch) + "/f" + std::to_string(i);
            if (ours) {
                OsUserCopyFile((small + name).c_str(), (target + name).c_str(), 0);
            } else {
                fs::copy_file(small + name, target + name);
            }
        }
    };
    Report("copy 10,000 files of 4 KiB", {"CopyFile", "cp", "std::filesystem::copy_file"},
           Race({[&](int batch) { each(batch, copies[0], true); },
                 [&](int batch) {
                     RunCp({"cp", "-R", small + batchName(batch), copies[1] + batchName(batch)});
                 },
                 [&](int batch) { each(batch, copies[2], false); }},
                freshCopies, 20),
           1.1);
    fs::remove_all(top);
    PrintLoad("at end");
    return 0;
}
