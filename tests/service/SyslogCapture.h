// The service's unit tests log here instead of to the machine's system log: this test
// executable defines syslog itself, which takes precedence over the C library's.
#ifndef KV_TESTS_SYSLOG_CAPTURE_H
#define KV_TESTS_SYSLOG_CAPTURE_H

#include <string>
#include <vector>

namespace kvtest {

// Lines logged since the last call, each as "<priority> text"; the record is emptied.
std::vector<std::string> TakeSyslogLines();

}  // namespace kvtest

#endif  // KV_TESTS_SYSLOG_CAPTURE_H
