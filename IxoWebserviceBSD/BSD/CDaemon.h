// Detaches the process from its terminal on request; can end it with its own SIGTERM.
#ifndef IXO_CDAEMON_H
#define IXO_CDAEMON_H

namespace IxoWebservice {

class CDaemon {
public:
    // Logs the start-up (verbose only) and, when doFork is set, detaches with daemon(0, 0).
    void Start(bool doFork);

    // Sends SIGTERM to this process; its current disposition decides the outcome.
    void Stop();
};

}  // namespace IxoWebservice

#endif  // IXO_CDAEMON_H
