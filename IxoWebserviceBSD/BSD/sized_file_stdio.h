// A stdio file that knows its size from the fstat made when it was opened.
#ifndef IXO_SIZED_FILE_STDIO_H
#define IXO_SIZED_FILE_STDIO_H

#include <boost/beast/core/error.hpp>
#include <boost/beast/core/file_base.hpp>
#include <boost/beast/core/file_stdio.hpp>

#include <cstdint>
#include <cstdio>

namespace IxoWebservice {

// The file body asks its file for the size once per response; file_stdio answers with
// ftell, a seek to the end, ftell and a seek back. This file answers from the size the
// opener already read, so a file response costs no seeks before its content is sent.
class sized_file_stdio : public boost::beast::file_stdio {
public:
    sized_file_stdio() = default;

    // Takes ownership of an open stream of size bytes.
    void adopt(std::FILE* stream, std::uint64_t size)
    {
        native_handle(stream);
        size_ = size;
    }

    void open(char const* path, boost::beast::file_mode mode, boost::beast::error_code& ec)
    {
        file_stdio::open(path, mode, ec);
        size_ = ec ? 0 : file_stdio::size(ec);
    }

    std::uint64_t size(boost::beast::error_code& ec) const
    {
        if (!is_open()) {
            ec = make_error_code(boost::system::errc::bad_file_descriptor);
            return 0;
        }
        ec = {};
        return size_;
    }

private:
    std::uint64_t size_ = 0;  // bytes in the file when it was opened
};

}  // namespace IxoWebservice

#endif  // IXO_SIZED_FILE_STDIO_H
