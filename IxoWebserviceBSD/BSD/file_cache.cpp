#include "file_cache.h"

#include <cerrno>
#include <memory>
#include <new>

#include <fcntl.h>
#include <unistd.h>

namespace IxoWebservice {

namespace {

bool same_time(const std::timespec& a, const std::timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether time is at or before limit.
bool not_after(const std::timespec& time, const std::timespec& limit)
{
    return time.tv_sec < limit.tv_sec || (time.tv_sec == limit.tv_sec && time.tv_nsec <= limit.tv_nsec);
}

}  // namespace

file_cache::file_cache() : file_cache(limits{}) {}

file_cache::file_cache(limits bounds_, clock_fn clock_, steady_fn steady_)
    : bounds(bounds_), clock(clock_), steady(steady_)
{
}

std::timespec file_cache::real_time()
{
    std::timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

bool file_cache::matches(const entry& held, const struct stat& now)
{
    return S_ISREG(now.st_mode) && now.st_dev == held.device && now.st_ino == held.inode && now.st_size == held.size &&
           same_time(now.st_mtim, held.modified) && same_time(now.st_ctim, held.changed);
}

void file_cache::lookup(const std::string& path, found& out, boost::system::error_code& ec)
{
    out = found{};
    ec.clear();
    content_ptr previous;
    const auto it = index.find(path);
    if (it != index.end()) {
        struct stat now;
        entry& held = *it->second;
        if (::stat(path.c_str(), &now) == 0 && matches(held, now)) {
            if (steady() - held.read_at <= reread_interval) {
                lru_list& list = held.file ? open_lru : lru;
                list.splice(list.begin(), list, it->second);
                out.content = held.content;
                out.file = held.file;
                ++hit_count;
                return;
            }
            // Unchanged status, but read a while ago: its bytes may have changed all the same.
            previous = held.content;
        }
        // Changed, replaced, gone or due: the open below reads it again or reports why it cannot.
        erase(it);
    }
    load(path, out, ec, previous);
}

void file_cache::load(const std::string& path, found& out, boost::system::error_code& ec,
                      const content_ptr& previous)
{
    // Taken before the open: a change made after this moment gives the file a change
    // time later than racy_margin before it, so it can never match what is read here.
    const std::chrono::steady_clock::time_point read_at = steady();
    std::timespec still_since = clock();
    still_since.tv_sec -= racy_margin_seconds;

    // Non-blocking, so that a FIFO cannot hold up the loop; examined through the descriptor,
    // so that what is read is the file that was examined.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ec.assign(errno, boost::system::generic_category());
        return;
    }
    struct stat status;
    if (::fstat(fd, &status) != 0)
        ec.assign(errno, boost::system::generic_category());
    else if (S_ISDIR(status.st_mode))
        ec = make_error_code(boost::system::errc::is_a_directory);
    else if (!S_ISREG(status.st_mode))
        ec = make_error_code(boost::system::errc::invalid_argument);
    if (ec) {
        ::close(fd);
        return;
    }
    if (static_cast<std::uint64_t>(status.st_size) > bounds.max_file_bytes) {
        try {
            out.file = std::make_shared<const open_file>(fd, status);
        } catch (...) {
            ::close(fd);
            throw;
        }
        // Sent with the size examined here: one that shrinks meanwhile ends its response early.
        if (not_after(status.st_ctim, still_since))
            keep(path, status, nullptr, out.file, read_at);
        return;
    }

    content_ptr content;
    try {
        content = std::make_shared<file_bytes>();
        content->bytes.resize(static_cast<std::size_t>(status.st_size));
    } catch (...) {
        ::close(fd);
        throw;
    }
    std::string& bytes = content->bytes;
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ec.assign(errno, boost::system::generic_category());
            ::close(fd);
            return;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    // A file that shrank while it was read is served as read, and not kept.
    const bool whole = got == bytes.size();
    bytes.resize(got);
    // The same bytes as before keep their object, and with it the head memo.
    out.content = previous && previous->bytes == bytes ? previous : content;
    if (whole && not_after(status.st_ctim, still_since))
        keep(path, status, out.content, nullptr, read_at);
}

void file_cache::keep(const std::string& path, const struct stat& status, const content_ptr& content,
                      const open_file_ptr& file, std::chrono::steady_clock::time_point read_at)
{
    const std::size_t cost = file ? 0 : path.size() + content->bytes.size();
    if (file ? bounds.max_descriptors == 0 : (bounds.max_entries == 0 || cost > bounds.max_total_bytes))
        return;
    const auto existing = index.find(path);
    if (existing != index.end())
        erase(existing);
    lru_list& list = file ? open_lru : lru;
    if (file) {
        while (!list.empty() && list.size() >= bounds.max_descriptors)
            erase(index.find(*list.back().path));
    } else {
        while (!list.empty() && (list.size() >= bounds.max_entries || total_bytes + cost > bounds.max_total_bytes))
            erase(index.find(*list.back().path));
    }

    // Keeping is optional: without memory for the bookkeeping the file is just not kept.
    try {
        list.push_front(entry{nullptr, content, file, status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                              status.st_ctim, read_at});
    } catch (const std::bad_alloc&) {
        return;
    }
    try {
        const auto placed = index.emplace(path, list.begin());
        list.front().path = &placed.first->first;
    } catch (const std::bad_alloc&) {
        list.pop_front();
        return;
    }
    total_bytes += cost;
}

void file_cache::erase(std::unordered_map<std::string, lru_list::iterator>::iterator it)
{
    if (it->second->file) {
        open_lru.erase(it->second);
    } else {
        total_bytes -= it->first.size() + it->second->content->bytes.size();
        lru.erase(it->second);
    }
    index.erase(it);
}

}  // namespace IxoWebservice
