// The file body takes its Content-Length and the bytes it sends from this size, so a wrong
// answer here truncates or over-reads a response.
#include "sized_file_stdio.h"

#include <gtest/gtest.h>

#include <boost/beast/http/basic_file_body.hpp>

#include <cstdio>
#include <string>

#include <unistd.h>

namespace {

using IxoWebservice::sized_file_stdio;
using boost::beast::error_code;

TEST(SizedFileStdio, SizeFromAdoptionFromOpenAndNoneWhenClosed)
{
    char path[] = "/tmp/kvsized-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "0123456789abcdef", 16), 16);
    close(fd);
    sized_file_stdio adopted;
    adopted.adopt(std::fopen(path, "rb"), 10);  // the size given wins over the file's own
    boost::beast::http::basic_file_body<sized_file_stdio>::value_type body;
    error_code ec;
    body.reset(std::move(adopted), ec);
    EXPECT_EQ(body.size(), 10u);
    char content[64] = {};
    EXPECT_EQ(body.file().read(content, sizeof content, ec), 16u);
    sized_file_stdio opened;
    opened.open(path, boost::beast::file_mode::read, ec);
    EXPECT_EQ(opened.size(ec), 16u);
    std::remove(path);
    sized_file_stdio closed;
    EXPECT_EQ(closed.size(ec), 0u);
    EXPECT_EQ(ec, boost::system::errc::bad_file_descriptor);
}

}  // namespace
