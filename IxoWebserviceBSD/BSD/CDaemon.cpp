#include "CDaemon.h"

#include "IxoWebServerGlobals.h"

#include <csignal>
#include <stdlib.h>  // daemon(3) on FreeBSD (glibc declares it in unistd.h)
#include <syslog.h>
#include <unistd.h>

namespace IxoWebservice {

void CDaemon::Start(bool doFork)
{
    if (v)
        syslog(LOG_NOTICE, "CDaemon: Starting IxoService-Daemon");
    if (doFork) {
        if (v)
            syslog(LOG_NOTICE, "CDaemon: Do fork");
        // The outcome is not checked: a failed detach leaves the process running attached.
        if (daemon(0, 0) != 0) {
            // nothing to do: the process goes on attached
        }
    } else if (v) {
        syslog(LOG_NOTICE, "CDaemon: Do NOT fork");
    }
    if (v)
        syslog(LOG_NOTICE, "CDaemon: Daemon started");
}

void CDaemon::Stop()
{
    std::raise(SIGTERM);
}

}  // namespace IxoWebservice
