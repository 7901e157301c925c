#include "CDaemon.h"
#include "CSignals.h"
#include "IxoWebServerGlobals.h"
#include "SyslogCapture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include <syslog.h>
#include <unistd.h>

namespace {

using namespace IxoWebservice;

TEST(CDaemon, StartWithoutForkKeepsTheProcessAndLogsOnlyWhenVerbose)
{
    kvtest::TakeSyslogLines();
    const pid_t pid = getpid();
    CDaemon().Start(false);
    EXPECT_EQ(kvtest::TakeSyslogLines(), std::vector<std::string>{});
    v = true;
    CDaemon().Start(false);
    v = false;
    EXPECT_EQ(getpid(), pid);
    const std::string notice = std::to_string(LOG_NOTICE) + " CDaemon: ";
    EXPECT_EQ(kvtest::TakeSyslogLines(),
              (std::vector<std::string>{notice + "Starting IxoService-Daemon", notice + "Do NOT fork",
                                        notice + "Daemon started"}));
}

TEST(CSignals, TerminationIsRecordedAndLoggedInsteadOfEndingTheProcess)
{
    EXPECT_FALSE(CSignals::SignalTerminateState());
    CSignals::InitSignals();
    CDaemon().Stop();  // raises SIGTERM at this process
    EXPECT_TRUE(CSignals::SignalTerminateState());
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(kvtest::TakeSyslogLines(),
              std::vector<std::string>{std::to_string(LOG_NOTICE) +
                                       " IxoService->SignalHandlerTerminate: Got terminate signal!"});
    try {
        throw SignalException("Could not initialize Signal: SIGTERM");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not initialize Signal: SIGTERM");
    }
}

}  // namespace
