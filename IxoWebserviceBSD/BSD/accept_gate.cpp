#include "accept_gate.h"

#include "http_worker.h"

#include <boost/asio/post.hpp>

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

    int accepts_left = accepts_per_pass;
    while (!idle.empty()) {
        if (accepts_left == 0) {
            waiting = true;
            boost::asio::post(listener.get_executor(), [this] {
                waiting = false;
                pull();
            });
            return;
        }
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
        --accepts_left;
        http_worker* const worker = idle.back();
        idle.pop_back();
        worker->serve(fd);
    }
}

}  // namespace IxoWebservice
