#include "CSignals.h"

#include <syslog.h>

namespace IxoWebservice {

volatile std::sig_atomic_t CSignals::signalTerminate = 0;

void CSignals::InitSignals()
{
    if (std::signal(SIGTERM, &CSignals::SignalHandlerTerminate) == SIG_ERR)
        throw SignalException("Could not initialize Signal: SIGTERM");
}

void CSignals::SignalHandlerTerminate(int /*signal_number*/)
{
    // Each SIGTERM must leave its own log line, so it is written here rather than
    // deferred to code that might never run. syslog is not async-signal-safe: a signal
    // that interrupts a syslog call of the main code could block on the log's lock.
    // The service itself never installs this handler (SIGTERM keeps its default action).
    syslog(LOG_NOTICE, "IxoService->SignalHandlerTerminate: Got terminate signal!");
    signalTerminate = 1;
}

bool CSignals::SignalTerminateState()
{
    return signalTerminate != 0;
}

}  // namespace IxoWebservice
