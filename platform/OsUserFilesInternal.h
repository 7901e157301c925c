// Files and directories: the name translations of OsUserFiles.cpp, open to tests.
#ifndef KV_OS_USER_FILES_INTERNAL_H
#define KV_OS_USER_FILES_INTERNAL_H

#include "KvPlatformHelper.h"

// The path with every backslash turned into a slash and each run of separators made one.
CString RewritePath(const char* path);

// Whether name is a device name: at least 6 characters beginning with "\\.\".
bool IsDeviceName(const char* name);

// How each system names serial port n: /dev/ttySn (Linux), /dev/cuaun (FreeBSD).
enum class SerialPortNames { kLinux, kFreeBSD };
#if defined(__linux__)
constexpr SerialPortNames kSerialPortNames = SerialPortNames::kLinux;
#else
constexpr SerialPortNames kSerialPortNames = SerialPortNames::kFreeBSD;
#endif

// The device file of a device name: "\\.\COMn" (n >= 1) is serial port n-1, anything else
// is the rest of the name under /dev, its case kept. False (errno ENOENT) for COM names
// without a port number of 1 or more.
bool DevicePath(const char* name, CString& path, SerialPortNames ports = kSerialPortNames);

// How a move without replacing keeps a file that appears at the destination meanwhile:
// renameat2 with RENAME_NOREPLACE (Linux; where the file system lacks it, as the next), or
// a hard link at the new name and then removing the old one (FreeBSD).
enum class NoReplaceMove { kRenameNoReplace, kLinkThenUnlink };

// Tests only: called, when set, between a move's check for an existing destination and the move.
extern void (*g_moveCheckedHook)(const char* to);

// OsUserMoveFile with the system's way of moving without replacing given.
BOOL MoveFileInternal(const char* existingPath, const char* newPath, DWORD flags, NoReplaceMove how);

#endif  // KV_OS_USER_FILES_INTERNAL_H
