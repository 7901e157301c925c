#include "KvPlatformHelper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Runs a test body in a fresh temporary directory and returns to the old one after.
class WorkingDirectory : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, getcwd(previous_, sizeof previous_));
        char pattern[] = "/tmp/kvplatform-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        directory_ = pattern;
        ASSERT_EQ(0, chdir(directory_.c_str()));
    }
    void TearDown() override
    {
        EXPECT_EQ(0, chdir(previous_));
        rmdir(directory_.c_str());
    }

    char previous_[PATH_MAX] = {};
    std::string directory_;
};

TEST_F(WorkingDirectory, FillsTheBufferAndReturnsIt)
{
    char buffer[1024];
    EXPECT_EQ(buffer, OsUserGetCurrentDirectory(sizeof buffer, buffer));
    EXPECT_EQ(directory_, buffer);
}

TEST_F(WorkingDirectory, FailsWhenTheBufferIsTooSmall)
{
    char buffer[8];
    errno = 0;
    EXPECT_EQ(nullptr, OsUserGetCurrentDirectory(sizeof buffer, buffer));
    EXPECT_EQ(ERANGE, errno);
}

TEST_F(WorkingDirectory, FailsWithoutABuffer)
{
    errno = 0;
    EXPECT_EQ(nullptr, OsUserGetCurrentDirectory(1024, nullptr));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(WorkingDirectory, FailsWhenTheDirectoryWasRemoved)
{
    ASSERT_EQ(0, rmdir(directory_.c_str()));
    char buffer[1024];
    EXPECT_EQ(nullptr, OsUserGetCurrentDirectory(sizeof buffer, buffer));
}

TEST(FileClose, ClosesTheDescriptorAndRejectsWhatIsNoOpenFile)
{
    auto* file = new _OsUserFileHandle;
    EXPECT_EQ(OS_USER_HANDLE_FILE, file->kind);
    file->fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file->fd, 0);
    const int fd = file->fd;
    EXPECT_EQ(TRUE, OsUserCloseFile(file));
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));

    _OsUserHandle other(OS_USER_HANDLE_EVENT);
    for (OS_USER_FILE_HANDLE h : {static_cast<OS_USER_FILE_HANDLE>(nullptr),
                                  static_cast<OS_USER_FILE_HANDLE>(INVALID_HANDLE_VALUE),
                                  static_cast<OS_USER_FILE_HANDLE>(&other)}) {
        errno = 0;
        EXPECT_EQ(FALSE, OsUserCloseFile(h));
        EXPECT_EQ(EINVAL, errno);
    }
}

}  // namespace
