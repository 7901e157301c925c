// Files and directories: Win32-style file handles with share modes, file information,
// path functions, copy and move, and pattern search, on POSIX descriptors.
#include "KvPlatformHelper.h"
#include "OsUserFilesInternal.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <new>

_OsUserFileHandle::_OsUserFileHandle() : _OsUserHandle(OS_USER_HANDLE_FILE), fd(0) {}

_OsUserFileHandle::~_OsUserFileHandle() = default;

namespace {

constexpr char kCreateFileSignature[] =
    "OS_USER_FILE_HANDLE OsUserCreateFile(LPCSTR, DWORD, DWORD, PVOID, DWORD, DWORD, "
    "OS_USER_FILE_HANDLE)";
constexpr size_t kCopyChunk = 65536;

// The file handle behind h, or null (errno = EINVAL) when h is not an open file.
_OsUserFileHandle* FileFromHandle(OS_USER_FILE_HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        static_cast<_OsUserHandle*>(h)->kind != OS_USER_HANDLE_FILE) {
        errno = EINVAL;
        return nullptr;
    }
    return static_cast<_OsUserFileHandle*>(static_cast<_OsUserHandle*>(h));
}

// What the information records need from a file: its status and its birth time.
struct FileStatus {
    struct stat status;
    timespec birth;  // 0 where the file system keeps none
};

#if defined(__linux__)
// Linux keeps the birth time out of struct stat: statx reports it where the file system has it.
bool StatusAt(int directory, const char* path, int flags, FileStatus* result)
{
    struct statx extended {};
    if (statx(directory, path, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) != 0) {
        return false;
    }
    struct stat& s = result->status;
    memset(&s, 0, sizeof s);
    s.st_dev = makedev(extended.stx_dev_major, extended.stx_dev_minor);
    s.st_ino = extended.stx_ino;
    s.st_mode = extended.stx_mode;
    s.st_nlink = extended.stx_nlink;
    s.st_uid = extended.stx_uid;
    s.st_gid = extended.stx_gid;
    s.st_size = static_cast<off_t>(extended.stx_size);
    s.st_atim = {static_cast<time_t>(extended.stx_atime.tv_sec),
                 static_cast<long>(extended.stx_atime.tv_nsec)};
    s.st_mtim = {static_cast<time_t>(extended.stx_mtime.tv_sec),
                 static_cast<long>(extended.stx_mtime.tv_nsec)};
    result->birth = {};
    if ((extended.stx_mask & STATX_BTIME) != 0) {
        result->birth = {static_cast<time_t>(extended.stx_btime.tv_sec),
                         static_cast<long>(extended.stx_btime.tv_nsec)};
    }
    return true;
}

bool StatusOfDescriptor(int fd, FileStatus* result)
{
    return StatusAt(fd, "", AT_EMPTY_PATH, result);
}
#else
// FreeBSD keeps the birth time in struct stat (tv_sec -1 where the file system has none).
void TakeBirthTime(FileStatus* result)
{
    result->birth = result->status.st_birthtim;
    if (result->birth.tv_sec < 0) {
        result->birth = {};
    }
}

bool StatusAt(int directory, const char* path, int flags, FileStatus* result)
{
    if (fstatat(directory, path, &result->status, flags) != 0) {
        return false;
    }
    TakeBirthTime(result);
    return true;
}

bool StatusOfDescriptor(int fd, FileStatus* result)
{
    if (fstat(fd, &result->status) != 0) {
        return false;
    }
    TakeBirthTime(result);
    return true;
}
#endif

void StoreFileTime(const timespec& time, _FILETIME* target)
{
    Timespec2FileTime(time, *target);
}

// Closes fd keeping the errno of the failure being reported.
void CloseQuietly(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
}

// Destroys a handle whose open failed, keeping errno.
OS_USER_FILE_HANDLE FailOpen(_OsUserFileHandle* file, int error)
{
    delete file;
    errno = error;
    return INVALID_HANDLE_VALUE;
}

