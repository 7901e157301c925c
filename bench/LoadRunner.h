#pragma once

#include "LatencyStats.h"
#include "ResponseCheck.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvload {

// One run of the closed-loop load: which server, what to send, how much.
struct LoadConfig {
    std::string socket_path;
    std::vector<std::string> requests;   // complete request messages, sent in turn
    std::size_t concurrency = 50;        // connections in flight at any time
    std::uint64_t total_requests = 0;    // stop after this many; 0 means run for `duration`
    std::chrono::milliseconds duration{0};
    std::chrono::milliseconds request_timeout{std::chrono::seconds(30)};  // from first connect attempt to close
    ResponseExpectation expectation;
};

// Failures that are not about the content of a response.
enum class IoFailure { Connect, Write, Read, Timeout, Count };

const char* describe(IoFailure failure);

struct LoadResult {
    std::uint64_t completed = 0;        // requests that ended, good or bad
    std::uint64_t errors = 0;           // requests that ended in any failure
    std::uint64_t connect_retries = 0;  // connects refused for a full listen queue and repeated
    std::uint64_t bytes_received = 0;
    std::chrono::nanoseconds elapsed{0};
    std::array<std::uint64_t, static_cast<std::size_t>(Verdict::Count)> by_verdict{};
    std::array<std::uint64_t, static_cast<std::size_t>(IoFailure::Count)> by_io_failure{};
    std::string first_error;            // what went wrong first, for the report
    LatencyStats latency;               // of every ended request, from first connect attempt to close

    double requests_per_second() const;
};

// Runs the load: keeps `concurrency` connections busy, one request per connection, each new
// connection opened as soon as the previous one on its slot has been read to the end.
// Single-threaded, non-blocking sockets multiplexed with poll().
class LoadRunner {
public:
    explicit LoadRunner(LoadConfig config);
    LoadRunner(const LoadRunner&) = delete;
    LoadRunner& operator=(const LoadRunner&) = delete;
    ~LoadRunner();

    LoadResult run();

private:
    using Clock = std::chrono::steady_clock;
    // Ready: the slot's last request has ended and the next one starts on the loop's next pass.
    enum class State { Idle, Ready, AwaitingRetry, Connecting, Writing, Reading };

    struct Slot {
        explicit Slot(const ResponseExpectation& expectation) : check(expectation) {}
        int fd = -1;
        State state = State::Idle;
        const std::string* request = nullptr;
        std::size_t written = 0;
        Clock::time_point started;
        ResponseCheck check;
    };

    bool may_start(Clock::time_point now) const;
    void start_request(Slot& slot, Clock::time_point now);
    void try_connect(Slot& slot, Clock::time_point now);
    void on_connected(Slot& slot, Clock::time_point now);
    // Goes on after a connect attempt ended with error (0: connected).
    void connect_finished(Slot& slot, int error, Clock::time_point now);
    void write_request(Slot& slot, Clock::time_point now);
    void read_response(Slot& slot, Clock::time_point now);
    void finish(Slot& slot, Verdict verdict, Clock::time_point now);
    void fail(Slot& slot, IoFailure failure, int error, Clock::time_point now);
    void end_request(Slot& slot, bool ok, const std::string& what, Clock::time_point now);
    void close_slot(Slot& slot);

    LoadConfig config_;
    sockaddr_un address_{};
    socklen_t address_size_ = 0;
    bool address_ok_ = false;
    std::vector<Slot> slots_;
    std::vector<char> scratch_;  // receive buffer shared by all slots
    LoadResult result_;
    std::uint64_t started_ = 0;
    std::size_t next_request_ = 0;
    Clock::time_point run_start_;
    Clock::time_point run_end_;  // when no new request may start in duration mode
};

}  // namespace kvload
