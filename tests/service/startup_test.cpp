// Start-up's own parts: the command line, the run directory, the socket file's group, and the
// termination-signal class. The lines they log are captured: this test executable defines
// syslog itself, which takes precedence over the C library's.
#include "CDaemon.h"
#include "CSignals.h"
#include "IxoWebServerStartup.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

std::vector<std::string> logged;  // each line as "<priority> text"

void Record(int priority, const char* format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    logged.push_back(std::to_string(priority) + " " + text);
}

// The lines logged since the last call.
std::vector<std::string> TakeSyslogLines() { return std::exchange(logged, {}); }

}  // namespace

extern "C" void syslog(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format), Record(priority, format, args), va_end(args);
}

// The name the C library's headers use for syslog when built with _FORTIFY_SOURCE.
extern "C" void __syslog_chk(int priority, int, const char* format, ...)
{
    va_list args;
    va_start(args, format), Record(priority, format, args), va_end(args);
}

namespace {

using namespace IxoWebservice;

// Owns argument texts and hands them out as argc/argv.
struct Args {
    Args(std::initializer_list<std::string> args) : texts(args)
    {
        for (std::string& t : texts)
            pointers.push_back(&t[0]);
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
    char** argv() { return pointers.data(); }
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

TEST(GetVerboseModeEnabled, Table)
{
    struct { Args args; bool verbose; } cases[] = {
        {{"x"}, false}, {{"x", "-v"}, true}, {{"x", "/v"}, true}, {{"x", "-verbose"}, true}, {{"x", "/verbose"}, true},
        {{"-v"}, true}, {{"x", "-docroot", "-v"}, true},  // the program name counts too, and any argument
        {{"x", "-V"}, false}, {{"x", "--v"}, false}, {{"x", "-vv"}, false}, {{"x", "-v "}, false}, {{"x", ""}, false},
    };
    for (auto& c : cases)
        EXPECT_EQ(GetVerboseModeEnabled(c.args.argc(), c.args.argv()), c.verbose) << c.args.argv()[c.args.argc() - 1];
}

// A private directory tree: base/site/, base/page.html and a link to each.
class DocRootTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ixo-docroot-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base = pattern;
        ASSERT_EQ(mkdir(dir.insert(0, base).c_str(), 0755), 0);
        std::ofstream(file.insert(0, base)) << "x";
        ASSERT_EQ(symlink(dir.c_str(), (base + "/site-link").c_str()), 0);
        ASSERT_EQ(symlink(file.c_str(), (base + "/page-link").c_str()), 0);
        TakeSyslogLines();
    }
    void TearDown() override { std::filesystem::remove_all(base); }

    std::string base, dir = "/site", file = "/page.html";
};

TEST_F(DocRootTest, Table)
{
    const std::string not_a_directory = "docroot path is not a directory", needs_value = "docroot option needs a value";
    struct { Args args; std::string outcome; } cases[] = {  // the root, or the error's message
        {{"x"}, ""},
        {{"x", "-docroot", dir}, dir},
        {{"x", "-v", "/docroot", base + "/site-link"}, base + "/site-link"},
        {{"x", "-docroot", dir, "-docroot", file}, dir},  // first one wins
        {{"x", "-docroot", file}, not_a_directory},
        {{"x", "-docroot", base + "/page-link"}, not_a_directory},
        {{"x", "-docroot", base + "/missing"}, not_a_directory},
        {{"x", "-docroot", ""}, not_a_directory},
        {{"x", "-docroot"}, needs_value},
        {{"x", "-DOCROOT", file}, ""},  // case-sensitive
    };
    for (auto& c : cases) {
        std::string outcome;
        try {
            outcome = GetDocRoot(c.args.argc(), c.args.argv());
        } catch (const std::runtime_error& e) {
            outcome = e.what();
        }
        EXPECT_EQ(outcome, c.outcome) << c.args.argv()[c.args.argc() - 1];
    }
}

TEST_F(DocRootTest, SocketDirectoryIsMadeWithMode0755WhateverTheUmask)
{
    const mode_t previous = umask(0);
    EXPECT_TRUE(EnsureSocketDirectory(dir + "/made"));
    umask(previous);
    EXPECT_EQ(std::filesystem::status(dir + "/made").permissions(), std::filesystem::perms(0755));
    ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
    EXPECT_TRUE(EnsureSocketDirectory(dir)) << "an existing directory is left as it is";
    EXPECT_EQ(std::filesystem::status(dir).permissions(), std::filesystem::perms(0700));
    EXPECT_FALSE(EnsureSocketDirectory(base + "/missing/deeper"));
}

TEST_F(DocRootTest, ChangeFileGroupLogsEachFailure)
{
    const struct group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(ChangeFileGroup(file, own->gr_name), 0);
    EXPECT_EQ(ChangeFileGroup(base + "/missing", own->gr_name), -1);  // a missing group: tested through the binary
    EXPECT_EQ(TakeSyslogLines(), std::vector<std::string>{"3 Socket file group for " + base + "/missing could not be changed (err=2)!"});
}

// The service itself keeps SIGTERM's default action; the class records it and logs instead.
TEST(CSignals, TerminationIsRecordedAndLoggedInsteadOfEndingTheProcess)
{
    TakeSyslogLines();
    EXPECT_FALSE(CSignals::SignalTerminateState());
    CSignals::InitSignals();
    CDaemon().Stop();  // raises SIGTERM at this process
    EXPECT_TRUE(CSignals::SignalTerminateState());
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(TakeSyslogLines(), std::vector<std::string>{"5 IxoService->SignalHandlerTerminate: Got terminate signal!"});
}

}  // namespace
