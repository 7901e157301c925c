#include "IxoWebServerStartup.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace IxoWebservice {

namespace {

bool is_one_of(const char* arg, std::initializer_list<const char*> names)
{
    for (const char* name : names)
        if (std::strcmp(arg, name) == 0)
            return true;
    return false;
}

// Whether a listener accepts connections on the socket file at path. The connect does not wait:
// a listener whose queue is full (EAGAIN) is alive too; refused, absent or not a socket is not.
bool AcceptsConnections(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool accepted = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                          errno == EAGAIN || errno == EINPROGRESS;
    ::close(probe);
    return accepted;
}

}  // namespace

bool GetVerboseModeEnabled(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i)
        if (argv[i] != nullptr && is_one_of(argv[i], {"/verbose", "-verbose", "/v", "-v"}))
            return true;
    return false;
}

bool GetDoFork(int /*argc*/, char** /*argv*/)
{
    return false;
}

std::string GetDocRoot(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        if (argv[i] == nullptr || !is_one_of(argv[i], {"/docroot", "-docroot"}))
            continue;
        if (i + 1 >= argc || argv[i + 1] == nullptr)
            throw std::runtime_error("docroot option needs a value");
        std::string value = argv[i + 1];
        // Follows symbolic links; absence is an answer, any other failure throws.
        if (!std::filesystem::is_directory(std::filesystem::status(value)))
            throw std::runtime_error("docroot path is not a directory");
        return value;
    }
    return std::string();
}

bool EnsureSocketDirectory(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::status(path, ec)))
        return true;
    // 0755 whatever the umask: no one else may replace the socket file in it.
    constexpr mode_t run_directory_mode = 0755;
    return ::mkdir(path.c_str(), run_directory_mode) == 0 && ::chmod(path.c_str(), run_directory_mode) == 0;
}

int ChangeFileGroup(const std::string& path, const std::string& group_name)
{
    const struct group* grp = getgrnam(group_name.c_str());
    if (grp == nullptr) {
        syslog(LOG_ERR, "Group was not found by name: %s", group_name.c_str());
        return -1;
    }
    if (chown(path.c_str(), static_cast<uid_t>(-1), grp->gr_gid) != 0) {
        syslog(LOG_ERR, "Socket file group for %s could not be changed (err=%d)!", path.c_str(), errno);
        return -1;
    }
    return 0;
}

void RemoveStaleSocketFile(const std::string& path)
{
    if (AcceptsConnections(path)) {
        syslog(LOG_ERR, "Main: another instance is serving %s", path.c_str());
        throw std::runtime_error("another instance is serving " + path);
    }
    ::unlink(path.c_str());
}

int SyslogOptions()
{
    const int copy_to_terminal = ::isatty(STDERR_FILENO) ? LOG_PERROR : 0;
    return LOG_PID | LOG_CONS | LOG_NDELAY | LOG_NOWAIT | copy_to_terminal;
}

}  // namespace IxoWebservice
