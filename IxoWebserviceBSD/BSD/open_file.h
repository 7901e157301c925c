// An open regular file, shared by the file cache and the responses that send from it.
#ifndef IXO_OPEN_FILE_H
#define IXO_OPEN_FILE_H

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace IxoWebservice {

// Owns the descriptor and the status it was examined under; the descriptor closes with the
// last holder, so a file the cache lets go stays open for the responses still sending it.
// Readers use offsets of their own (sendfile with an offset, pread), never the descriptor's
// position, so that any number of connections send from it at once.
class open_file {
public:
    open_file(int fd, const struct stat& status) : fd_(fd), status_(status) {}
    ~open_file() { ::close(fd_); }

    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;

    int descriptor() const { return fd_; }
    const struct stat& status() const { return status_; }

private:
    const int fd_;
    const struct stat status_;
};

using open_file_ptr = std::shared_ptr<const open_file>;

}  // namespace IxoWebservice

#endif  // IXO_OPEN_FILE_H
