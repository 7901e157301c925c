// A small Win32-style program on the installed KvPlatformHelper layer: a worker thread sets an
// event that the main thread waits for among others with a time-out, a file is written and found
// again, a CString is built, and the last error of a failed call is read. Prints "ok" and ends
// with status 0 when every step behaves as on Win32.
#include <KvPlatformHelper.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void Check(bool passed, const char* step)
{
    if (!passed) {
        std::fprintf(stderr, "porting example: %s failed (last error %lu)\n", step,
                     static_cast<unsigned long>(OsUserGetLastError()));
        ++failures;
    }
}

// The worker's routine: sets the event it is given.
unsigned int SetReady(void* event)
{
    OsUserSetEvent(event);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";

    // An event set by a worker thread; a wait for any of two events, with a time-out.
    OS_USER_HANDLE events[2] = {OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr),
                                OsUserCreateEvent(nullptr, TRUE, FALSE, nullptr)};
    OS_USER_THREAD_HANDLE worker = OsUserCreateThread(nullptr, 0, SetReady, events[1], 0, nullptr);
    Check(events[0] && events[1] && worker, "creating the events and the thread");
    Check(OsUserWaitForMultipleObjects(2, events, FALSE, 10000) == WAIT_OBJECT_0 + 1, "the wait for the set event");
    Check(OsUserWaitForSingleObject(events[0], 10) == WAIT_TIMEOUT, "the wait that times out");
    Check(OsUserWaitForThread(worker, INFINITE) == WAIT_OBJECT_0, "the wait for the thread");
    Check(OsUserCloseThreadHandle(worker) && OsUserCloseHandle(events[0]) && OsUserCloseHandle(events[1]),
          "closing the handles");

    // A file written, then found again by a pattern, with its size.
    const std::string path = dir + "/porting-example.txt";
    const char text[] = "written through the layer\n";
    OS_USER_FILE_HANDLE file = OsUserCreateFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    Check(file != INVALID_HANDLE_VALUE && OsUserWriteFile(file, text, sizeof text - 1, &written, nullptr) &&
              written == sizeof text - 1 && OsUserCloseFile(file),
          "writing the file");
    _WIN32_FIND_DATAA found{};
    OS_USER_HANDLE search = OsUserFindFirstFile((dir + "/porting-*.txt").c_str(), &found);
    Check(search != INVALID_HANDLE_VALUE && std::strcmp(found.cFileName, "porting-example.txt") == 0 &&
              found.nFileSizeLow == sizeof text - 1,
          "finding the file");
    if (search != INVALID_HANDLE_VALUE)
        OsUserFindClose(search);
    Check(OsUserDeleteFile(path.c_str()), "deleting the file");

    // The last error of a failed call: the file is gone.
    Check(OsUserCreateFile(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) ==
                  INVALID_HANDLE_VALUE &&
              OsUserGetLastError() == ENOENT,
          "the last error of opening a missing file");

    // A CString.
    CString message;
    message.Format("%s, %d", "ok", failures);
    message.MakeUpper();
    Check(message.Compare("OK, 0") == 0 && message.GetLength() == 5, "the CString");

    std::puts(failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
