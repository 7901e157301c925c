#include "LoadRunner.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kvload {

namespace {

constexpr std::size_t kScratchBytes = 64 * 1024;
constexpr int kIdlePollMs = 50;   // bounds how late a time-out or the end of a timed run is noticed
constexpr int kRetryPollMs = 1;   // pause before connecting again after a full listen queue

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SIGPIPE is ignored by the caller instead
#endif

std::string errno_text(int error)
{
    return error != 0 ? std::string(std::strerror(error)) : std::string("end of stream");
}

}  // namespace

const char* describe(IoFailure failure)
{
    switch (failure) {
    case IoFailure::Connect: return "connect failed";
    case IoFailure::Write: return "sending the request failed";
    case IoFailure::Read: return "reading the response failed";
    case IoFailure::Timeout: return "timed out";
    case IoFailure::Count: break;
    }
    return "?";
}

double LoadResult::requests_per_second() const
{
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return seconds > 0 ? static_cast<double>(completed) / seconds : 0.0;
}

LoadRunner::LoadRunner(LoadConfig config) : config_(std::move(config)), scratch_(kScratchBytes)
{
    address_.sun_family = AF_UNIX;
    if (!config_.socket_path.empty() && config_.socket_path.size() < sizeof address_.sun_path) {
        std::memcpy(address_.sun_path, config_.socket_path.data(), config_.socket_path.size());
        address_size_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + config_.socket_path.size() + 1);
        address_ok_ = true;
    }
    if (config_.concurrency == 0) config_.concurrency = 1;
    slots_.reserve(config_.concurrency);
    for (std::size_t i = 0; i < config_.concurrency; ++i) slots_.emplace_back(config_.expectation);
}

LoadRunner::~LoadRunner()
{
    for (Slot& slot : slots_) close_slot(slot);
}

LoadResult LoadRunner::run()
{
    result_ = LoadResult{};
    started_ = 0;
    next_request_ = 0;
    if (config_.requests.empty() || (config_.total_requests == 0 && config_.duration.count() <= 0)) return result_;
    result_.latency.reserve(config_.total_requests > 0 ? config_.total_requests : 1u << 20);

    run_start_ = Clock::now();
    run_end_ = run_start_ + config_.duration;
    for (Slot& slot : slots_) slot.state = State::Ready;

    std::vector<pollfd> waiting;
    std::vector<Slot*> owners;
    waiting.reserve(slots_.size());
    owners.reserve(slots_.size());
    for (;;) {
        // Requests that end at once (no server, say) leave the slot Ready again: a loop, not recursion.
        for (Slot& slot : slots_) {
            while (slot.state == State::Ready) start_request(slot, Clock::now());
        }
        waiting.clear();
        owners.clear();
        bool retry_pending = false;
        for (Slot& slot : slots_) {
            if (slot.state == State::AwaitingRetry) retry_pending = true;
            if (slot.fd < 0) continue;
            const short events = slot.state == State::Reading ? POLLIN : POLLOUT;
            waiting.push_back(pollfd{slot.fd, events, 0});
            owners.push_back(&slot);
        }
        if (waiting.empty() && !retry_pending) break;

        const int ready = ::poll(waiting.data(), static_cast<nfds_t>(waiting.size()),
                                 retry_pending ? kRetryPollMs : kIdlePollMs);
        Clock::time_point now = Clock::now();
        if (ready > 0) {
            for (std::size_t i = 0; i < waiting.size(); ++i) {
                if (waiting[i].revents == 0) continue;
                Slot& slot = *owners[i];
                switch (slot.state) {
                case State::Connecting: on_connected(slot, now); break;
                case State::Writing: write_request(slot, now); break;
                case State::Reading: read_response(slot, now); break;
                case State::Idle:
                case State::Ready:
                case State::AwaitingRetry: break;
                }
            }
            now = Clock::now();
        }
        for (Slot& slot : slots_) {
            if (slot.state == State::AwaitingRetry) {
                try_connect(slot, now);
            } else if (slot.state != State::Idle && slot.state != State::Ready && now - slot.started > config_.request_timeout) {
                fail(slot, IoFailure::Timeout, ETIMEDOUT, now);
            }
        }
    }
    return std::move(result_);
}

bool LoadRunner::may_start(Clock::time_point now) const
{
    if (config_.total_requests > 0) return started_ < config_.total_requests;
    return now < run_end_;
}

