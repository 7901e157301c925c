// Files and directories.
#include "KvPlatformHelper.h"

#include <errno.h>
#include <unistd.h>

char* OsUserGetCurrentDirectory(DWORD size, char* buffer)
{
    // getcwd would allocate for a null buffer; the caller always owns the storage here.
    if (buffer == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return getcwd(buffer, size);
}
