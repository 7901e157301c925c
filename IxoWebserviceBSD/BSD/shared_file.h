// A shared open file as the file body's file: reads at a position of its own.
#ifndef IXO_SHARED_FILE_H
#define IXO_SHARED_FILE_H

#include "open_file.h"

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/file_base.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <sys/types.h>
#include <unistd.h>

namespace IxoWebservice {

// Reads with pread from its own position, so that other responses sending the same open
// file at the same time are not disturbed; the size is the one the file was examined under.
// Read-only: it opens nothing itself and writes nothing.
class shared_file {
public:
    shared_file() = default;
    explicit shared_file(open_file_ptr file) : file_(std::move(file)) {}

    bool is_open() const { return file_ != nullptr; }
    int native_handle() const { return file_ ? file_->descriptor() : -1; }

    void close(boost::beast::error_code& ec)
    {
        file_.reset();
        ec = {};
    }

    void open(char const*, boost::beast::file_mode, boost::beast::error_code& ec)
    {
        ec = make_error_code(boost::system::errc::operation_not_supported);
    }

    std::uint64_t size(boost::beast::error_code& ec) const
    {
        if (!opened(ec))
            return 0;
        return static_cast<std::uint64_t>(file_->status().st_size);
    }

    std::uint64_t pos(boost::beast::error_code& ec) const { return opened(ec) ? position_ : 0; }

    void seek(std::uint64_t offset, boost::beast::error_code& ec)
    {
        if (opened(ec))
            position_ = offset;
    }

    std::size_t read(void* buffer, std::size_t n, boost::beast::error_code& ec)
    {
        if (!opened(ec))
            return 0;
        for (;;) {
            const ssize_t got = ::pread(file_->descriptor(), buffer, n, static_cast<off_t>(position_));
            if (got >= 0) {
                position_ += static_cast<std::uint64_t>(got);
                return static_cast<std::size_t>(got);
            }
            if (errno != EINTR) {
                ec.assign(errno, boost::system::generic_category());
                return 0;
            }
        }
    }

    std::size_t write(void const*, std::size_t, boost::beast::error_code& ec)
    {
        ec = make_error_code(boost::system::errc::bad_file_descriptor);
        return 0;
    }

private:
    bool opened(boost::beast::error_code& ec) const
    {
        if (file_ == nullptr) {
            ec = make_error_code(boost::system::errc::bad_file_descriptor);
            return false;
        }
        ec = {};
        return true;
    }

    open_file_ptr file_;
    std::uint64_t position_ = 0;  // of the next read
};

}  // namespace IxoWebservice

#endif  // IXO_SHARED_FILE_H