// Empties the file behind fd, which was opened from path, when it is a regular file: like
// O_TRUNC, truncation leaves devices and FIFOs alone. A descriptor opened for reading only
// cannot be truncated, so a second, writing descriptor of the same file does it.
bool TruncateOpenFile(int fd, int accessFlags, const char* path)
{
    struct stat opened {};
    if (fstat(fd, &opened) != 0) {
        return false;
    }
    if (!S_ISREG(opened.st_mode)) {
        return true;
    }
    if (accessFlags != O_RDONLY) {
        return ftruncate(fd, 0) == 0;
    }
    const int writer = open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (writer < 0) {
        return false;
    }
    struct stat reopened {};
    bool truncated = false;
    if (fstat(writer, &reopened) == 0) {
        if (opened.st_dev == reopened.st_dev && opened.st_ino == reopened.st_ino) {
            truncated = ftruncate(writer, 0) == 0;
        } else {
            errno = EACCES;  // the name was given to another file meanwhile
        }
    }
    CloseQuietly(writer);
    return truncated;
}

// The directory part of path ("." when it has none), for files created beside it.
CString DirectoryOf(const CString& path)
{
    const int slash = path.ReverseFind('/');
    if (slash < 0) {
        return CString(".");
    }
    if (slash == 0) {
        return CString("/");
    }
    return path.Left(slash);
}

// Removes path if it is still the file made (same device and inode): a name another file
// has taken meanwhile is left alone.
void RemoveOwnFile(const char* path, const struct stat& made)
{
    struct stat now {};
    if (lstat(path, &now) == 0 && now.st_dev == made.st_dev && now.st_ino == made.st_ino) {
        unlink(path);
    }
}

