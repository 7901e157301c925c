#include "file_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using IxoWebservice::file_cache;
namespace errc = boost::system::errc;

// Clocks for the cache: one far enough ahead that every file has been still for long, one behind the files.
template <std::time_t shift> std::timespec shifted_time() { return {file_cache::real_time().tv_sec + shift, 0}; }
constexpr file_cache::clock_fn settled_time = &shifted_time<10>;
constexpr file_cache::clock_fn earlier_time = &shifted_time<-10>;
// 2.5 s ahead: a file written just now has not been still for the margin (it would have been for two seconds).
std::timespec nearly_settled_time()
{
    const std::timespec now = file_cache::real_time();
    return {now.tv_sec + 2 + (now.tv_nsec >= 500000000), (now.tv_nsec + 500000000) % 1000000000};
}

// Writes text over the file, keeping the inode of an existing one; returns the file.
std::string put(const std::string& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

std::int64_t change_time_ns(const std::string& file)
{
    struct stat status {};
    EXPECT_EQ(0, stat(file.c_str(), &status));
    return status.st_ctim.tv_sec * std::int64_t{1000000000} + status.st_ctim.tv_nsec;
}

std::string failure(errc::errc_t error) { return "!" + make_error_code(error).message(); }

// What the cache holds, as {hits, bytes kept in memory, descriptors held open}.
using held_t = std::vector<std::uint64_t>;
held_t held(const file_cache& cache) { return {cache.hits(), cache.bytes(), cache.descriptors()}; }

class FileCache : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(nullptr, mkdtemp(dir_.data())); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string write(const std::string& name, const std::string& text) const { return put(dir_ + "/" + name, text); }

    // Everything the lookup found: the content, or "<open>" and what the descriptor reads at the examined
    // size, after "!" and the error's message.
    static std::string lookup(file_cache& cache, const std::string& file)
    {
        file_cache::found found;
        boost::system::error_code ec;
        cache.lookup(file, found, ec);
        return (ec ? "!" + ec.message() : "") + (found.content ? found.content->bytes : "") + opened(found.file);
    }

    static std::string opened(const IxoWebservice::open_file_ptr& file)
    {
        if (!file)
            return "";
        std::string bytes(static_cast<std::size_t>(file->status().st_size), '\0');
        bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(0, pread(file->descriptor(), &bytes[0], bytes.size(), 0))));
        return "<open>" + bytes;
    }

    std::string dir_ = "/tmp/kvcache-XXXXXX";  // made unique by SetUp
};

// Each change is made within the same second as the lookups before it and is seen by the next lookup, both
// for a file not kept and for a kept one, whose status comparison has to catch it.
struct change_case {
    const char* name;
    void (*change)(const std::string& file);
    const char* content;  // after the change; null when the lookup fails with error
    errc::errc_t error;
};

const change_case change_cases[] = {
    {"same size in place, modification time put back",
     [](const std::string& file) {  // until the change time moves, as file systems keep it in coarse steps
         const std::int64_t before = change_time_ns(file);
         const auto modified = std::filesystem::last_write_time(file);
         for (int i = 0; i < 1000000 && change_time_ns(file) == before; ++i)
             put(file, "BBBB");
         std::filesystem::last_write_time(file, modified);
     },
     "BBBB", {}},
    {"replaced by rename with the same size and modification time",
     [](const std::string& file) {
         put(file + ".new", "CCCC");
         std::filesystem::last_write_time(file + ".new", std::filesystem::last_write_time(file));
         std::filesystem::rename(file + ".new", file);
     },
     "CCCC", {}},
    {"removed", [](const std::string& file) { std::filesystem::remove(file); }, nullptr,
     errc::no_such_file_or_directory},
    {"replaced by a directory",
     [](const std::string& file) {
         std::filesystem::remove(file);
         std::filesystem::create_directory(file);
     },
     nullptr, errc::is_a_directory},
};

// A file is kept (in memory, or held open when larger than the limit) only once its status has been still
// for the margin before the read: a just written file is read afresh on every lookup, also when the clock is
// behind it. A file held open is never read through its old descriptor once its status differs.
TEST_F(FileCache, OnlyFilesStillForTheMarginAreKeptAndChangesAreSeen)
{
    for (const std::size_t max_file_bytes : {64 * 1024, 3}) {
        const bool large = max_file_bytes < 4;
        const std::string shown = large ? "<open>" : "";
        file_cache::limits bounds;
        bounds.max_file_bytes = max_file_bytes;
        for (const file_cache::clock_fn clock : {&file_cache::real_time, earlier_time, &nearly_settled_time, settled_time}) {
            const bool kept = clock == settled_time;
            for (const change_case& c : change_cases) {
                SCOPED_TRACE(std::string(c.name) + (large ? ", held open" : ", in memory") +
                             (kept ? ", kept" : clock == earlier_time ? ", clock behind" : ", now or ahead"));
                std::filesystem::remove_all(dir_ + "/page.html");
                const std::string file = write("page.html", "AAAA");
                file_cache cache(bounds, clock);
                EXPECT_EQ(shown + "AAAA", lookup(cache, file));
                EXPECT_EQ(shown + "AAAA", lookup(cache, file));
                EXPECT_EQ((held_t{kept, kept && !large ? file.size() + 4 : 0, kept && large}), held(cache));

                c.change(file);
                EXPECT_EQ(c.content != nullptr ? shown + c.content : failure(c.error), lookup(cache, file));
                const bool still_kept = kept && c.content != nullptr;
                EXPECT_EQ((held_t{kept, still_kept && !large ? file.size() + 4 : 0, still_kept && large}), held(cache));
            }
        }
    }
}

