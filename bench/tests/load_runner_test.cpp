#include "LoadRunner.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvload {
namespace {

// A blocking server on a Unix socket: one connection at a time, reads one request (header and
// Content-Length body), answers with what `respond` gives for the n-th request and closes.
class TestServer {
public:
    explicit TestServer(std::function<std::string(std::size_t index)> respond)
        : respond_(std::move(respond)), path_("/tmp/kvload_test." + std::to_string(::getpid()) + ".sock")
    {
        ::unlink(path_.c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 64) != 0)
            throw std::runtime_error("cannot listen on " + path_);
        thread_ = std::thread([this] { serve(); });
    }

    ~TestServer() { stop(); ::close(listener_); ::unlink(path_.c_str()); }

    const std::string& path() const { return path_; }

    // Stops serving; every request read, in order of arrival.
    const std::vector<std::string>& stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return requests_;
    }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            const int fd = ::poll(&p, 1, 20) > 0 ? ::accept(listener_, nullptr, nullptr) : -1;
            if (fd < 0) continue;
            std::string request;
            std::size_t wanted = std::string::npos;
            char buffer[4096];
            while (request.size() < wanted) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
                const std::size_t end = request.find("\r\n\r\n"), field = request.find("Content-Length: ");
                if (end != std::string::npos)
                    wanted = end + 4 + (field < end ? std::strtoul(&request[field + 16], nullptr, 10) : 0);
            }
            const std::string response = respond_(requests_.size());
            requests_.push_back(request);
            ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);  // small: one call
            ::close(fd);
        }
    }

    std::function<std::string(std::size_t)> respond_;
    std::string path_;
    int listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<std::string> requests_;
};

TEST(LoadRunnerTest, CountsEveryRequestAndCatchesBadAnswers)
{
    // Every tenth answer has the wrong status; every seventh of the others a body shorter than its length.
    TestServer server([](std::size_t index) {
        if (index % 10 == 9) return std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        if (index % 7 == 6) return std::string("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort");
        return std::string("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\n12345");
    });
    const std::string get = "GET /a HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const std::string post = "POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
    LoadConfig config;
    config.socket_path = server.path();
    config.requests = {get, post};
    config.total_requests = 700;
    config.concurrency = 8;
    config.request_timeout = std::chrono::seconds(20);
    config.expectation.body_length = 5;
    LoadRunner runner(std::move(config));
    const LoadResult result = runner.run();

    EXPECT_EQ(700u, result.completed);
    EXPECT_EQ(700u, result.latency.count());
    EXPECT_EQ(70u, result.by_verdict[static_cast<std::size_t>(Verdict::BadStatus)]);
    EXPECT_EQ(90u, result.by_verdict[static_cast<std::size_t>(Verdict::LengthMismatch)]);  // 10 are also 10th
    EXPECT_EQ(160u, result.errors) << result.first_error;
    // Every request arrived whole, the two sent in turn.
    std::map<std::string, int> seen;
    for (const std::string& request : server.stop()) ++seen[request];
    EXPECT_EQ((std::map<std::string, int>{{get, 350}, {post, 350}}), seen);
}

}  // namespace
}  // namespace kvload
