#include "file_cache.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using IxoWebservice::file_cache;

// Clocks for the cache: the real one, one far enough ahead that every file counts as
// having been still for long, and one behind the files' times.
std::timespec shifted_time(std::time_t seconds)
{
    std::timespec now = file_cache::real_time();
    now.tv_sec += seconds;
    return now;
}
std::timespec settled_time() { return shifted_time(10); }
std::timespec earlier_time() { return shifted_time(-10); }

struct lookup_result {
    std::string content;
    bool large = false;
    boost::system::error_code ec;
};

class FileCache : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvcache-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Writes text over the file, keeping its inode.
    static void write(const std::string& file, const std::string& text)
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        ASSERT_TRUE(out.good());
    }

    static lookup_result lookup(file_cache& cache, const std::string& file)
    {
        lookup_result result;
        file_cache::found found;
        cache.lookup(file, found, result.ec);
        if (found.content)
            result.content = found.content->bytes;
        if (found.fd >= 0) {
            result.large = true;
            close(found.fd);
        }
        return result;
    }

    std::string dir_;
};

struct stat status_of(const std::string& file)
{
    struct stat status {};
    EXPECT_EQ(0, stat(file.c_str(), &status));
    return status;
}

bool same_time(const std::timespec& a, const std::timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Each change is made right after the file was looked up, within the same second, and is
// seen by the very next lookup, both for a file too young to be kept (real clock) and for
// one that is kept (settled clock), where the comparison of the status has to catch it.
struct change_case {
    const char* name;
    void (*change)(const std::string& file, const std::string& dir);
    const char* content;  // expected content after the change; null when an error is expected
    boost::system::errc::errc_t error;
};

const change_case change_cases[] = {
    {"same size in place",
     [](const std::string& file, const std::string&) {
         // Rewritten until its change time moves: file systems with coarse times need a
         // later step; the size and the inode stay the same all along.
         const struct stat before = status_of(file);
         for (int i = 0; i < 1000000; ++i) {
             const int fd = open(file.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(4, pwrite(fd, "BBBB", 4, 0));
             close(fd);
             if (!same_time(status_of(file).st_ctim, before.st_ctim))
                 return;
         }
         FAIL() << "the change time never moved";
     },
     "BBBB", {}},
    {"replaced by rename with the same size and modification time",
     [](const std::string& file, const std::string& dir) {
         const struct stat before = status_of(file);
         const std::string other = dir + "/replacement";
         std::ofstream(other, std::ios::binary) << "CCCC";
         const std::timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(0, utimensat(AT_FDCWD, other.c_str(), times, 0));
         ASSERT_EQ(0, std::rename(other.c_str(), file.c_str()));
     },
     "CCCC", {}},
    {"grown", [](const std::string& file, const std::string&) { std::ofstream(file, std::ios::app) << "++"; },
     "AAAA++", {}},
    {"removed", [](const std::string& file, const std::string&) { ASSERT_EQ(0, unlink(file.c_str())); }, nullptr,
     boost::system::errc::no_such_file_or_directory},
    {"replaced by a directory",
     [](const std::string& file, const std::string&) {
         ASSERT_EQ(0, unlink(file.c_str()));
         ASSERT_EQ(0, mkdir(file.c_str(), 0700));
     },
     nullptr, boost::system::errc::is_a_directory},
};

TEST_F(FileCache, ChangeIsSeenByTheNextLookup)
{
    for (const file_cache::clock_fn clock : {&file_cache::real_time, &settled_time}) {
        for (const change_case& c : change_cases) {
            SCOPED_TRACE(std::string(c.name) + (clock == &settled_time ? ", kept" : ", too young to keep"));
            const std::string file = path("page.html");
            std::filesystem::remove_all(file);
            write(file, "AAAA");
            file_cache cache(file_cache::limits{}, clock);
            EXPECT_EQ("AAAA", lookup(cache, file).content);
            EXPECT_EQ("AAAA", lookup(cache, file).content);
            EXPECT_EQ(clock == &settled_time ? 1U : 0U, cache.hits());

            c.change(file, dir_);
            const lookup_result after = lookup(cache, file);
            if (c.content != nullptr) {
                EXPECT_FALSE(after.ec) << after.ec.message();
                EXPECT_EQ(c.content, after.content);
            } else {
                EXPECT_EQ(make_error_code(c.error), after.ec);
                EXPECT_EQ("", after.content);
                EXPECT_EQ(0U, cache.entries());
                EXPECT_EQ(0U, cache.bytes());
            }
        }
    }
}

// A file is kept only once its status has been still for the margin before the read:
// just written files are read afresh on every lookup, also when the clock is behind them.
TEST_F(FileCache, OnlyFilesStillForTheMarginAreKept)
{
    const struct {
        file_cache::clock_fn clock;
        bool kept;
    } cases[] = {{&file_cache::real_time, false}, {&earlier_time, false}, {&settled_time, true}};
    const std::string file = path("style.css");
    write(file, "body {}");
    for (const auto& c : cases) {
        file_cache cache(file_cache::limits{}, c.clock);
        EXPECT_EQ("body {}", lookup(cache, file).content);
        EXPECT_EQ("body {}", lookup(cache, file).content);
        EXPECT_EQ(c.kept ? 1U : 0U, cache.entries());
        EXPECT_EQ(c.kept ? 1U : 0U, cache.hits());
        EXPECT_EQ(c.kept ? file.size() + 7 : 0U, cache.bytes());
    }
}

TEST_F(FileCache, LargerFilesAreHandedOverOpen)
{
    file_cache::limits bounds;
    bounds.max_file_bytes = 16;
    file_cache cache(bounds, &settled_time);
    const std::string file = path("big.bin");
    write(file, std::string(17, 'x'));
    const lookup_result big = lookup(cache, file);
    EXPECT_FALSE(big.ec);
    EXPECT_TRUE(big.large);
    EXPECT_EQ(0U, cache.entries());

    write(file, std::string(16, 'y'));
    EXPECT_EQ(std::string(16, 'y'), lookup(cache, file).content);
    EXPECT_EQ(1U, cache.entries());
}

// Clients choose the names: however many distinct files they ask for, the entries and the
// bytes held stay within the bounds, the least recently used going first.
TEST_F(FileCache, ManyDistinctNamesStayWithinTheBounds)
{
    file_cache::limits bounds;
    bounds.max_file_bytes = 4096;
    bounds.max_entries = 20;
    bounds.max_total_bytes = 30000;
    file_cache cache(bounds, &settled_time);

    const std::string hot = path("hot.html");
    write(hot, "hot");
    std::uint64_t expected_hits = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string name = path("f" + std::to_string(i) + ".txt");
        write(name, std::string(static_cast<std::size_t>(500 + (i % 7) * 250), 'a'));
        EXPECT_FALSE(lookup(cache, name).ec);
        EXPECT_EQ(boost::system::errc::no_such_file_or_directory,
                  lookup(cache, name + ".missing").ec.value());
        ASSERT_LE(cache.entries(), bounds.max_entries);
        ASSERT_LE(cache.bytes(), bounds.max_total_bytes);
        // Used again and again, the hot file is never the least recently used one.
        EXPECT_EQ("hot", lookup(cache, hot).content);
        if (i > 0) {
            EXPECT_EQ(++expected_hits, cache.hits());
        }
    }
    EXPECT_GE(cache.entries(), 10U);  // the bytes bound, not the entries bound, limits here

    // A file larger than all the bytes allowed is served but not kept.
    bounds.max_file_bytes = 1000;
    bounds.max_total_bytes = 1000;
    file_cache small(bounds, &settled_time);
    const std::string fill = path("fill.txt");
    write(fill, std::string(990, 'z'));
    EXPECT_EQ(990U, lookup(small, fill).content.size());
    EXPECT_EQ(0U, small.entries());
    EXPECT_EQ(0U, small.bytes());
}

}  // namespace