// Clients choose the names: however many distinct files they ask for, the entries and bytes held stay
// within the bounds, the least recently used going first; missing names and larger files are not kept.
TEST_F(FileCache, ManyDistinctNamesStayWithinTheBounds)
{
    file_cache::limits bounds;
    bounds.max_entries = 20;
    bounds.max_total_bytes = 32000;
    file_cache cache(bounds, settled_time);
    const std::string hot = write("hot.html", "hot");
    for (std::size_t i = 0; i < 300; ++i) {
        const std::string text(i / 50 % 2 ? 2500 : 100, 'a');  // runs of small files, then of large ones
        const std::string name = write("f" + std::to_string(i), text);
        EXPECT_EQ(text, lookup(cache, name));
        EXPECT_EQ(failure(errc::no_such_file_or_directory), lookup(cache, name + ".missing"));
        ASSERT_LE(cache.entries(), bounds.max_entries);
        ASSERT_LE(cache.bytes(), bounds.max_total_bytes);
        EXPECT_EQ("hot", lookup(cache, hot));  // used again and again, never the least recently used
        EXPECT_EQ(i, cache.hits());
    }
    EXPECT_GE(cache.entries(), 10U);  // the bytes bound, not the entries bound, limits the large ones

    bounds.max_file_bytes = 1000;
    bounds.max_total_bytes = 1000;
    file_cache small(bounds, settled_time);
    EXPECT_EQ(std::string(1000, 'z'), lookup(small, write("fill", std::string(1000, 'z'))));
    EXPECT_EQ("<open>" + std::string(1001, 'z'), lookup(small, write("big", std::string(1001, 'z'))));
    EXPECT_EQ(failure(errc::no_such_file_or_directory), lookup(small, dir_ + "/none"));
    EXPECT_EQ((held_t{0, 0, 1}), held(small));  // neither the missing name nor the full-size file kept
}

int open_descriptors()
{
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}

std::chrono::steady_clock::time_point steady_now;
std::chrono::steady_clock::time_point fake_steady() { return steady_now; }

// Larger files held open: however many distinct ones are asked for, at most max_descriptors stay open, the
// least recently used closed first; one let go stays open for whoever still sends it, and closes with them.
// One opened more than a second ago is opened again.
TEST_F(FileCache, DescriptorsAreBoundedAndClosedWithTheirLastHolder)
{
    file_cache::limits bounds;
    bounds.max_file_bytes = 4;
    bounds.max_descriptors = 8;
    file_cache cache(bounds, settled_time, &fake_steady);
    const int before = open_descriptors();
    const std::string hot = write("hot", "hot file");
    file_cache::found sending;
    boost::system::error_code ec;
    cache.lookup(write("first", "first file"), sending, ec);
    ASSERT_FALSE(ec);
    for (int i = 0; i < 100; ++i) {
        const std::string text = "large " + std::to_string(i);
        EXPECT_EQ("<open>" + text, lookup(cache, write("f" + std::to_string(i), text)));
        EXPECT_EQ("<open>hot file", lookup(cache, hot));
        ASSERT_LE(cache.descriptors(), bounds.max_descriptors);
        ASSERT_LE(open_descriptors(), before + 8 + 1);  // the first file is still being sent
    }
    EXPECT_EQ(100U, cache.hits() + 1);  // the hot file's first lookup opened it
    EXPECT_EQ("<open>first file", opened(sending.file));
    sending = {};
    EXPECT_EQ(before + 8, open_descriptors());

    file_cache::found again;
    cache.lookup(hot, again, ec);
    steady_now += file_cache::reread_interval + std::chrono::milliseconds(1);
    EXPECT_EQ("<open>hot file", lookup(cache, hot));
    EXPECT_EQ(100U, cache.hits());  // opened again, not a hit
    EXPECT_EQ(before + 9, open_descriptors());  // the old descriptor, still held here, and the new one
}

}  // namespace
