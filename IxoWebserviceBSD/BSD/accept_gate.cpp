#include "accept_gate.h"

#include "http_worker.h"

#include <cerrno>

#include <sys/socket.h>

namespace IxoWebservice {

accept_gate::accept_gate(stream_protocol::acceptor& acceptor_) : listener(acceptor_)
{
    listener.non_blocking(true);
}

void accept_gate::enqueue(http_worker& worker)
{
    idle.push_back(&worker);
    if (!waiting && !pulling)
        pull();
}

void accept_gate::pull()
{
    struct pass {
        bool& flag;
        explicit pass(bool& f) : flag(f) { flag = true; }
        ~pass() { flag = false; }
    } running(pulling);

    while (!idle.empty()) {
        const int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            // Nothing waiting (or a failure such as too many open files, which the wait
            // reports again at once): wait for the acceptor in the event loop.
            waiting = true;
            listener.async_wait(stream_protocol::acceptor::wait_read, [this](boost::system::error_code ec) {
                waiting = false;
                if (ec != boost::asio::error::operation_aborted)
                    pull();
            });
            return;
        }
        http_worker* const worker = idle.back();
        idle.pop_back();
        worker->serve(fd);
    }
}

}  // namespace IxoWebservice