void LoadRunner::start_request(Slot& slot, Clock::time_point now)
{
    slot.state = State::Idle;
    if (!may_start(now)) return;
    ++started_;
    slot.request = &config_.requests[next_request_];
    next_request_ = (next_request_ + 1) % config_.requests.size();
    slot.written = 0;
    slot.started = now;
    slot.check.reset();
    try_connect(slot, now);
}

void LoadRunner::try_connect(Slot& slot, Clock::time_point now)
{
    if (!address_ok_) {
        fail(slot, IoFailure::Connect, ENAMETOOLONG, now);
        return;
    }
    if (now - slot.started > config_.request_timeout) {
        fail(slot, IoFailure::Timeout, ETIMEDOUT, now);
        return;
    }
    slot.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (slot.fd < 0) {
        fail(slot, IoFailure::Connect, errno, now);
        return;
    }
    const int error =
        ::connect(slot.fd, reinterpret_cast<const sockaddr*>(&address_), address_size_) == 0 ? 0 : errno;
    if (error == EINPROGRESS)
        slot.state = State::Connecting;
    else
        connect_finished(slot, error, now);
}

void LoadRunner::on_connected(Slot& slot, Clock::time_point now)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    connect_finished(slot, error, now);
}

void LoadRunner::connect_finished(Slot& slot, int error, Clock::time_point now)
{
    if (error == 0) {
        slot.state = State::Writing;
        write_request(slot, now);
    } else if (error == EAGAIN || error == EWOULDBLOCK) {
        // The listen queue is full: try again shortly with a fresh socket.
        close_slot(slot);
        slot.state = State::AwaitingRetry;
        ++result_.connect_retries;
    } else {
        fail(slot, IoFailure::Connect, error, now);
    }
}

void LoadRunner::write_request(Slot& slot, Clock::time_point now)
{
    const std::string& request = *slot.request;
    while (slot.written < request.size()) {
        const ssize_t sent = ::send(slot.fd, request.data() + slot.written, request.size() - slot.written, kSendFlags);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // wait for room
            fail(slot, IoFailure::Write, errno, now);
            return;
        }
        slot.written += static_cast<std::size_t>(sent);
    }
    slot.state = State::Reading;
}

void LoadRunner::read_response(Slot& slot, Clock::time_point now)
{
    for (;;) {
        const ssize_t received = ::recv(slot.fd, scratch_.data(), scratch_.size(), 0);
        if (received > 0) {
            slot.check.feed(scratch_.data(), static_cast<std::size_t>(received));
            result_.bytes_received += static_cast<std::uint64_t>(received);
            continue;
        }
        if (received == 0) {
            finish(slot, slot.check.finish(), now);
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        fail(slot, IoFailure::Read, errno, now);
        return;
    }
}

void LoadRunner::finish(Slot& slot, Verdict verdict, Clock::time_point now)
{
    if (verdict == Verdict::Ok) {
        end_request(slot, true, std::string(), now);
        return;
    }
    ++result_.by_verdict[static_cast<std::size_t>(verdict)];
    std::string what = describe(verdict);
    if (verdict == Verdict::BadStatus) what += ": \"" + slot.check.status_line() + "\"";
    if (verdict == Verdict::LengthMismatch || verdict == Verdict::BadBodyLength)
        what += ": " + std::to_string(slot.check.body_bytes()) + " bytes";
    end_request(slot, false, what, now);
}

void LoadRunner::fail(Slot& slot, IoFailure failure, int error, Clock::time_point now)
{
    ++result_.by_io_failure[static_cast<std::size_t>(failure)];
    end_request(slot, false, std::string(describe(failure)) + ": " + errno_text(error), now);
}

void LoadRunner::end_request(Slot& slot, bool ok, const std::string& what, Clock::time_point now)
{
    close_slot(slot);
    ++result_.completed;
    result_.latency.record(static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - slot.started).count()));
    result_.elapsed = now - run_start_;
    if (!ok) {
        ++result_.errors;
        if (result_.first_error.empty()) result_.first_error = what;
    }
    slot.state = State::Ready;
}

void LoadRunner::close_slot(Slot& slot)
{
    if (slot.fd >= 0) ::close(slot.fd);
    slot.fd = -1;
}

}  // namespace kvload
