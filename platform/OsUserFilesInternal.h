// Files and directories: the name translations of OsUserFiles.cpp, open to tests.
#ifndef KV_OS_USER_FILES_INTERNAL_H
#define KV_OS_USER_FILES_INTERNAL_H

#include "KvPlatformHelper.h"

// The path with every backslash turned into a slash and each run of separators made one.
CString RewritePath(const char* path);

// Whether name is a device name: at least 6 characters beginning with "\\.\".
bool IsDeviceName(const char* name);

// The device file of a device name: "\\.\COMn" (n >= 1) is serial port n-1, anything else
// is the rest of the name under /dev, in lower case. False (errno ENOENT) for COM names
// without a port number of 1 or more.
bool DevicePath(const char* name, CString& path);

#endif  // KV_OS_USER_FILES_INTERNAL_H
