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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvload {
namespace {

// A small blocking server on a Unix socket in a private temporary directory: one connection at a
// time, reads one request (header and Content-Length body), answers with what `respond` gives
// for the n-th request, closes. Records every request it read.
class TestServer {
public:
    using Responder = std::function<std::string(std::size_t index, const std::string& request)>;

    TestServer(Responder respond, int backlog = 64) : respond_(std::move(respond))
    {
        char dir_template[] = "/tmp/kvload_test.XXXXXX";
        const char* made = ::mkdtemp(dir_template);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = made;
        path_ = dir_ + "/server.sock";
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, backlog) != 0)
            throw std::runtime_error("cannot listen");
        thread_ = std::thread([this] { serve(); });
    }

    ~TestServer()
    {
        stop_ = true;
        thread_.join();
        for (int fd : held_) ::close(fd);
        ::close(listener_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    const std::string& path() const { return path_; }

    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

    // A responder result that keeps the connection open without answering.
    static std::string hold() { return std::string("\0hold", 5); }

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            const std::string request = read_request(fd);
            std::size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                index = requests_.size();
                requests_.push_back(request);
            }
            const std::string response = respond_(index, request);
            if (response == hold()) {
                held_.push_back(fd);
                continue;
            }
            std::size_t sent = 0;
            while (sent < response.size()) {
                const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::close(fd);
        }
    }

    static std::string read_request(int fd)
    {
        std::string data;
        char buffer[16384];
        std::size_t wanted = std::string::npos;
        while (wanted == std::string::npos || data.size() < wanted) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<std::size_t>(n));
            const std::size_t end = data.find("\r\n\r\n");
            if (wanted == std::string::npos && end != std::string::npos) {
                const std::size_t field = data.find("Content-Length: ");
                const std::size_t length =
                    field != std::string::npos && field < end ? std::strtoul(data.c_str() + field + 16, nullptr, 10) : 0;
                wanted = end + 4 + length;
            }
        }
        return data;
    }

    Responder respond_;
    std::string dir_;
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::vector<int> held_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

