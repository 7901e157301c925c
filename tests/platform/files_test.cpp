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
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
constexpr DWORD kRW = GENERIC_READ | GENERIC_WRITE;

// Every file test works in a fresh temporary directory, removed with all it holds.
class Files : public testing::Test {
protected:
    void SetUp() override { char pattern[] = "/tmp/kvfiles-XXXXXX"; ASSERT_NE(nullptr, mkdtemp(pattern)); dir_ = pattern; }
    void TearDown() override { fs::remove_all(dir_); }
    // The path of name in the directory, and its whole content.
    std::string P(const std::string& name) const { return dir_ + "/" + name; }
    void Put(const std::string& name, const std::string& text) const { std::ofstream(P(name), std::ios::binary) << text; }
    std::string Get(const std::string& name) const  // "" for a directory, FIFO, device or no file
    {
        if (!fs::is_regular_file(P(name)))
            return "";
        std::ifstream in(P(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // What the directory holds, sorted: copies must leave nothing beside their destination.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    _OsUserFileHandle* Open(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) const
    { return static_cast<_OsUserFileHandle*>(OsUserCreateFile(P(name).c_str(), access, share, nullptr, disposition, flags, nullptr)); }
    std::string dir_;
};

// The type bits of what path names (not followed), 0 when there is nothing.
mode_t TypeOf(const std::string& path) { struct stat s {}; return lstat(path.c_str(), &s) == 0 ? s.st_mode & S_IFMT : 0; }

unsigned Umask() { const mode_t mask = umask(0); umask(mask); return mask; }

// The error a call failed with, 0 when it succeeded.
int ErrorOf(BOOL result) { return result == FALSE ? errno : 0; }

uint64_t Count(const _FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// One open of "f" after another handle (held: its share mode, kNone for none) opened it for reading.
// "f" is a regular file when it exists, else the FIFO or device node of node (a null device of
// the test's own): truncation leaves those alone.
TEST_F(Files, OpenChecksArgumentsDispositionsAndShareModes)
{
    constexpr DWORD kNone = ~0u, R = GENERIC_READ, SR = FILE_SHARE_READ;
    struct Row { DWORD disposition, access, share, flags, held; bool exists; int error; const char* left; mode_t node = 0; };
    const Row rows[] = {
        {OPEN_EXISTING, kRW, SR, 0, SR, true, 0, "old"}, {OPEN_EXISTING, kRW, SR, 0, 0, true, EACCES, "old"},
        {OPEN_EXISTING, kRW, 0, 0, SR, true, EACCES, "old"}, {OPEN_ALWAYS, kRW, 0, 0, 0, true, EACCES, "old"},
        {CREATE_ALWAYS, kRW, SR, 0, 0, true, EACCES, "old"}, {TRUNCATE_EXISTING, kRW, 0, 0, SR, true, EACCES, "old"},
        {CREATE_ALWAYS, R, 0, 0, kNone, true, 0, ""},  // free again once closed; even a reading handle empties it
        {OPEN_EXISTING, R, 0, 0x2, kNone, true, EINVAL, "old"}, {OPEN_EXISTING, 0, 0, 0, kNone, true, EINVAL, "old"},
        {OPEN_EXISTING, R, 0, FILE_ATTRIBUTE_NORMAL | 0x2, kNone, true, 0, "old"},
        {TRUNCATE_EXISTING, R, 0, 0, kNone, true, EINVAL, "old"}, {TRUNCATE_EXISTING, GENERIC_WRITE, 0, 0, kNone, true, 0, ""},
        {TRUNCATE_EXISTING, kRW, 0, 0, kNone, false, ENOENT, ""}, {OPEN_ALWAYS, R, 0, 0, kNone, true, 0, "old"},
        {CREATE_ALWAYS, kRW, 0, 0, kNone, false, 0, "", S_IFIFO}, {CREATE_ALWAYS, R, 0, 0, kNone, false, 0, "", S_IFCHR},
        {TRUNCATE_EXISTING, GENERIC_WRITE, 0, 0, kNone, false, 0, "", S_IFCHR},
        {CREATE_NEW, R, 0, 0, kNone, true, EEXIST, "old"}, {CREATE_NEW, GENERIC_WRITE, 0, 0, kNone, false, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        fs::remove(P("f"));
        if (row.exists)
            Put("f", "old");
        if (row.node != 0 && mknod(P("f").c_str(), row.node | 0600, makedev(1, 3)) != 0) {
            EXPECT_EQ(EPERM, errno);  // no device nodes without the privilege
            continue;
        }
        OS_USER_FILE_HANDLE held = row.held == kNone ? INVALID_HANDLE_VALUE : Open("f", R, row.held, OPEN_EXISTING);
        errno = 0;
        _OsUserFileHandle* h = Open("f", row.access, row.share, row.disposition, row.flags);
        EXPECT_EQ(row.error, errno);
        EXPECT_EQ(row.error == 0 ? FD_CLOEXEC : -1, h == INVALID_HANDLE_VALUE ? -1 : fcntl(h->fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(row.left, Get("f"));
        EXPECT_TRUE(row.node == 0 || TypeOf(P("f")) == row.node);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, OsUserCloseFile(h) == TRUE);
        OsUserCloseFile(held);
    }
    EXPECT_EQ(0700 & ~Umask(), static_cast<unsigned>(fs::status(P("f")).permissions()));  // the last row made it
    EXPECT_EQ(INVALID_HANDLE_VALUE, OsUserCreateFile(P("f").c_str(), R, 0, nullptr, OPEN_EXISTING, 0, this));
    EXPECT_EQ(EINVAL, errno);  // a template file
}

TEST_F(Files, ReadWriteAndPositionsBeyondFourGiB)
{
    OS_USER_FILE_HANDLE h = Open("sparse", kRW, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int high = 1;
    DWORD done = 0, sizeHigh = 0;
    EXPECT_EQ(0x10u, OsUserSetFilePointer(h, 0x10, &high, FILE_BEGIN));
    EXPECT_EQ(TRUE, OsUserWriteFile(h, "abc", 3, &done, nullptr));
    EXPECT_EQ((std::vector<DWORD>{1, 0x13, 1}), (std::vector<DWORD>{DWORD(high), OsUserGetFileSize(h, &sizeHigh), sizeHigh}));
    EXPECT_EQ(0x10u, OsUserSetFilePointer(h, -3, nullptr, FILE_CURRENT));
    char buffer[8] = {};
    EXPECT_EQ(TRUE, OsUserReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_STREQ("abc", buffer);
    EXPECT_EQ(TRUE, OsUserReadFile(h, buffer, sizeof buffer, &done, nullptr) && done == 0);  // end of file
    high = 0;
    errno = EBADF;
    EXPECT_EQ(0xFFFFFFFFu, OsUserSetFilePointer(h, -1, &high, FILE_BEGIN));
    EXPECT_EQ(0, errno);  // a position, not a failure
    _LARGE_INTEGER distance{}, position{};
    distance.QuadPart = 5ll << 30;
    _BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(OsUserSetFilePointerEx(h, distance, &position, FILE_BEGIN) && position.QuadPart == 5ll << 30 &&
                OsUserSetEndOfFile(h) && OsUserGetFileInformationByHandle(h, &info));
    EXPECT_EQ((std::vector<DWORD>{FILE_ATTRIBUTE_NORMAL, 1, 1u << 30}),
              (std::vector<DWORD>{info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow}));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, -1, nullptr, FILE_BEGIN));
    errno = 0;
    EXPECT_EQ(INVALID_SET_FILE_POINTER, OsUserSetFilePointer(h, 0, nullptr, 3));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(FALSE, OsUserReadFile(h, buffer, 1, &done, buffer));  // overlapped: not supported
    done = 77;
    EXPECT_EQ(ENOTTY, ErrorOf(OsUserDeviceIoControl(h, 1, nullptr, 0, nullptr, 0, &done, nullptr)));
    EXPECT_EQ(77u, done);
    EXPECT_EQ(TRUE, OsUserCloseFile(h));
    _OsUserHandle notAFile(OS_USER_HANDLE_EVENT);
    for (OS_USER_FILE_HANDLE bad : {static_cast<void*>(nullptr), INVALID_HANDLE_VALUE, static_cast<void*>(&notAFile)})
        EXPECT_EQ((std::vector<DWORD>{INVALID_FILE_SIZE, EINVAL, EINVAL}), (std::vector<DWORD>{OsUserGetFileSize(bad, nullptr),
                  DWORD(ErrorOf(OsUserWriteFile(bad, "x", 1, &done, nullptr))), DWORD(ErrorOf(OsUserCloseFile(bad)))}));
}

TEST_F(Files, NamesDevicesPathFunctionsAndAttributes)
{
    EXPECT_STREQ("/a/./b/../c/", RewritePath("//a\\/./b//..\\\\c\\"));  // more "\\" paths: every test below
    // Each system's serial ports; other names keep their case where /dev holds them so (/dev/cuaU0
    // is not /dev/cuau0) and are lower-cased otherwise.
    const bool ttyS0 = access("/dev/ttyS0", F_OK) == 0;
    const char* linuxAndBsd[][3] = {{"\\\\.\\COM1", "/dev/ttyS0", "/dev/cuau0"}, {"\\\\.\\COM10", "/dev/ttyS9", "/dev/cuau9"},
        {"\\\\.\\Ttyu0", "/dev/ttyu0", "/dev/ttyu0"}, {"\\\\.\\NULL", "/dev/null", "/dev/null"},
        {"\\\\.\\ttyS0", ttyS0 ? "/dev/ttyS0" : "/dev/ttys0", ttyS0 ? "/dev/ttyS0" : "/dev/ttys0"},
        {"\\\\.\\COM", nullptr, nullptr}, {"\\\\.\\COM0", nullptr, nullptr}, {"\\\\.\\COM1x", nullptr, nullptr}};
    for (const auto& row : linuxAndBsd) {
        for (const SerialPortNames ports : {SerialPortNames::kLinux, SerialPortNames::kFreeBSD}) {
            const char* expected = row[ports == SerialPortNames::kLinux ? 1 : 2];
            CString path;
            errno = 0;
            const bool mapped = IsDeviceName(row[0]) && DevicePath(row[0], path, ports);  // else errno ENOENT
            EXPECT_EQ(expected != nullptr ? expected + std::string(" 0") : " " + std::to_string(ENOENT),
                      std::string(mapped ? path : "") + " " + std::to_string(errno)) << row[0];
        }
    }
    // "\\.\NULL" names /dev/null; "\\.\A" is an ordinary path, /./A.
    EXPECT_FALSE(IsDeviceName("\\\\.\\A"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, OsUserCreateFile("\\\\.\\A", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(TRUE, OsUserCloseFile(OsUserCreateFile("\\\\.\\NULL", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)));
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
    // os_mkdir gives -1 for an existing directory, the others TRUE or FALSE.
    const int done[] = {os_mkdir(P("dir").c_str(), 0700) + 1, OsUserRemoveDirectory(P("file").c_str()),
        OsUserRemoveDirectory(P("dir/").c_str()), OsUserDeleteFile((dir_ + "\\file").c_str()), OsUserDeleteFile(P("file").c_str())};
    EXPECT_EQ((std::vector<int>{0, FALSE, TRUE, TRUE, FALSE}), std::vector<int>(std::begin(done), std::end(done)));
    char cwd[1024];
    EXPECT_EQ(cwd, OsUserGetCurrentDirectory(sizeof cwd, cwd));
    EXPECT_EQ(nullptr, OsUserGetCurrentDirectory(sizeof cwd, nullptr));  // getcwd would allocate
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(Files, MoveReplacesOnlyWhenAsked)
{
    // The system's own move, and the hard link then unlink that FreeBSD moves with, on either system.
    BOOL (*const movers[])(const char*, const char*, DWORD) = {OsUserMoveFile, [](const char* from, const char* to, DWORD flags) {
        return MoveFileInternal(from, to, flags, NoReplaceMove::kLinkThenUnlink); }};
    for (const auto move : movers) {
        SCOPED_TRACE(move == movers[0] ? "OsUserMoveFile" : "link then unlink");
        Put("a", "A");
        Put("b", "B");
        fs::create_directory(P("d"));
        fs::create_directory(P("e"));
        fs::create_symlink("b", P("l"));
        // EISDIR is rename's own answer; a directory moves onto an empty one, a link as itself.
        const std::tuple<const char*, const char*, DWORD, int, const char*> moves[] = {{"a", "b", 0, EEXIST, "B"},
            {"a", "b", MOVEFILE_REPLACE_EXISTING, 0, "A"}, {"b", "d", 0, EISDIR, "A"}, {"d", "e", 0, 0, "A"},
            {"l", "e/l", 0, 0, "A"}, {"b", "e\\\\c", 0, 0, ""}};
        for (const auto& [from, to, flags, error, left] : moves) {
            EXPECT_EQ(error, ErrorOf(move(P(from).c_str(), P(to).c_str(), flags))) << from << " -> " << to;
            EXPECT_EQ(left, Get("b"));
        }
        EXPECT_EQ((std::vector<std::string>{"e"}), Names());
        EXPECT_TRUE(Get("e/c") == "A" && fs::read_symlink(P("e/l")) == "b");

        // A file made between the check and the move is kept: the move fails with EEXIST.
        Put("m", "moved");
        g_moveCheckedHook = [](const char* to) { std::ofstream(to) << "made meanwhile"; };
        EXPECT_EQ(EEXIST, ErrorOf(move(P("m").c_str(), P("t").c_str(), 0)));
        g_moveCheckedHook = nullptr;
        EXPECT_TRUE(Get("t") == "made meanwhile" && Get("m") == "moved");
        for (const char* name : {"e", "m", "t"})
            fs::remove_all(P(name));
    }
}

TEST_F(Files, CopyIsCompleteOrNothing)
{
    const std::string content(200000, 'c');
    Put("src", content);
    fs::permissions(P("src"), fs::perms::owner_read | fs::perms::group_read);
    Put("empty", "");
    Put("old", "old data");
    std::ifstream oldReader(P("old"));
    fs::create_directory(P("dir"));
    fs::create_hard_link(P("src"), P("hardlink"));
    // From, to, fail if it exists, the error, what the destination holds after.
    const std::tuple<const char*, const char*, BOOL, int, std::string> copies[] = {{"empty", "empty2", 1, 0, ""},
        {"\\\\src", "new", 1, 0, content}, {"src", "old", 1, EEXIST, "old data"}, {"src", "old", 0, 0, content},
        {"src", "src", 0, EINVAL, content}, {"src", "./hardlink", 0, EINVAL, content}, {"dir", "fromdir", 0, EISDIR, ""},
        {"src", "dir", 0, EISDIR, ""}, {"missing", "x", 0, ENOENT, ""}};
    for (const auto& [from, to, failIfExists, error, left] : copies) {
        EXPECT_EQ(error, ErrorOf(OsUserCopyFile(P(from).c_str(), P(to).c_str(), failIfExists))) << from << " -> " << to;
        EXPECT_EQ(left, Get(to)) << to;
    }
    // Nothing created where a copy failed, no copy left half-written beside its destination.
    EXPECT_EQ((std::vector<std::string>{"dir", "empty", "empty2", "hardlink", "new", "old", "src"}), Names());
    EXPECT_EQ(fs::perms::owner_read | fs::perms::group_read, fs::status(P("new")).permissions());
    EXPECT_EQ("old data", std::string(std::istreambuf_iterator<char>(oldReader), {}));  // a reader keeps the old data

    // The clean-up of a failed replacement removes only the file it made: while the copy reads
    // its source (a FIFO), another file takes the temporary file's name and the destination
    // becomes a directory, so the final rename fails (EISDIR) and that other file stays.
    ASSERT_EQ(0, mkfifo(P("pipe").c_str(), 0600));
    Put("foreign", "foreign");
    std::string temporary;
    std::thread writer([&] {
        const int fd = open(P("pipe").c_str(), O_WRONLY);  // the copy's source
        while (temporary.empty())
            for (const std::string& name : Names())
                temporary = name.rfind(".kv-copy-", 0) == 0 ? name : temporary;
        EXPECT_TRUE(write(fd, "x", 1) == 1 && rename(P("foreign").c_str(), P(temporary).c_str()) == 0);
        EXPECT_TRUE(fs::remove(P("old")) && fs::create_directory(P("old")) && close(fd) == 0);
    });
    EXPECT_EQ(EISDIR, ErrorOf(OsUserCopyFile(P("pipe").c_str(), P("old").c_str(), FALSE)));
    writer.join();
    EXPECT_EQ("foreign", Get(temporary));
}

// An existing destination gets what writing in place gives it: a device or FIFO is written,
// never replaced (and keeps its mode); a file with two names changes under both; a replaced
// file keeps its owner and group. Regular files take the source's permission bits.
TEST_F(Files, CopyOntoWhatExistsKeepsWhatWritingInPlaceKeeps)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "owners, device nodes and an unprivileged child need root";
    Put("src", "new");
    fs::permissions(P("src"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    Put("linked", "old");
    fs::create_hard_link(P("linked"), P("linked2"));
    Put("owned", "old");
    ASSERT_EQ(0, chown(P("owned").c_str(), 65534, 65534));
    ASSERT_EQ(0, mkfifo(P("fifo").c_str(), 0620));
    const int reader = open(P("fifo").c_str(), O_RDWR | O_NONBLOCK);  // a reader (and writer): opens never block
    ASSERT_EQ(0, mknod(P("null").c_str(), S_IFCHR | 0666, makedev(1, 3)));  // a null device of the test's own
    for (const char* to : {"null", "fifo", "linked", "owned"}) {
        struct stat before {}, after {};
        ASSERT_EQ(0, lstat(P(to).c_str(), &before));
        EXPECT_EQ(TRUE, OsUserCopyFile(P("src").c_str(), P(to).c_str(), FALSE)) << to;
        ASSERT_EQ(0, lstat(P(to).c_str(), &after));
        const mode_t mode = S_ISREG(before.st_mode) ? S_IFREG | 0644 : before.st_mode;
        EXPECT_EQ((std::vector<uint64_t>{mode, before.st_uid, before.st_gid, before.st_rdev}),
                  (std::vector<uint64_t>{after.st_mode, after.st_uid, after.st_gid, after.st_rdev})) << to;
        char piped[8] = {};
        EXPECT_EQ(S_ISCHR(mode) ? "" : "new", S_ISFIFO(mode) && read(reader, piped, sizeof piped) > 0 ? piped : Get(to)) << to;
    }
    EXPECT_EQ("new", Get("linked2"));
    close(reader);

    // An unprivileged child (in a directory it may write) is refused before anything changes:
    // a destination it may not write by open's EACCES, another's file it could only replace
    // under its own name by fchmod's EPERM (writing in place cannot give the source's mode).
    fs::permissions(dir_, fs::perms::all);
    const std::tuple<const char*, uid_t, mode_t, int> rows[] = {{"readonly", 65534, 0444, EACCES}, {"others", 0, 0666, EPERM}};
    for (const auto& [to, owner, mode, error] : rows) {
        Put(to, "old");
        ASSERT_TRUE(chown(P(to).c_str(), owner, owner) == 0 && chmod(P(to).c_str(), mode) == 0);
        const pid_t child = fork();
        if (child == 0)
            _exit(setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0
                      ? ErrorOf(OsUserCopyFile(P("src").c_str(), P(to).c_str(), FALSE)) : 255);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == error) << to << " " << status;
        EXPECT_EQ("old", Get(to));
        EXPECT_EQ(fs::perms(mode), fs::status(P(to)).permissions()) << to;
    }
    EXPECT_EQ((std::vector<std::string>{"fifo", "linked", "linked2", "null", "others", "owned", "readonly", "src"}), Names());
}

TEST_F(Files, FindListsMatchesAndSkipsWhatIsGone)
{
    for (const char* name : {"a.txt", "b.log", "c", ".hidden", "e1", "e2", "e3"})
        Put(name, "12345");
    fs::create_directory(P("d.dir"));
    fs::create_symlink(P("nowhere"), P("bb.txt"));  // dangling, sorted between b.log and c
    const std::pair<const char*, const char*> patterns[] = {
        {"*", "a.txt b.log c d.dir e1 e2 e3 "}, {"*.*", "a.txt b.log d.dir "}, {".h*", ".hidden "},
        {"?.txt", "a.txt "}, {"[ab]*", "a.txt b.log "}, {"\\\\*.log", "b.log "}, {"nothing*", ""}, {"bb*", ""},
        {"e*", "e1 e3 "}};  // e2 vanishes after the first call
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
            if (found == "e1 ")
                unlink(P("e2").c_str());
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
    EXPECT_EQ(FALSE, OsUserFindNextFile(nullptr, &data));
}

}  // namespace
