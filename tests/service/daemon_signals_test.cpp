#include "CDaemon.h"
#include "CSignals.h"
#include "IxoWebServerGlobals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <unistd.h>

namespace {

using namespace IxoWebservice;

TEST(CDaemon, StartWithoutForkKeepsTheProcessAsItIs)
{
    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    const pid_t pid = getpid();
    for (bool verbose : {false, true}) {
        v = verbose;
        CDaemon().Start(false);
        char after[4096];
        ASSERT_NE(getcwd(after, sizeof after), nullptr);
        EXPECT_EQ(std::string(after), before);
        EXPECT_EQ(getpid(), pid);
    }
    v = false;
}

TEST(CSignals, TerminationIsRecordedInsteadOfEndingTheProcess)
{
    EXPECT_FALSE(CSignals::SignalTerminateState());
    CSignals::InitSignals();
    CDaemon().Stop();  // raises SIGTERM at this process
    EXPECT_TRUE(CSignals::SignalTerminateState());
    std::raise(SIGTERM);
    EXPECT_TRUE(CSignals::SignalTerminateState()) << "the flag never goes back";
    std::signal(SIGTERM, SIG_DFL);
}

TEST(CSignals, SignalExceptionIsAStandardRuntimeError)
{
    try {
        throw SignalException("Could not initialize Signal: SIGTERM");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not initialize Signal: SIGTERM");
    }
}

}  // namespace
