#include "SyslogCapture.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::vector<std::string> lines;

void record(int priority, const char* format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    lines.push_back(std::to_string(priority) + " " + text);
}

}  // namespace

extern "C" void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

// The name the C library's headers use for syslog when built with _FORTIFY_SOURCE.
extern "C" void __syslog_chk(int priority, int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    record(priority, format, args);
    va_end(args);
}

namespace kvtest {

std::vector<std::string> TakeSyslogLines()
{
    std::vector<std::string> taken;
    taken.swap(lines);
    return taken;
}

}  // namespace kvtest
