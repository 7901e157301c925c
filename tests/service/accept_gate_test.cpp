#include "accept_gate.h"
#include "file_cache.h"
#include "http_worker.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace IxoWebservice;

// Connections waiting in the backlog, each with its request sent, are not all served in one pass: a timer
// due when the acceptor becomes ready runs while some of them still wait; then all are answered.
TEST(AcceptGate, APassGivesTheLoopBackAfterABoundedNumberOfAccepts)
{
    char dir[] = "/tmp/kvgate-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const accept_gate::stream_protocol::endpoint endpoint(std::string(dir) + "/s.sock");
    boost::asio::io_context loop{1};
    accept_gate::stream_protocol::acceptor acceptor{loop, endpoint};
    accept_gate gate{acceptor};
    file_cache files;
    http_worker worker(gate, dir, files);  // answers each request at once, then is idle again
    worker.start();
    std::vector<int> clients(4 * accept_gate::accepts_per_pass);
    for (int& fd : clients) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(0, connect(fd, endpoint.data(), endpoint.size()));
        ASSERT_EQ(19, send(fd, "GET /x HTTP/1.1\r\n\r\n", 19, 0));
    }
    const auto answered = [&] {
        return std::count_if(clients.begin(), clients.end(), [](int fd) {
            char first;
            return recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) == 1;
        });
    };
    long answered_at_timer = -1;
    boost::asio::steady_timer due{loop, std::chrono::steady_clock::now()};
    due.async_wait([&](boost::system::error_code) { answered_at_timer = answered(); });
    for (int i = 0; i < 100 && answered() < static_cast<long>(clients.size()); ++i)
        loop.run_one_for(std::chrono::milliseconds(100));

    EXPECT_TRUE(answered_at_timer >= 0 && answered_at_timer < static_cast<long>(clients.size())) << answered_at_timer;
    EXPECT_EQ(static_cast<long>(clients.size()), answered());
    for (const int fd : clients)
        close(fd);
    std::filesystem::remove_all(dir);
}

}  // namespace