std::string ok_response(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

LoadConfig config_for(const TestServer& server, std::vector<std::string> requests, std::uint64_t total,
                      std::size_t concurrency)
{
    LoadConfig config;
    config.socket_path = server.path();
    config.requests = std::move(requests);
    config.total_requests = total;
    config.concurrency = concurrency;
    config.request_timeout = std::chrono::seconds(20);
    return config;
}

const std::string kGet = "GET /a HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

TEST(LoadRunnerTest, SendsEveryRequestIntactAndInTurn)
{
    const std::string post = "POST /b HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello";
    TestServer server([](std::size_t, const std::string&) { return ok_response("fine"); });
    LoadRunner runner(config_for(server, {kGet, post}, 300, 8));
    LoadResult result = runner.run();

    EXPECT_EQ(300u, result.completed);
    EXPECT_EQ(0u, result.errors) << result.first_error;
    EXPECT_EQ(300u, result.latency.count());
    EXPECT_GT(result.requests_per_second(), 0.0);
    const std::vector<std::string> seen = server.requests();
    ASSERT_EQ(300u, seen.size());
    std::map<std::string, int> counts;
    for (const std::string& r : seen) ++counts[r];
    EXPECT_EQ(150, counts[kGet]);
    EXPECT_EQ(150, counts[post]);
}

TEST(LoadRunnerTest, CountsEveryFailedCheck)
{
    // Every tenth answer has the wrong status, every seventh a short body.
    TestServer server([](std::size_t index, const std::string&) {
        if (index % 10 == 9) return std::string("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        if (index % 7 == 6) return std::string("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nshort");
        return ok_response("12345");
    });
    LoadConfig config = config_for(server, {kGet}, 700, 4);
    config.expectation.body_length = 5;
    LoadRunner runner(std::move(config));
    const LoadResult result = runner.run();

    std::uint64_t bad_status = 0, short_body = 0;
    for (std::size_t i = 0; i < 700; ++i) {
        if (i % 10 == 9) ++bad_status;
        else if (i % 7 == 6) ++short_body;
    }
    EXPECT_EQ(700u, result.completed);
    EXPECT_EQ(bad_status + short_body, result.errors);
    EXPECT_EQ(bad_status, result.by_verdict[static_cast<std::size_t>(Verdict::BadStatus)]);
    EXPECT_EQ(short_body, result.by_verdict[static_cast<std::size_t>(Verdict::LengthMismatch)]);
    EXPECT_FALSE(result.first_error.empty());
}

TEST(LoadRunnerTest, LargeRequestsAndResponsesPassThroughWhole)
{
    // Both exceed a socket buffer, so sending and receiving each take several rounds.
    const std::string big_body(300 * 1024, 'q');
    const std::string post =
        "POST /big HTTP/1.1\r\nContent-Length: " + std::to_string(big_body.size()) + "\r\n\r\n" + big_body;
    const std::string answer(100 * 1024, 'z');
    TestServer server([&](std::size_t, const std::string&) { return ok_response(answer); });
    LoadConfig config = config_for(server, {post}, 40, 5);
    config.expectation.body_length = static_cast<long long>(answer.size());
    LoadRunner runner(std::move(config));
    const LoadResult result = runner.run();

    EXPECT_EQ(40u, result.completed);
    EXPECT_EQ(0u, result.errors) << result.first_error;
    for (const std::string& r : server.requests()) EXPECT_EQ(post.size(), r.size());
}

TEST(LoadRunnerTest, FullListenQueueIsRetriedNotFailed)
{
    TestServer server([](std::size_t, const std::string&) { return ok_response("x"); }, 1);
    LoadRunner runner(config_for(server, {kGet}, 400, 32));
    const LoadResult result = runner.run();
    EXPECT_EQ(400u, result.completed);
    EXPECT_EQ(0u, result.errors) << result.first_error;
    EXPECT_EQ(400u, server.requests().size());
    EXPECT_GT(result.connect_retries, 0u);  // 32 connects at once cannot all fit a queue of one
}

TEST(LoadRunnerTest, MissingServerFailsEveryRequestQuickly)
{
    struct Case {
        const char* name;
        std::string path;
    };
    const Case table[] = {
        {"no such file", "/tmp/kvload_test_missing_dir/none.sock"},
        {"path too long for a socket address", "/tmp/" + std::string(200, 'p')},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        LoadConfig config;
        config.socket_path = c.path;
        config.requests = {kGet};
        config.total_requests = 20000;  // far more than the stack would allow as nested calls
        config.concurrency = 3;
        LoadRunner runner(std::move(config));
        const LoadResult result = runner.run();
        EXPECT_EQ(20000u, result.completed);
        EXPECT_EQ(20000u, result.errors);
        EXPECT_EQ(20000u, result.by_io_failure[static_cast<std::size_t>(IoFailure::Connect)]);
    }
}

TEST(LoadRunnerTest, SilentServerTimesOut)
{
    TestServer server([](std::size_t, const std::string&) { return TestServer::hold(); });
    LoadConfig config = config_for(server, {kGet}, 2, 2);
    config.request_timeout = std::chrono::milliseconds(200);
    LoadRunner runner(std::move(config));
    const auto before = std::chrono::steady_clock::now();
    LoadResult result = runner.run();
    EXPECT_EQ(2u, result.completed);
    EXPECT_EQ(2u, result.by_io_failure[static_cast<std::size_t>(IoFailure::Timeout)]);
    EXPECT_GE(result.latency.percentile(0), 200u * 1000 * 1000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
}

TEST(LoadRunnerTest, TimedRunStopsStartingAfterItsDuration)
{
    TestServer server([](std::size_t, const std::string&) { return ok_response("x"); });
    LoadConfig config = config_for(server, {kGet}, 0, 4);
    config.duration = std::chrono::milliseconds(300);
    LoadRunner runner(std::move(config));
    const auto before = std::chrono::steady_clock::now();
    const LoadResult result = runner.run();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GT(result.completed, 0u);
    EXPECT_EQ(0u, result.errors) << result.first_error;
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(result.completed, server.requests().size());
}

}  // namespace
}  // namespace kvload
