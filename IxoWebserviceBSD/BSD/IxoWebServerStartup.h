// Command-line and socket-file helpers of the service's start-up.
#ifndef IXO_WEBSERVER_STARTUP_H
#define IXO_WEBSERVER_STARTUP_H

#include <string>

namespace IxoWebservice {

// True when any argument, the program name included, is exactly "/verbose", "-verbose",
// "/v" or "-v".
bool GetVerboseModeEnabled(int argc, char** argv);

// Whether the service detaches from its terminal: never.
bool GetDoFork(int argc, char** argv);

// The value after the first "-docroot" or "/docroot", checked to be a directory;
// empty text when the option is absent. Throws std::runtime_error on a bad value.
std::string GetDocRoot(int argc, char** argv);

// Creates path (one level, mode 0755 whatever the umask) unless something exists there; never throws.
bool EnsureSocketDirectory(const std::string& path);

// Gives path the group group_name, owner unchanged; 0 on success, -1 (logged) on failure.
int ChangeFileGroup(const std::string& path, const std::string& group_name);

// Removes the socket file an ended run left at path (no file is no failure). When a listener
// still accepts connections there, another instance serves the path: logs that, leaves the file
// alone and throws std::runtime_error.
void RemoveStaleSocketFile(const std::string& path);

// The system log's options; each line is also copied to standard error when that is a terminal.
int SyslogOptions();

}  // namespace IxoWebservice

#endif  // IXO_WEBSERVER_STARTUP_H
