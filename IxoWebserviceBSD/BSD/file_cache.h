// Small files of the document root held in memory and larger ones held open, checked against
// the file on every request and read or opened again once a second.
#ifndef IXO_FILE_CACHE_H
#define IXO_FILE_CACHE_H

#include "open_file.h"

#include <boost/system/error_code.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include <sys/stat.h>

namespace IxoWebservice {

// Every lookup compares the file's current status (one stat of the path) with the status
// the content was read under: device, inode, size, modification and change time to the
// nanosecond. A file changed in place, replaced by rename or removed therefore differs and
// is read again. A file whose status changed shortly before it was read could change once
// more without its times moving (file systems keep times in coarse steps, FAT in two
// seconds, and the kernel stamps them from a clock that lags by a tick), so such a file is
// served from a fresh read until it has been still for racy_margin. Some changes leave the
// status alone altogether (writes through a shared mapping, a file system that answers stat
// from an attribute cache): a content last read more than reread_interval ago is read
// again, and keeps its head memo when its bytes are the same. Entries and bytes are
// bounded; the least recently used entry goes first.
// Files above max_file_bytes are held open instead, under the same rules: the descriptor is
// kept with the status it was examined under, let go when the status differs (so a file
// replaced by rename is opened afresh and never sent from the old descriptor) and opened
// again once it was opened more than reread_interval ago. At most max_descriptors are held,
// the least recently used let go first; a let-go file closes when its last response ends.
class file_cache {
public:
    // A small file's bytes, and a memo of the response head first rendered for them. Responses
    // in flight point into both: neither changes once set (a new read makes a new object).
    struct file_bytes {
        std::string bytes;
        std::string head;                 // rendered for head_type; empty until then
        const char* head_type = nullptr;  // the media type text the head names
    };
    using content_ptr = std::shared_ptr<file_bytes>;
    using clock_fn = std::timespec (*)();
    using steady_fn = std::chrono::steady_clock::time_point (*)();

    struct limits {
        std::size_t max_file_bytes = 64 * 1024;       // larger files are not held
        std::size_t max_entries = 512;                 // files held at once
        std::size_t max_total_bytes = 4 * 1024 * 1024; // contents and path names together
        std::size_t max_descriptors = 64;              // larger files held open at once
    };

    // What a lookup found: the whole content of a small file, or an open larger file.
    struct found {
        content_ptr content;  // set for a file of at most max_file_bytes
        open_file_ptr file;   // set for a larger regular file, with the status it is sent under
    };

    static constexpr std::time_t racy_margin_seconds = 3;
    static constexpr std::chrono::seconds reread_interval{1};

    file_cache();
    // clock gives the time that file times are compared with, steady the age of a read.
    explicit file_cache(limits bounds, clock_fn clock = &real_time, steady_fn steady = &steady_time);
    ~file_cache() = default;

    file_cache(const file_cache&) = delete;
    file_cache& operator=(const file_cache&) = delete;

    // Finds the regular file at path. ec, and nothing in out, when it cannot be opened or read
    // (with the error of the open), or when it is a directory or not a regular file.
    void lookup(const std::string& path, found& out, boost::system::error_code& ec);

    std::size_t entries() const { return lru.size(); }
    std::size_t descriptors() const { return open_lru.size(); }
    std::size_t bytes() const { return total_bytes; }
    // Lookups answered from memory since construction.
    std::uint64_t hits() const { return hit_count; }

    static std::timespec real_time();
    static std::chrono::steady_clock::time_point steady_time() { return std::chrono::steady_clock::now(); }

private:
    struct entry {
        const std::string* path;  // the index's key
        content_ptr content;      // a small file's bytes, or
        open_file_ptr file;       // a larger file held open
        dev_t device;
        ino_t inode;
        off_t size;
        std::timespec modified;
        std::timespec changed;
        std::chrono::steady_clock::time_point read_at;  // when the read or open began
    };
    using lru_list = std::list<entry>;

    // Whether the held entry still describes the file at its path.
    static bool matches(const entry& held, const struct stat& now);
    // Opens and reads the file; keeps it when it is small and has been still long enough.
    // previous: the content held until now, taken again when the bytes read are the same.
    void load(const std::string& path, found& out, boost::system::error_code& ec, const content_ptr& previous);
    // Keeps a content, or a larger file's descriptor (file set), within the bounds.
    void keep(const std::string& path, const struct stat& status, const content_ptr& content,
              const open_file_ptr& file, std::chrono::steady_clock::time_point read_at);
    void erase(std::unordered_map<std::string, lru_list::iterator>::iterator it);

    limits bounds;
    clock_fn clock;
    steady_fn steady;
    lru_list lru;       // contents, most recently used first
    lru_list open_lru;  // descriptors, most recently used first
    std::unordered_map<std::string, lru_list::iterator> index;
    std::size_t total_bytes = 0;
    std::uint64_t hit_count = 0;
};

}  // namespace IxoWebservice

#endif  // IXO_FILE_CACHE_H