// Writes all of count bytes; false on a failed or empty write.
bool WriteAll(int fd, const char* data, size_t count)
{
    while (count > 0) {
        const ssize_t written = write(fd, data, count);
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        data += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// Copies the rest of source into target: in the kernel where it can, else through a buffer.
// A source of a known size (its size at the start) ends there without another call.
bool CopyContent(int source, int target, off_t size)
{
    for (off_t total = 0;;) {
        const ssize_t copied = copy_file_range(source, nullptr, target, nullptr, 1 << 30, 0);
        if (copied == 0) {
            return true;
        }
        total += copied > 0 ? copied : 0;
        if (size > 0 && total >= size) {
            return true;
        }
        if (copied < 0) {
            // Not between these two files (other file systems, special files): copy by hand.
            if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                errno == EBADF) {
                break;
            }
            return false;
        }
    }
    char* buffer = new (std::nothrow) char[kCopyChunk];
    if (buffer == nullptr) {
        errno = ENOMEM;
        return false;
    }
    bool copied = false;
    for (;;) {
        const ssize_t got = read(source, buffer, kCopyChunk);
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        if (!WriteAll(target, buffer, static_cast<size_t>(got))) {
            break;
        }
    }
    delete[] buffer;
    return copied;
}

// State of one search: the sorted matches and the position in them.
struct FindContext {
    glob_t matches;
    char nameBuffer[1024];  // work copy of the current path for basename
    int index;              // last match returned; -1 before the first
    // The directory of the last match, opened once for all its entries: each entry is then
    // examined by its name alone instead of walking its whole path again.
    char directory[1024];
    size_t directoryLength;
    int directoryFd;
};

// Examines the match at path, relative to its directory's descriptor where that can be opened.
bool StatusOfMatch(FindContext* context, const char* path, FileStatus* result)
{
    const char* slash = strrchr(path, '/');
    const size_t length = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
    if (length == 0 || slash[1] == '\0') {
        return StatusAt(AT_FDCWD, path, 0, result);
    }
    if (length != context->directoryLength || memcmp(context->directory, path, length) != 0) {
        if (context->directoryFd >= 0) {
            close(context->directoryFd);
        }
        memcpy(context->directory, path, length);
        context->directory[length] = '\0';
        context->directoryLength = length;
        context->directoryFd = open(context->directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return context->directoryFd >= 0 ? StatusAt(context->directoryFd, path + length, 0, result)
                                     : StatusAt(AT_FDCWD, path, 0, result);
}

void ReleaseFind(FindContext* context)
{
    if (context->directoryFd >= 0) {
        close(context->directoryFd);
    }
    globfree(&context->matches);
    delete context;
}

FindContext* FindFromHandle(OS_USER_HANDLE h)
{
    return h == nullptr || h == INVALID_HANDLE_VALUE ? nullptr : static_cast<FindContext*>(h);
}

void FillFindData(const FileStatus& file, const char* name, _WIN32_FIND_DATAA* findData)
{
    findData->dwFileAttributes = OsUserGetFileAttributesInternal(&file.status);
    StoreFileTime(file.birth, &findData->ftCreationTime);
    StoreFileTime(file.status.st_atim, &findData->ftLastAccessTime);
    StoreFileTime(file.status.st_mtim, &findData->ftLastWriteTime);
    const uint64_t size = static_cast<uint64_t>(file.status.st_size);
    findData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    findData->nFileSizeLow = static_cast<DWORD>(size);
    findData->dwReserved0 = 0;
    findData->dwReserved1 = 0;
    const size_t length = strnlen(name, sizeof findData->cFileName - 1);
    memcpy(findData->cFileName, name, length);
    findData->cFileName[length] = '\0';
}

}  // namespace

CString RewritePath(const char* path)
{
    CString rewritten(path);
    const int length = rewritten.GetLength();
    if (length == 0) {
        return rewritten;
    }
    char* text = rewritten.GetBuffer(length);
    if (text == nullptr) {
        return rewritten;
    }
    int kept = 0;
    for (int i = 0; i < length; ++i) {
        const char c = text[i] == '\\' ? '/' : text[i];
        if (c == '/' && kept > 0 && text[kept - 1] == '/') {
            continue;
        }
        text[kept++] = c;
    }
    rewritten.ReleaseBuffer(kept);
    return rewritten;
}

bool IsDeviceName(const char* name)
{
    return strlen(name) >= 6 && strncmp(name, "\\\\.\\", 4) == 0;
}

bool DevicePath(const char* name, CString& path, SerialPortNames ports)
{
    const char* rest = name + 4;
    const char* com = strstr(rest, "COM");
    if (com == nullptr) {
        // A name that /dev holds as written keeps its case (FreeBSD's /dev/cuaU0, a USB serial
        // port, is not /dev/cuau0); any other is lower-cased, so \\.\NULL still names /dev/null.
        path.Format("%s%.255s", "/dev/", rest);
        const int error = errno;
        struct stat st {};
        if (lstat(path, &st) != 0) {
            path.MakeLower();
        }
        errno = error;
        return true;
    }
    // The whole number after "COM", from 1, and nothing behind it.
    const char* digits = com + 3;
    unsigned long port = 0;
    const char* end = digits;
    while (*end >= '0' && *end <= '9' && port <= 100000) {
        port = port * 10 + static_cast<unsigned long>(*end - '0');
        ++end;
    }
    if (end == digits || *end != '\0' || port < 1 || port > 100000) {
        errno = ENOENT;
        return false;
    }
    path.Format(ports == SerialPortNames::kLinux ? "/dev/ttyS%lu" : "/dev/cuau%lu", port - 1);
    return true;
}

OS_USER_FILE_HANDLE OsUserCreateFile(const char* name, DWORD desiredAccess, DWORD shareMode,
                                     PVOID /*securityAttributes*/, DWORD creationDisposition,
                                     DWORD flagsAndAttributes, OS_USER_FILE_HANDLE templateFile)
{
    _OsUserFileHandle* file = new (std::nothrow) _OsUserFileHandle;
    if (file == nullptr) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    if (templateFile != nullptr) {
        fprintf(stderr, "%s: hTemplateFile not supported\n", kCreateFileSignature);
        return FailOpen(file, EINVAL);
    }
    if (flagsAndAttributes != 0 && (flagsAndAttributes & FILE_ATTRIBUTE_NORMAL) == 0) {
        fprintf(stderr, "%s: only FILE_ATTRIBUTE_NORMAL supported\n", kCreateFileSignature);
        return FailOpen(file, EINVAL);
    }
    if (name == nullptr || desiredAccess == 0) {
        return FailOpen(file, EINVAL);
    }
    const int accessFlags = desiredAccess == GENERIC_READ    ? O_RDONLY
                            : desiredAccess == GENERIC_WRITE ? O_WRONLY
                                                             : O_RDWR;
    // Truncation waits until the lock is held: a refused open must not empty the file.
    int flags = accessFlags | O_CLOEXEC;
    bool truncate = false;
    switch (creationDisposition) {
    case CREATE_NEW:
        flags |= O_CREAT | O_EXCL;
        break;
    case CREATE_ALWAYS:
        flags |= O_CREAT;
        truncate = true;
        break;
    case OPEN_ALWAYS:
        flags |= O_CREAT;
        break;
    case TRUNCATE_EXISTING:
        if ((desiredAccess & GENERIC_WRITE) == 0) {
            return FailOpen(file, EINVAL);
        }
        truncate = true;
        break;
    default:
        break;
    }

    CString path;
    if (IsDeviceName(name)) {
        if (!DevicePath(name, path)) {
            return FailOpen(file, errno);
        }
    } else {
        path = RewritePath(name);
    }
    file->fd = open(path, flags, 0700);
    if (file->fd < 0) {
        return FailOpen(file, errno);
    }
    const int lock = (shareMode & FILE_SHARE_READ) != 0 ? LOCK_SH : LOCK_EX;
    if (flock(file->fd, lock | LOCK_NB) != 0 && errno != EOPNOTSUPP) {
        close(file->fd);
        return FailOpen(file, EACCES);
    }
    if (truncate && !TruncateOpenFile(file->fd, accessFlags, path)) {
        CloseQuietly(file->fd);
        return FailOpen(file, errno);
    }
    return file;
}

namespace {

// One read or write call on a file handle: a short transfer, and 0 at the end of the file, are
// successes; the count goes to transferred when it is not null.
template <typename Call>
BOOL TransferOnce(OS_USER_FILE_HANDLE hFile, PVOID overlapped, const char* signature,
                  DWORD* transferred, Call call)
{
    if (overlapped != nullptr) {
        fprintf(stderr, "%s: lpOverlapped not supported", signature);
        errno = EINVAL;
        return FALSE;
    }
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    const ssize_t done = call(file->fd);
    if (done < 0) {
        return FALSE;
    }
    if (transferred != nullptr) {
        *transferred = static_cast<DWORD>(done);
    }
    return TRUE;
}

}  // namespace

BOOL OsUserReadFile(OS_USER_FILE_HANDLE hFile, PVOID buffer, DWORD count, DWORD* bytesRead,
                    PVOID overlapped)
{
    return TransferOnce(hFile, overlapped,
                        "BOOL OsUserReadFile(OS_USER_FILE_HANDLE, LPVOID, DWORD, LPDWORD, PVOID)",
                        bytesRead, [&](int fd) { return read(fd, buffer, count); });
}

BOOL OsUserWriteFile(OS_USER_FILE_HANDLE hFile, const void* buffer, DWORD count,
                     DWORD* bytesWritten, PVOID overlapped)
{
    return TransferOnce(hFile, overlapped,
                        "BOOL OsUserWriteFile(OS_USER_FILE_HANDLE, LPCVOID, DWORD, LPDWORD, PVOID)",
                        bytesWritten, [&](int fd) { return write(fd, buffer, count); });
}

BOOL OsUserCloseFile(OS_USER_FILE_HANDLE hFile)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    const int result = close(file->fd);
    delete file;
    return result == 0 ? TRUE : FALSE;
}

BOOL OsUserDeviceIoControl(OS_USER_FILE_HANDLE hFile, DWORD controlCode, PVOID input,
                           DWORD inputSize, PVOID output, DWORD outputSize,
                           DWORD* bytesReturned, PVOID /*overlapped*/)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    OS_USER_DEVICE_REQUEST request{controlCode, inputSize, 0, outputSize,
                                   reinterpret_cast<uintptr_t>(input),
                                   reinterpret_cast<uintptr_t>(output)};
    if (ioctl(file->fd, OS_USER_DEVICE_REQUEST_CODE, &request) < 0) {
        return FALSE;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = request.bytesReturned;
    }
    return TRUE;
}

