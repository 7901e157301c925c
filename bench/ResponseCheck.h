#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvload {

// What every response of a run must look like; empty or negative members are not checked.
struct ResponseExpectation {
    std::string status_line = "HTTP/1.1 200 OK";  // exact text before the first CR LF
    long long body_length = -1;                    // exact body size in bytes
    std::string body_contains;                     // text that must occur in the body
};

// Outcome of one response; everything but Ok counts as an error.
enum class Verdict {
    Ok,
    NoResponse,      // the server closed without sending a byte
    Truncated,       // the header never ended
    BadHeader,       // oversized header or an unreadable Content-Length
    BadStatus,       // status line differs from the expected one
    LengthMismatch,  // body size differs from the response's own Content-Length
    BadBodyLength,   // body size differs from the expected size
    BadBodyContent,  // expected text missing from the body
    Count
};

const char* describe(Verdict verdict);

// Checks one HTTP response fed in pieces as they arrive, until the server closes.
// Keeps the header and, only when body text is to be searched, the body.
class ResponseCheck {
public:
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
    static constexpr std::size_t kMaxKeptBodyBytes = 1024 * 1024;

    explicit ResponseCheck(const ResponseExpectation& expectation);

    void reset();
    void feed(const char* data, std::size_t size);
    // Judges the response once the server has closed the connection.
    Verdict finish() const;

    const std::string& status_line() const { return status_line_; }
    std::uint64_t body_bytes() const { return body_bytes_; }
    std::uint64_t total_bytes() const { return total_bytes_; }

private:
    void parse_header();
    void take_body(const char* data, std::size_t size);

    const ResponseExpectation* expectation_;
    std::string head_;
    std::string status_line_;
    std::string body_;
    bool head_done_ = false;
    bool head_bad_ = false;
    long long content_length_ = -1;
    std::uint64_t body_bytes_ = 0;
    std::uint64_t total_bytes_ = 0;
};

}  // namespace kvload
