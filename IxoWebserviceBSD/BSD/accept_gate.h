// Hands the connections of the shared acceptor to idle workers, one at a time.
#ifndef IXO_ACCEPT_GATE_H
#define IXO_ACCEPT_GATE_H

#include <boost/asio/local/stream_protocol.hpp>

#include <vector>

namespace IxoWebservice {

class http_worker;

// Idle workers wait here. The gate accepts (accept4: non-blocking descriptors, no separate
// call) for the most recently idle worker, whose memory is still in the processor's caches,
// until the backlog is empty, and only then waits for the acceptor through the event loop: one
// wait for all idle workers, so a new connection costs one accept, not one per idle worker.
// A worker that finishes while the gate hands out connections is served by the same pass.
// A pass accepts at most accepts_per_pass connections; then it gives the event loop back
// (timers, other connections) and goes on from there.
class accept_gate {
public:
    using stream_protocol = boost::asio::local::stream_protocol;

    // Makes the listening socket non-blocking; the acceptor outlives the gate.
    explicit accept_gate(stream_protocol::acceptor& acceptor);
    ~accept_gate() = default;

    accept_gate(const accept_gate&) = delete;
    accept_gate& operator=(const accept_gate&) = delete;

    static constexpr int accepts_per_pass = 32;

    stream_protocol::acceptor& acceptor() { return listener; }

    // Queues an idle worker; it is handed the next connection by http_worker::serve.
    void enqueue(http_worker& worker);

private:
    // Accepts for the queued workers until the backlog or the queue is empty.
    void pull();

    stream_protocol::acceptor& listener;
    std::vector<http_worker*> idle;  // waiting workers, the most recently idle last
    bool waiting = false;           // a wait for the acceptor, or the next pass, is outstanding
    bool pulling = false;           // pull() is on the stack
};

}  // namespace IxoWebservice

#endif  // IXO_ACCEPT_GATE_H
