// kvload: closed-loop HTTP load over a Unix-domain socket, one request per connection.

#include "LoadRunner.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

const char kUsage[] =
    "usage: kvload [options]\n"
    "  -s PATH    server socket (default /var/run/KvIxoWebService/kvixowebservice.sock)\n"
    "  -f FILE    complete request message to send; repeat to send several in turn\n"
    "  -m METHOD  method of a built request (default GET, POST when a body is given)\n"
    "  -t TARGET  target of a built request (default /)\n"
    "  -b TEXT    body of a built request\n"
    "  -B FILE    body of a built request, read from FILE\n"
    "  -T TYPE    Content-Type of a built request with a body (default text/xml; charset=utf-8)\n"
    "  -c N       concurrent connections (default 50)\n"
    "  -n N       total requests (default 10000)\n"
    "  -d SECS    run for SECS seconds instead of a request count\n"
    "  -e LINE    expected status line (default \"HTTP/1.1 200 OK\"; empty: not checked)\n"
    "  -l N       expected body size in bytes\n"
    "  -k TEXT    text the body must contain\n"
    "  -w SECS    time-out of one request (default 30)\n"
    "  -q         print one line: rps, errors and latency percentiles in microseconds\n";

bool read_file(const std::string& path, std::string& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool parse_count(const char* text, std::uint64_t& out)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return false;
    out = value;
    return true;
}

bool parse_seconds(const char* text, std::chrono::milliseconds& out)
{
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(value > 0) || value > 1e6) return false;
    out = std::chrono::milliseconds(static_cast<long long>(value * 1000.0));
    return true;
}

std::string build_request(const std::string& method, const std::string& target, const std::string* body,
                          const std::string& content_type)
{
    std::ostringstream out;
    out << method << ' ' << target << " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    if (body != nullptr) {
        out << "Content-Type: " << content_type << "\r\nContent-Length: " << body->size() << "\r\n\r\n" << *body;
    } else {
        out << "\r\n";
    }
    return out.str();
}

double to_ms(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e6; }
unsigned long long to_us(std::uint64_t nanoseconds) { return nanoseconds / 1000; }

}  // namespace

int main(int argc, char** argv)
{
    kvload::LoadConfig config;
    config.socket_path = "/var/run/KvIxoWebService/kvixowebservice.sock";
    config.total_requests = 10000;
    std::string method, target = "/", body, content_type = "text/xml; charset=utf-8";
    bool has_body = false, quiet = false;

    int option;
    while ((option = ::getopt(argc, argv, "s:f:m:t:b:B:T:c:n:d:e:l:k:w:qh")) != -1) {
        std::uint64_t count = 0;
        switch (option) {
        case 's': config.socket_path = optarg; break;
        case 'f': {
            std::string request;
            if (!read_file(optarg, request) || request.empty()) {
                std::fprintf(stderr, "kvload: cannot read request file %s\n", optarg);
                return 2;
            }
            config.requests.push_back(std::move(request));
            break;
        }
        case 'm': method = optarg; break;
        case 't': target = optarg; break;
        case 'b': body = optarg; has_body = true; break;
        case 'B':
            if (!read_file(optarg, body)) {
                std::fprintf(stderr, "kvload: cannot read body file %s\n", optarg);
                return 2;
            }
            has_body = true;
            break;
        case 'T': content_type = optarg; break;
        case 'c':
            if (!parse_count(optarg, count) || count == 0 || count > 10000) {
                std::fprintf(stderr, "kvload: concurrency must be 1 to 10000\n");
                return 2;
            }
            config.concurrency = static_cast<std::size_t>(count);
            break;
        case 'n':
            if (!parse_count(optarg, count) || count == 0) {
                std::fprintf(stderr, "kvload: request count must be a positive number\n");
                return 2;
            }
            config.total_requests = count;
            break;
        case 'd':
            if (!parse_seconds(optarg, config.duration)) {
                std::fprintf(stderr, "kvload: duration must be a positive number of seconds\n");
                return 2;
            }
            config.total_requests = 0;
            break;
        case 'e': config.expectation.status_line = optarg; break;
        case 'l':
            if (!parse_count(optarg, count)) {
                std::fprintf(stderr, "kvload: body size must be a number\n");
                return 2;
            }
            config.expectation.body_length = static_cast<long long>(count);
            break;
        case 'k': config.expectation.body_contains = optarg; break;
        case 'w':
            if (!parse_seconds(optarg, config.request_timeout)) {
                std::fprintf(stderr, "kvload: time-out must be a positive number of seconds\n");
                return 2;
            }
            break;
        case 'q': quiet = true; break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        default: std::fputs(kUsage, stderr); return 2;
        }
    }
    if (optind != argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (config.requests.empty()) {
        if (method.empty()) method = has_body ? "POST" : "GET";
        config.requests.push_back(build_request(method, target, has_body ? &body : nullptr, content_type));
    }
    std::signal(SIGPIPE, SIG_IGN);

    kvload::LoadRunner runner(std::move(config));
    kvload::LoadResult result = runner.run();

    const std::uint64_t p50 = result.latency.percentile(50), p90 = result.latency.percentile(90),
                        p99 = result.latency.percentile(99), max = result.latency.max();
    if (quiet) {
        std::printf("rps=%.0f requests=%llu errors=%llu p50_us=%llu p90_us=%llu p99_us=%llu max_us=%llu\n",
                    result.requests_per_second(), static_cast<unsigned long long>(result.completed),
                    static_cast<unsigned long long>(result.errors), to_us(p50), to_us(p90), to_us(p99), to_us(max));
    } else {
        std::printf("requests:   %llu in %.3f s, %llu errors, %llu connect retries, %.1f MiB received\n",
                    static_cast<unsigned long long>(result.completed),
                    std::chrono::duration<double>(result.elapsed).count(),
                    static_cast<unsigned long long>(result.errors),
                    static_cast<unsigned long long>(result.connect_retries),
                    static_cast<double>(result.bytes_received) / (1024.0 * 1024.0));
        std::printf("requests/s: %.0f\n", result.requests_per_second());
        std::printf("latency ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", to_ms(p50), to_ms(p90), to_ms(p99),
                    to_ms(max));
    }
    if (result.errors > 0) {
        std::fprintf(stderr, "kvload: %llu failed requests; first: %s\n",
                     static_cast<unsigned long long>(result.errors), result.first_error.c_str());
        for (std::size_t i = 1; i < result.by_verdict.size(); ++i) {
            if (result.by_verdict[i] > 0)
                std::fprintf(stderr, "kvload:   %s: %llu\n", kvload::describe(static_cast<kvload::Verdict>(i)),
                             static_cast<unsigned long long>(result.by_verdict[i]));
        }
        for (std::size_t i = 0; i < result.by_io_failure.size(); ++i) {
            if (result.by_io_failure[i] > 0)
                std::fprintf(stderr, "kvload:   %s: %llu\n", kvload::describe(static_cast<kvload::IoFailure>(i)),
                             static_cast<unsigned long long>(result.by_io_failure[i]));
        }
        return 1;
    }
    if (result.completed == 0) {
        std::fprintf(stderr, "kvload: no request was made\n");
        return 1;
    }
    return 0;
}
