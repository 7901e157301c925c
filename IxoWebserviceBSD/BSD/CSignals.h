// Optional SIGTERM handler that only records the signal in a process-wide flag.
#ifndef IXO_CSIGNALS_H
#define IXO_CSIGNALS_H

#include <csignal>
#include <stdexcept>
#include <string>

namespace IxoWebservice {

// Raised when a signal handler cannot be installed.
class SignalException : public std::runtime_error {
public:
    explicit SignalException(const std::string& message) : std::runtime_error(message) {}
};

class CSignals {
public:
    // Installs SignalHandlerTerminate for SIGTERM; throws SignalException on failure.
    static void InitSignals();

    // The SIGTERM handler: logs the signal and sets the flag, nothing else.
    static void SignalHandlerTerminate(int signal_number);

    // True once a SIGTERM has been received after InitSignals.
    static bool SignalTerminateState();

private:
    static volatile std::sig_atomic_t signalTerminate;  // written by the handler only
};

}  // namespace IxoWebservice

#endif  // IXO_CSIGNALS_H
