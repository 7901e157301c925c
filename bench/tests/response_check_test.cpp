#include "ResponseCheck.h"

#include <gtest/gtest.h>

#include <string>

namespace kvload {
namespace {

struct CheckCase {
    const char* name;
    std::string response;
    ResponseExpectation expectation;
    Verdict verdict;
};

ResponseExpectation expect(const char* status, long long length = -1, const char* contains = "")
{
    ResponseExpectation e;
    e.status_line = status;
    e.body_length = length;
    e.body_contains = contains;
    return e;
}

const std::string kOkHead = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Beast\r\nContent-Type: text/xml\r\n";

std::vector<CheckCase> cases()
{
    return {
        {"exact status and length", kOkHead + "Content-Length: 5\r\n\r\nhello", expect("HTTP/1.1 200 OK"), Verdict::Ok},
        {"no length field, body to close", "HTTP/1.1 200 OK\r\n\r\nabc", expect("HTTP/1.1 200 OK", 3), Verdict::Ok},
        {"lower-case length field", "HTTP/1.1 200 OK\r\ncontent-length:  2 \r\n\r\nab", expect("HTTP/1.1 200 OK"),
         Verdict::Ok},
        {"empty body", kOkHead + "Content-Length: 0\r\n\r\n", expect("HTTP/1.1 200 OK", 0), Verdict::Ok},
        {"status not checked", "HTTP/1.1 500 Oops\r\n\r\n", expect(""), Verdict::Ok},
        {"other status", "HTTP/1.1 404 Not Found\r\nContent-Length: 16\r\n\r\nFile not found\r\n",
         expect("HTTP/1.1 200 OK"), Verdict::BadStatus},
        {"status with trailing blank", "HTTP/1.1 200 OK \r\n\r\n", expect("HTTP/1.1 200 OK"), Verdict::BadStatus},
        {"other version", "HTTP/1.0 200 OK\r\n\r\n", expect("HTTP/1.1 200 OK"), Verdict::BadStatus},
        {"nothing received", "", expect("HTTP/1.1 200 OK"), Verdict::NoResponse},
        {"header cut short", "HTTP/1.1 200 OK\r\nContent-Len", expect("HTTP/1.1 200 OK"), Verdict::Truncated},
        {"header ends with one line end", "HTTP/1.1 200 OK\r\n", expect("HTTP/1.1 200 OK"), Verdict::Truncated},
        {"body shorter than its length", kOkHead + "Content-Length: 6\r\n\r\nhello", expect("HTTP/1.1 200 OK"),
         Verdict::LengthMismatch},
        {"body longer than its length", kOkHead + "Content-Length: 4\r\n\r\nhello", expect("HTTP/1.1 200 OK"),
         Verdict::LengthMismatch},
        {"unreadable length", kOkHead + "Content-Length: 5x\r\n\r\nhello", expect("HTTP/1.1 200 OK"),
         Verdict::BadHeader},
        {"conflicting lengths", kOkHead + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello",
         expect("HTTP/1.1 200 OK"), Verdict::BadHeader},
        {"oversized header", "HTTP/1.1 200 OK\r\nX: " + std::string(ResponseCheck::kMaxHeaderBytes, 'x'),
         expect("HTTP/1.1 200 OK"), Verdict::BadHeader},
        {"unexpected body size", kOkHead + "Content-Length: 5\r\n\r\nhello", expect("HTTP/1.1 200 OK", 4),
         Verdict::BadBodyLength},
        {"length checked before the text", kOkHead + "Content-Length: 26\r\n\r\n<ppData>AAAAAAAAAAA=</ppData>",
         expect("HTTP/1.1 200 OK", -1, "AAAAAAAAAAA="), Verdict::LengthMismatch},
        {"body holds the text, right length", kOkHead + "Content-Length: 29\r\n\r\n<ppData>AAAAAAAAAAA=</ppData>",
         expect("HTTP/1.1 200 OK", 29, "AAAAAAAAAAA="), Verdict::Ok},
        {"text only in the header", kOkHead + "X-Data: AAAAAAAAAAA=\r\nContent-Length: 2\r\n\r\nno",
         expect("HTTP/1.1 200 OK", -1, "AAAAAAAAAAA="), Verdict::BadBodyContent},
    };
}

// Every case must give the same verdict however the bytes are split into reads.
TEST(ResponseCheckTest, VerdictDoesNotDependOnHowBytesArrive)
{
    for (const CheckCase& c : cases()) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{4096},
                                  c.response.size() + 1}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            ResponseCheck check(c.expectation);
            for (std::size_t at = 0; at < c.response.size(); at += piece)
                check.feed(c.response.data() + at, std::min(piece, c.response.size() - at));
            EXPECT_EQ(c.verdict, check.finish()) << describe(check.finish());
            EXPECT_EQ(c.response.size(), check.total_bytes());
        }
    }
}

TEST(ResponseCheckTest, ResetForgetsThePreviousResponse)
{
    const ResponseExpectation e = expect("HTTP/1.1 200 OK", 5, "ll");
    ResponseCheck check(e);
    const std::string bad = "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc";
    check.feed(bad.data(), bad.size());
    EXPECT_EQ(Verdict::BadStatus, check.finish());

    check.reset();
    const std::string good = kOkHead + "Content-Length: 5\r\n\r\nhello";
    check.feed(good.data(), good.size());
    EXPECT_EQ(Verdict::Ok, check.finish());
    EXPECT_EQ("HTTP/1.1 200 OK", check.status_line());
    EXPECT_EQ(5u, check.body_bytes());

    check.reset();
    EXPECT_EQ(Verdict::NoResponse, check.finish());
}

}  // namespace
}  // namespace kvload
