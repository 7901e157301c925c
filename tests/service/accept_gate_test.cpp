#include "accept_gate.h"
#include "file_cache.h"
#include "http_worker.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using IxoWebservice::accept_gate;
using stream_protocol = boost::asio::local::stream_protocol;

int connect_to(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address));
    return fd;
}

// Connections waiting in the backlog, each with its request sent, are not all served by one pass: a timer
// that is due when the acceptor becomes ready runs while some of them still wait; then all are answered.
TEST(AcceptGate, APassGivesTheLoopBackAfterABoundedNumberOfAccepts)
{
    char dir[] = "/tmp/kvgate-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/s.sock";
    {
        boost::asio::io_context loop{1};
        stream_protocol::acceptor acceptor{loop, stream_protocol::endpoint(path)};
        accept_gate gate{acceptor};
        IxoWebservice::file_cache files;
        std::list<IxoWebservice::http_worker> workers;
        for (int i = 0; i < 100; ++i) {
            workers.emplace_back(gate, dir, files);
            workers.back().start();
        }

        constexpr int waiting = 4 * accept_gate::accepts_per_pass;
        std::vector<int> clients;
        for (int i = 0; i < waiting; ++i) {
            clients.push_back(connect_to(path));
            const char request[] = "GET /missing HTTP/1.1\r\nHost: x\r\n\r\n";
            ASSERT_EQ(static_cast<ssize_t>(sizeof request - 1), send(clients.back(), request, sizeof request - 1, 0));
        }
        const auto answered = [&] {
            int count = 0;
            for (const int fd : clients) {
                char first;
                count += recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
            }
            return count;
        };

        int answered_at_timer = -1;
        boost::asio::steady_timer due{loop, std::chrono::steady_clock::now()};
        due.async_wait([&](boost::system::error_code) { answered_at_timer = answered(); });
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((answered_at_timer < 0 || answered() < waiting) && std::chrono::steady_clock::now() < give_up)
            loop.run_one_for(std::chrono::milliseconds(100));

        EXPECT_LE(0, answered_at_timer);
        EXPECT_LT(answered_at_timer, waiting);
        EXPECT_EQ(waiting, answered());
        for (const int fd : clients)
            close(fd);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