BOOL OsUserGetFileInformationByHandle(OS_USER_FILE_HANDLE hFile,
                                      _BY_HANDLE_FILE_INFORMATION* information)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr || information == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    memset(information, 0, sizeof *information);
    FileStatus status{};
    if (!StatusOfDescriptor(file->fd, &status)) {
        errno = EINVAL;
        return FALSE;
    }
    information->dwFileAttributes = OsUserGetFileAttributesInternal(&status.status);
    StoreFileTime(status.birth, &information->ftCreationTime);
    StoreFileTime(status.status.st_atim, &information->ftLastAccessTime);
    StoreFileTime(status.status.st_mtim, &information->ftLastWriteTime);
    const uint64_t size = static_cast<uint64_t>(status.status.st_size);
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
    return TRUE;
}

DWORD OsUserGetFileSize(OS_USER_FILE_HANDLE hFile, DWORD* sizeHigh)
{
    _BY_HANDLE_FILE_INFORMATION information;
    if (!OsUserGetFileInformationByHandle(hFile, &information)) {
        return INVALID_FILE_SIZE;
    }
    if (sizeHigh != nullptr) {
        *sizeHigh = information.nFileSizeHigh;
    }
    return information.nFileSizeLow;
}

DWORD OsUserSetFilePointer(OS_USER_FILE_HANDLE hFile, LONG distance, int* distanceHigh,
                           DWORD origin)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr || origin > FILE_END) {
        errno = EINVAL;
        return INVALID_SET_FILE_POINTER;
    }
    const int64_t offset =
        distanceHigh != nullptr
            ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh))
                                    << 32) |
                                   static_cast<uint32_t>(distance))
            : static_cast<int64_t>(distance);
    const off_t position = lseek(file->fd, static_cast<off_t>(offset), static_cast<int>(origin));
    if (position == -1) {
        return INVALID_SET_FILE_POINTER;
    }
    const DWORD low = static_cast<DWORD>(position);
    if (distanceHigh != nullptr) {
        *distanceHigh = static_cast<int>(static_cast<uint64_t>(position) >> 32);
        if (low == INVALID_SET_FILE_POINTER) {
            errno = 0;  // a real position, not a failure
        }
    }
    return low;
}

