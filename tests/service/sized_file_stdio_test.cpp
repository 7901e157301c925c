#include "sized_file_stdio.h"

#include <gtest/gtest.h>

#include <boost/beast/http/basic_file_body.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

using IxoWebservice::sized_file_stdio;
using boost::beast::error_code;

// A temporary file holding text, removed again at the end of the test.
class SizedFileOnDisk : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvsized-XXXXXX";
        const int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        path_ = pattern;
        ASSERT_EQ(static_cast<ssize_t>(text_.size()), write(fd, text_.data(), text_.size()));
        close(fd);
    }
    void TearDown() override { std::remove(path_.c_str()); }

    std::string path_;
    const std::string text_ = "0123456789abcdef";
};

// The file body takes its Content-Length and the number of bytes it sends from the
// file's size, so a wrong answer here truncates or over-reads a response.
TEST_F(SizedFileOnDisk, FileBodyTakesTheSizeGivenOnAdoption)
{
    std::FILE* stream = std::fopen(path_.c_str(), "rb");
    ASSERT_NE(nullptr, stream);
    sized_file_stdio file;
    file.adopt(stream, text_.size());

    boost::beast::http::basic_file_body<sized_file_stdio>::value_type body;
    error_code ec;
    body.reset(std::move(file), ec);
    ASSERT_FALSE(ec);
    EXPECT_EQ(text_.size(), body.size());

    char content[64] = {};
    EXPECT_EQ(text_.size(), body.file().read(content, sizeof content, ec));
    EXPECT_EQ(text_, content);
}

TEST_F(SizedFileOnDisk, OpenReadsTheSizeItself)
{
    sized_file_stdio file;
    error_code ec;
    file.open(path_.c_str(), boost::beast::file_mode::read, ec);
    ASSERT_FALSE(ec);
    EXPECT_EQ(text_.size(), file.size(ec));
    EXPECT_FALSE(ec);
}

TEST(SizedFileStdio, ClosedFileHasNoSize)
{
    sized_file_stdio file;
    error_code ec;
    EXPECT_EQ(0u, file.size(ec));
    EXPECT_EQ(boost::system::errc::bad_file_descriptor, ec);

    file.open("/nonexistent/kvsized", boost::beast::file_mode::read, ec);
    EXPECT_TRUE(ec);
    EXPECT_EQ(0u, file.size(ec));
}

}  // namespace
