// Files and directories.
#include "KvPlatformHelper.h"

#include <errno.h>
#include <unistd.h>

_OsUserFileHandle::_OsUserFileHandle() : _OsUserHandle(OS_USER_HANDLE_FILE), fd(0) {}

_OsUserFileHandle::~_OsUserFileHandle() = default;

namespace {

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

}  // namespace

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

char* OsUserGetCurrentDirectory(DWORD size, char* buffer)
{
    // getcwd would allocate for a null buffer; the caller always owns the storage here.
    if (buffer == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return getcwd(buffer, size);
}