BOOL OsUserSetFilePointerEx(OS_USER_FILE_HANDLE hFile, _LARGE_INTEGER distance,
                            _LARGE_INTEGER* newPosition, DWORD origin)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr || origin > FILE_END) {
        errno = EINVAL;
        return FALSE;
    }
    const off_t position =
        lseek(file->fd, static_cast<off_t>(distance.QuadPart), static_cast<int>(origin));
    if (position == -1) {
        return FALSE;
    }
    if (newPosition != nullptr) {
        newPosition->QuadPart = position;
    }
    return TRUE;
}

BOOL OsUserSetEndOfFile(OS_USER_FILE_HANDLE hFile)
{
    _OsUserFileHandle* file = FileFromHandle(hFile);
    if (file == nullptr) {
        return FALSE;
    }
    const off_t position = lseek(file->fd, 0, SEEK_CUR);
    return position != -1 && ftruncate(file->fd, position) == 0 ? TRUE : FALSE;
}

BOOL OsUserDeleteFile(const char* path)
{
    return unlink(RewritePath(path)) == 0 ? TRUE : FALSE;
}

void (*g_moveCheckedHook)(const char* to) = nullptr;

namespace {

// Moves from to a destination where nothing exists: 1 moved, 0 refused or failed (errno),
// -1 when this file or file system allows no such move (the caller renames instead).
int MoveWithoutReplacing(const char* from, const char* to, NoReplaceMove how)
{
#if defined(__linux__)
    if (how == NoReplaceMove::kRenameNoReplace) {
        if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
            return 1;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return 0;
        }
    }
#else
    (void)how;  // FreeBSD has no renameat2
#endif
    // A second name for a regular file is refused (EEXIST) as atomically as such a rename;
    // then the old name goes. Other kinds of file, and file systems without hard links, are
    // left to rename.
    struct stat source {};
    if (lstat(from, &source) != 0 || !S_ISREG(source.st_mode)) {
        return -1;
    }
    if (linkat(AT_FDCWD, from, AT_FDCWD, to, 0) != 0) {
        return errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK ? -1 : 0;
    }
    if (unlink(from) != 0) {
        const int error = errno;
        unlink(to);
        errno = error;
        return 0;
    }
    return 1;
}

}  // namespace

