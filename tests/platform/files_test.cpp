#include "KvPlatformHelper.h"
#include "../../platform/OsUserFilesInternal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;

// Every file test works in a fresh temporary directory, removed with all it holds.
class Files : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kvfiles-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string P(const std::string& name) const { return dir_ + "/" + name; }
    void Put(const std::string& name, const std::string& text) const { std::ofstream(P(name), std::ios::binary) << text; }
    std::string Get(const std::string& name) const
    {
        std::ifstream file(P(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }
    // What the directory holds, sorted: copies must leave nothing beside their destination.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    OS_USER_FILE_HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD disposition) const
    {
        return OsUserCreateFile(P(name).c_str(), access, share, nullptr, disposition, 0, nullptr);
    }
    std::string dir_;
};

unsigned Umask() { const mode_t mask = umask(0); umask(mask); return mask; }

// The error a call failed with, 0 when it succeeded.
int ErrorOf(BOOL result) { return result == FALSE ? errno : 0; }

uint64_t Count(const _FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

TEST(FileNames, PathsAndDevicesTranslate)
{
    EXPECT_STREQ("C:/dir/sub/", RewritePath("C:\\dir\\\\sub\\"));
    EXPECT_STREQ("/a/./b/../c", RewritePath("//a\\/./b//..\\\\c"));
    const char* linuxOrBsd[][2] = {
#if defined(__linux__)
        {"\\\\.\\COM1", "/dev/ttyS0"}, {"\\\\.\\COM10", "/dev/ttyS9"},
#else
        {"\\\\.\\COM1", "/dev/cuau0"}, {"\\\\.\\COM10", "/dev/cuau9"},
#endif
        {"\\\\.\\Ttyu0", "/dev/ttyu0"}, {"\\\\.\\COM", nullptr}, {"\\\\.\\COM0", nullptr}, {"\\\\.\\COM1x", nullptr}};
    for (const auto& row : linuxOrBsd) {
        CString path;
        errno = 0;
        ASSERT_TRUE(IsDeviceName(row[0]));
        EXPECT_EQ(row[1] != nullptr, DevicePath(row[0], path)) << row[0];
        EXPECT_STREQ(row[1] != nullptr ? row[1] : "", row[1] != nullptr ? path : "") << row[0];
        EXPECT_EQ(row[1] != nullptr ? 0 : ENOENT, errno) << row[0];
    }
    // "\\.\NUL" names /dev/null; "\\.\A" is an ordinary path, /./A.
    EXPECT_FALSE(IsDeviceName("\\\\.\\A"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OsUserCreateFile("\\\\.\\A", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(TRUE, OsUserCloseFile(OsUserCreateFile("\\\\.\\NULL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
}

TEST_F(Files, OpenChecksItsArgumentsAndDispositions)
{
    struct Row { DWORD access, disposition, flags; bool templ; int error; const char* left; };
    const Row rows[] = {
        {GENERIC_READ, OPEN_EXISTING, 0, true, EINVAL, "old content"},
        {GENERIC_READ, OPEN_EXISTING, 0x2, false, EINVAL, "old content"},
        {0, OPEN_EXISTING, 0, false, EINVAL, "old content"},
        {GENERIC_READ, TRUNCATE_EXISTING, 0, false, EINVAL, "old content"},
        {GENERIC_READ, CREATE_NEW, 0, false, EEXIST, "old content"},
        {GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | 0x2, false, 0, "old content"},
        {GENERIC_READ, OPEN_ALWAYS, 0, false, 0, "old content"},
        {GENERIC_READ, CREATE_ALWAYS, 0, false, 0, ""},  // even a reading handle empties it
        {GENERIC_WRITE, TRUNCATE_EXISTING, 0, false, 0, ""},
    };
    for (const Row& row : rows) {
        Put("old", "old content");
        errno = 0;
        OS_USER_FILE_HANDLE h = OsUserCreateFile(P("old").c_str(), row.access, 0, nullptr, row.disposition,
                                                 row.flags, row.templ ? reinterpret_cast<void*>(1) : nullptr);
        EXPECT_EQ(row.error, errno) << row.access << "/" << row.disposition;
        EXPECT_EQ(row.error != 0, h == INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_NE(0, fcntl(static_cast<_OsUserFileHandle*>(h)->fd, F_GETFD) & FD_CLOEXEC);
            EXPECT_EQ(TRUE, OsUserCloseFile(h));
        }
        EXPECT_EQ(row.left, Get("old"));
    }
    OsUserCloseFile(Open("new", GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ(0700 & ~Umask(), static_cast<unsigned>(fs::status(P("new")).permissions()));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("missing", kRW, 0, TRUNCATE_EXISTING));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(Files, ShareModesLockAndARefusedOpenLeavesTheDataAlone)
{
    Put("f", "precious");
    struct Row { DWORD firstShare, secondShare, disposition; bool opens; };
    const Row rows[] = {
        {FILE_SHARE_READ, FILE_SHARE_READ, OPEN_EXISTING, true}, {0, FILE_SHARE_READ, OPEN_EXISTING, false},
        {FILE_SHARE_READ, 0, OPEN_EXISTING, false}, {0, FILE_SHARE_READ, CREATE_ALWAYS, false},
        {FILE_SHARE_READ, 0, TRUNCATE_EXISTING, false}, {0, 0, OPEN_ALWAYS, false},
    };
    for (const Row& row : rows) {
        OS_USER_FILE_HANDLE first = Open("f", GENERIC_READ, row.firstShare, OPEN_EXISTING);
        ASSERT_NE(INVALID_HANDLE_VALUE, first);
        errno = 0;
        OS_USER_FILE_HANDLE second = Open("f", kRW, row.secondShare, row.disposition);
        EXPECT_EQ(row.opens, second != INVALID_HANDLE_VALUE);
        EXPECT_EQ(row.opens ? 0 : EACCES, errno);
        EXPECT_EQ("precious", Get("f"));
        OsUserCloseFile(second);
        OsUserCloseFile(first);
    }
    OS_USER_FILE_HANDLE after = Open("f", kRW, 0, CREATE_ALWAYS);  // free again once closed
    EXPECT_EQ("", Get("f"));
    EXPECT_EQ(TRUE, OsUserCloseFile(after));
}

TEST_F(Files, ReadWriteAndPositionsBeyondFourGiB)
{
    OS_USER_FILE_HANDLE h = Open("sparse", kRW, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int high = 1;
    EXPECT_EQ(0x10u, OsUserSetFilePointer(h, 0x10, &high, FILE_BEGIN));
    EXPECT_EQ(1, high);
    DWORD done = 0, sizeHigh = 0;
    EXPECT_EQ(TRUE, OsUserWriteFile(h, "abc", 3, &done, nullptr));
    EXPECT_EQ(0x13u, OsUserGetFileSize(h, &sizeHigh));
    EXPECT_EQ(1u, sizeHigh);
    EXPECT_EQ(0x10u, OsUserSetFilePointer(h, -3, nullptr, FILE_CURRENT));
    char buffer[8] = {};
    EXPECT_EQ(TRUE, OsUserReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(TRUE, OsUserReadFile(h, buffer, sizeof buffer, &done, nullptr));  // end of file
    EXPECT_EQ(0u, done);
    high = 0;
    errno = EBADF;
    EXPECT_EQ(0xFFFFFFFFu, OsUserSetFilePointer(h, -1, &high, FILE_BEGIN));
    EXPECT_EQ(0, errno);  // a position, not a failure
    _LARGE_INTEGER distance{}, position{};
    distance.QuadPart = 5ll << 30;
    EXPECT_EQ(TRUE, OsUserSetFilePointerEx(h, distance, &position, FILE_BEGIN));
    EXPECT_EQ(5ll << 30, position.QuadPart);
    EXPECT_EQ(TRUE, OsUserSetEndOfFile(h));
    _BY_HANDLE_FILE_INFORMATION info;
    ASSERT_EQ(TRUE, OsUserGetFileInformationByHandle(h, &info));
    EXPECT_EQ((std::vector<DWORD>{FILE_ATTRIBUTE_NORMAL, 1, 1u << 30}),
              (std::vector<DWORD>{info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow}));
    errno = 0;
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, 0, nullptr, 3));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, -1, nullptr, FILE_BEGIN));
    EXPECT_EQ(FALSE, OsUserReadFile(h, buffer, 1, &done, buffer));  // overlapped: not supported
    done = 77;
    EXPECT_EQ(ENOTTY, ErrorOf(OsUserDeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &done, nullptr)));
    EXPECT_EQ(77u, done);
    EXPECT_EQ(TRUE, OsUserCloseFile(h));
    _OsUserHandle notAFile(OS_USER_HANDLE_EVENT);
    for (OS_USER_FILE_HANDLE bad : {static_cast<void*>(nullptr), INVALID_HANDLE_VALUE, static_cast<void*>(&notAFile)}) {
        errno = 0;
        EXPECT_EQ(EINVAL, ErrorOf(OsUserWriteFile(bad, "x", 1, &done, nullptr)));
        EXPECT_EQ(INVALID_FILE_SIZE, OsUserGetFileSize(bad, nullptr));
        EXPECT_EQ(EINVAL, ErrorOf(OsUserCloseFile(bad)));
    }
}

TEST_F(Files, PathFunctionsAndAttributes)
{
    Put("file", "x");
    ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0600));
    fs::create_symlink(P("file"), P("link"));
    fs::create_symlink(P("gone"), P("dangling"));
    EXPECT_EQ(TRUE, OsUserCreateDirectory((dir_ + "\\\\dir").c_str(), nullptr));
    EXPECT_EQ(0775 & ~Umask(), static_cast<unsigned>(fs::status(P("dir")).permissions()));
    const std::pair<const char*, DWORD> attributes[] = {{"file", 0x80}, {"link", 0x80}, {"dir", 0x10},
        {"fifo", 0xFFFFFFFF}, {"dangling", INVALID_FILE_ATTRIBUTES}};
    for (const auto& [name, attribute] : attributes) {
        EXPECT_EQ(attribute, OsUserGetFileAttributes(P(name).c_str())) << name;
        EXPECT_EQ(attribute == 0x80, OsUserPathFileExists(P(name).c_str()) == TRUE) << name;
    }
    EXPECT_EQ(-1, os_mkdir(P("dir").c_str(), 0700));
    EXPECT_EQ(FALSE, OsUserRemoveDirectory(P("file").c_str()));
    EXPECT_EQ(TRUE, OsUserRemoveDirectory(P("dir/").c_str()));
    EXPECT_EQ(TRUE, OsUserDeleteFile((dir_ + "\\file").c_str()));
    EXPECT_EQ(FALSE, OsUserDeleteFile(P("file").c_str()));
    char cwd[1024];
    errno = 0;
    EXPECT_EQ(nullptr, OsUserGetCurrentDirectory(sizeof cwd, nullptr));  // getcwd would allocate
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(cwd, OsUserGetCurrentDirectory(sizeof cwd, cwd));
}

TEST_F(Files, MoveReplacesOnlyWhenAsked)
{
    Put("a", "A");
    Put("b", "B");
    EXPECT_EQ(EEXIST, ErrorOf(OsUserMoveFile(P("a").c_str(), P("b").c_str(), 0)));
    EXPECT_EQ("B", Get("b"));
    EXPECT_EQ(TRUE, OsUserMoveFile(P("a").c_str(), P("b").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ((std::vector<std::string>{"b"}), Names());
    EXPECT_EQ("A", Get("b"));
    fs::create_directory(P("d"));
    fs::create_directory(P("e"));
    EXPECT_EQ(EISDIR, ErrorOf(OsUserMoveFile(P("b").c_str(), P("d").c_str(), 0)));  // rename's own answer
    EXPECT_EQ(TRUE, OsUserMoveFile(P("d").c_str(), P("e").c_str(), 0));  // onto an empty directory
    EXPECT_EQ(TRUE, OsUserMoveFile(P("b").c_str(), P("e\\\\c").c_str(), 0));
    EXPECT_EQ("A", Get("e/c"));

    // A file that appears while moves without replace run is never overwritten: whenever
    // the other thread created "t", "t" still holds its content until it removes it.
    bool overwritten = false;
    std::thread other([&] {
        for (int i = 0; i < 3000; ++i) {
            const int fd = open(P("t").c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
            std::error_code gone;
            overwritten = overwritten || (fd >= 0 && (fs::file_size(P("t"), gone) != 0 || gone));
            if (fd >= 0 && close(fd) == 0)
                unlink(P("t").c_str());
        }
    });
    for (int i = 0; i < 3000; ++i) {
        Put("m", "moved");
        if (OsUserMoveFile(P("m").c_str(), P("t").c_str(), 0))
            unlink(P("t").c_str());
    }
    other.join();
    EXPECT_FALSE(overwritten);
}

TEST_F(Files, CopyIsCompleteOrNothing)
{
    const std::string content(200000, 'c');
    Put("src", content);
    fs::permissions(P("src"), fs::perms::owner_read | fs::perms::group_read);
    Put("empty", "");
    EXPECT_EQ(TRUE, OsUserCopyFile(P("empty").c_str(), P("empty2").c_str(), 1));
    EXPECT_EQ("", Get("empty2"));
    EXPECT_EQ(TRUE, OsUserCopyFile((dir_ + "\\\\src").c_str(), P("new").c_str(), 1));
    EXPECT_EQ(content, Get("new"));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::group_read, fs::status(P("new")).permissions());

    // Over an existing file: a reader of the old file still sees all of the old data.
    Put("old", "old data");
    std::ifstream oldReader(P("old"));
    EXPECT_EQ(EEXIST, ErrorOf(OsUserCopyFile(P("src").c_str(), P("old").c_str(), 1)));
    EXPECT_EQ(TRUE, OsUserCopyFile(P("src").c_str(), P("old").c_str(), 0));
    EXPECT_EQ(content, Get("old"));
    EXPECT_EQ("old data", std::string(std::istreambuf_iterator<char>(oldReader), {}));

    fs::create_directory(P("dir"));
    fs::create_hard_link(P("src"), P("hardlink"));
    const std::tuple<const char*, const char*, int> refused[] = {{"src", "src", EINVAL},
        {"src", "./hardlink", EINVAL}, {"dir", "fromdir", EISDIR}, {"src", "dir", EISDIR}, {"missing", "x", ENOENT}};
    const std::vector<std::string> before = Names();
    for (const auto& [from, to, error] : refused)
        EXPECT_EQ(error, ErrorOf(OsUserCopyFile(P(from).c_str(), P(to).c_str(), 0))) << from << " -> " << to;
    EXPECT_EQ(before, Names());  // nothing created, no copy left half-written
    EXPECT_EQ(content, Get("src"));
}

TEST_F(Files, FindListsMatchesAndSkipsWhatIsGone)
{
    for (const char* name : {"a.txt", "b.log", "c", ".hidden", "e1", "e2", "e3"})
        Put(name, "12345");
    fs::create_directory(P("d.dir"));
    fs::create_symlink(P("nowhere"), P("bb.txt"));  // dangling, sorted between b.log and c
    const std::pair<const char*, const char*> patterns[] = {
        {"*", "a.txt b.log c d.dir e1 e2 e3 "}, {"*.*", "a.txt b.log d.dir "}, {".h*", ".hidden "},
        {"?.txt", "a.txt "}, {"[ab]*", "a.txt b.log "}, {"\\\\*.log", "b.log "}, {"nothing*", ""}, {"bb*", ""}};
    const uint64_t before = Timespec2FileTime(timespec{time(nullptr) - 2, 0});
#if defined(__linux__)
    struct statx probe {};
    ASSERT_EQ(0, statx(AT_FDCWD, P("c").c_str(), 0, STATX_BTIME, &probe));
    const bool birthKept = (probe.stx_mask & STATX_BTIME) != 0;
#else
    const bool birthKept = true;
#endif
    for (const auto& [pattern, expected] : patterns) {
        _WIN32_FIND_DATAA data;
        memset(&data, 0x5A, sizeof data);
        std::string found;
        errno = 0;
        OS_USER_HANDLE h = OsUserFindFirstFile((dir_ + "/" + pattern).c_str(), &data);
        for (BOOL more = h != INVALID_HANDLE_VALUE; more; more = OsUserFindNextFile(h, &data)) {
            found += std::string(data.cFileName) + " ";
            const bool isDir = strcmp(data.cFileName, "d.dir") == 0;
            EXPECT_EQ(isDir ? 0x10u : 0x80u, data.dwFileAttributes);
            EXPECT_TRUE(isDir || data.nFileSizeLow == 5u);
            EXPECT_EQ('\0', data.cAlternateFileName[0]);
            const uint64_t written = Count(data.ftLastWriteTime), born = Count(data.ftCreationTime);
            EXPECT_GT(written, before);
            EXPECT_TRUE(birthKept ? born > before && born <= written : born == 0) << born;
        }
        EXPECT_EQ(ENOENT, errno) << pattern;
        EXPECT_EQ(expected, found) << pattern;
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, OsUserFindClose(h) == TRUE);
    }
    _WIN32_FIND_DATAA data;
    OS_USER_HANDLE h = OsUserFindFirstFile(P("e*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    unlink(P("e2").c_str());
    ASSERT_EQ(TRUE, OsUserFindNextFile(h, &data));
    EXPECT_STREQ("e3", data.cFileName);
    EXPECT_EQ(FALSE, OsUserFindNextFile(h, &data));
    EXPECT_EQ(TRUE, OsUserFindClose(h));
    EXPECT_EQ(FALSE, OsUserFindNextFile(nullptr, &data));
}

}  // namespace