BOOL MoveFileInternal(const char* existingPath, const char* newPath, DWORD flags, NoReplaceMove how)
{
    const CString from = RewritePath(existingPath);
    const CString to = RewritePath(newPath);
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
        struct stat target {};
        const bool exists = stat(to, &target) == 0;
        if (exists && S_ISREG(target.st_mode)) {
            errno = EEXIST;
            return FALSE;
        }
        // Nothing there at the check: a file that appears before the move is kept.
        if (!exists) {
            if (g_moveCheckedHook != nullptr) {
                g_moveCheckedHook(to);
            }
            const int moved = MoveWithoutReplacing(from, to, how);
            if (moved >= 0) {
                return moved == 1 ? TRUE : FALSE;
            }
        }
    }
    return rename(from, to) == 0 ? TRUE : FALSE;
}

BOOL OsUserMoveFile(const char* existingPath, const char* newPath, DWORD flags)
{
#if defined(__linux__)
    return MoveFileInternal(existingPath, newPath, flags, NoReplaceMove::kRenameNoReplace);
#else
    return MoveFileInternal(existingPath, newPath, flags, NoReplaceMove::kLinkThenUnlink);
#endif
}

BOOL OsUserCopyFile(const char* existingPath, const char* newPath, int failIfExists)
{
    const CString from = RewritePath(existingPath);
    const CString to = RewritePath(newPath);
    const int source = open(from, O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        return FALSE;
    }
    // Everything that can be refused is refused before anything is created.
    struct stat sourceStatus {};
    struct stat targetStatus {};
    int refusal = 0;
    bool exists = false;
    if (fstat(source, &sourceStatus) != 0) {
        refusal = errno;
    } else if (S_ISDIR(sourceStatus.st_mode)) {
        refusal = EISDIR;
    } else if (stat(to, &targetStatus) == 0) {
        exists = true;
        if (targetStatus.st_dev == sourceStatus.st_dev && targetStatus.st_ino == sourceStatus.st_ino) {
            refusal = EINVAL;  // the destination is the source itself
        } else if (failIfExists != 0) {
            refusal = EEXIST;
        } else if (S_ISDIR(targetStatus.st_mode)) {
            refusal = EISDIR;
        }
    }
    if (refusal != 0) {
        close(source);
        errno = refusal;
        return FALSE;
    }

    // Where the copy goes. A new destination is created here (O_EXCL: never one that appeared
    // meanwhile) and written. An existing one is first opened for writing as writing in place
    // would open it, without emptying it: one the caller may not write is refused with that
    // open's error before anything changes. A device, FIFO or file with several names is then
    // written in place (never replaced, so every name and reader sees the copy); a file with
    // one name is replaced by renaming a complete copy over it, which gets the old file's owner
    // and group, so a failed copy never leaves it half overwritten. A symbolic link is replaced.
    int target = -1;
    const char* own = nullptr;  // the file this copy made (and removes should it fail)
    bool replacing = false;     // own is a temporary file, renamed over the destination at the end
    if (!exists) {
        target = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
        if (target < 0 && (errno != EEXIST || failIfExists != 0)) {
            CloseQuietly(source);
            return FALSE;
        }
        own = target >= 0 ? to.GetString() : nullptr;
    }
    int existing = -1;
    struct stat existingStatus {};
    struct stat name {};
    if (target < 0 && lstat(to, &name) == 0 && !S_ISLNK(name.st_mode)) {
        existing = open(to, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
        if (existing < 0 || fstat(existing, &existingStatus) != 0) {
            if (existing >= 0) {
                CloseQuietly(existing);
            }
            CloseQuietly(source);
            return FALSE;
        }
        if (!S_ISREG(existingStatus.st_mode) || existingStatus.st_nlink > 1) {
            target = existing;
            existing = -1;
        }
    }
    CString temporary;
    if (target < 0) {
        temporary = DirectoryOf(to);
        temporary += "/.kv-copy-XXXXXX";
        target = mkostemp(temporary.GetBuffer(temporary.GetLength()), O_CLOEXEC);
        replacing = target >= 0;
        own = replacing ? temporary.GetString() : nullptr;
        if (replacing && existing >= 0 && fstat(target, &targetStatus) == 0 &&
            (targetStatus.st_uid != existingStatus.st_uid || targetStatus.st_gid != existingStatus.st_gid) &&
            fchown(target, existingStatus.st_uid, existingStatus.st_gid) != 0) {
            // Only writing in place keeps an owner the caller cannot give: the old file is written.
            RemoveOwnFile(temporary, targetStatus);
            close(target);
            target = existing;
            existing = -1;
            own = nullptr;
            replacing = false;
        }
    }
    if (target < 0 || fstat(target, &targetStatus) != 0) {
        const int error = errno;
        if (target >= 0) {
            close(target);  // not known to be this copy's own: left in place
        }
        if (existing >= 0) {
            close(existing);
        }
        close(source);
        errno = error;
        return FALSE;
    }
    // Only regular files take the source's permission bits and are emptied: a device or FIFO
    // keeps its mode, as O_TRUNC leaves it alone.
    const bool regular = S_ISREG(targetStatus.st_mode);
    int error = 0;
    if (regular && fchmod(target, sourceStatus.st_mode & 07777) != 0) {
        error = errno;
    } else if (regular && own == nullptr && ftruncate(target, 0) != 0) {
        error = errno;
    } else if (!CopyContent(source, target, S_ISREG(sourceStatus.st_mode) ? sourceStatus.st_size : 0)) {
        error = errno;
    } else if (replacing && fdatasync(target) != 0) {
        // The old content is gone once the copy is renamed over it: the copy must be on disk.
        error = errno;
    }
    if (close(target) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && replacing && rename(temporary, to) != 0) {
        error = errno;
    }
    if (error != 0 && own != nullptr) {
        RemoveOwnFile(own, targetStatus);
    }
    if (existing >= 0) {
        close(existing);
    }
    close(source);
    errno = error;
    return error == 0 ? TRUE : FALSE;
}

BOOL OsUserCreateDirectory(const char* path, PVOID /*securityAttributes*/)
{
    return mkdir(RewritePath(path), 0775) == 0 ? TRUE : FALSE;
}

BOOL OsUserRemoveDirectory(const char* path)
{
    return rmdir(RewritePath(path)) == 0 ? TRUE : FALSE;
}

int os_mkdir(const char* path, uint16_t mode)
{
    return mkdir(RewritePath(path), mode);
}

int os_rmdir(const char* path)
{
    return rmdir(RewritePath(path));
}

DWORD OsUserGetFileAttributesInternal(const struct stat* status)
{
    if (S_ISDIR(status->st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return S_ISREG(status->st_mode) ? FILE_ATTRIBUTE_NORMAL : 0xFFFFFFFFu;
}

DWORD OsUserGetFileAttributes(const char* path)
{
    struct stat status {};
    if (stat(RewritePath(path), &status) != 0) {
        return INVALID_FILE_ATTRIBUTES;
    }
    return OsUserGetFileAttributesInternal(&status);
}

BOOL OsUserPathFileExists(const char* path)
{
    struct stat status {};
    return stat(RewritePath(path), &status) == 0 && S_ISREG(status.st_mode) ? TRUE : FALSE;
}

char* OsUserGetCurrentDirectory(DWORD size, char* buffer)
{
    // getcwd would allocate for a null buffer; the caller always owns the storage here.
    if (buffer == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return getcwd(buffer, size);
}

OS_USER_HANDLE OsUserFindFirstFile(const char* pattern, _WIN32_FIND_DATAA* findData)
{
    if (pattern == nullptr || findData == nullptr) {
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    FindContext* context = new (std::nothrow) FindContext;
    if (context == nullptr) {
        errno = ENOMEM;
        return INVALID_HANDLE_VALUE;
    }
    memset(findData, 0, sizeof *findData);
    memset(&context->matches, 0, sizeof context->matches);
    context->index = -1;
    context->directoryLength = 0;
    context->directoryFd = -1;
    const int result = glob(RewritePath(pattern), 0, nullptr, &context->matches);
    if (result == 0 && OsUserFindNextFile(context, findData)) {
        return context;
    }
    ReleaseFind(context);  // glob may have kept partial results even when it failed
    errno = result == GLOB_NOSPACE ? ENOMEM : ENOENT;
    return INVALID_HANDLE_VALUE;
}

BOOL OsUserFindNextFile(OS_USER_HANDLE hFind, _WIN32_FIND_DATAA* findData)
{
    FindContext* context = FindFromHandle(hFind);
    if (context == nullptr || findData == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    // Entries that vanished since the pattern was expanded, or links that lead nowhere, are
    // passed over; the listing goes on behind them.
    for (size_t i = static_cast<size_t>(context->index + 1); i < context->matches.gl_pathc; ++i) {
        const char* path = context->matches.gl_pathv[i];
        const size_t length = strlen(path);
        if (length >= sizeof context->nameBuffer) {
            continue;
        }
        // The last component; basename only for the rare path that ends with a slash.
        const char* slash = strrchr(path, '/');
        const char* name = slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
        if (slash != nullptr && slash[1] == '\0') {
            memcpy(context->nameBuffer, path, length + 1);
            name = basename(context->nameBuffer);
        }
        FileStatus status{};
        if (name == nullptr || !StatusOfMatch(context, path, &status)) {
            continue;
        }
        FillFindData(status, name, findData);
        context->index = static_cast<int>(i);
        return TRUE;
    }
    context->index = static_cast<int>(context->matches.gl_pathc);
    errno = ENOENT;
    return FALSE;
}

BOOL OsUserFindClose(OS_USER_HANDLE hFind)
{
    FindContext* context = FindFromHandle(hFind);
    if (context == nullptr) {
        errno = EINVAL;
        return FALSE;
    }
    ReleaseFind(context);
    return TRUE;
}
