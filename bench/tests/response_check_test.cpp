#include "ResponseCheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kvload {
namespace {

struct CheckCase { const char* name; std::string response; ResponseExpectation expectation; Verdict verdict; };

ResponseExpectation expect(const char* status, long long length = -1, const char* contains = "")
{
    return ResponseExpectation{status, length, contains};
}

const std::string kOkHead = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml\r\n";
const ResponseExpectation kOk = expect("HTTP/1.1 200 OK");

const std::vector<CheckCase> kCases = {
    {"status and length", kOkHead + "Content-Length: 5\r\n\r\nhello", kOk, Verdict::Ok},
    {"no length field, body to close", "HTTP/1.1 200 OK\r\n\r\nabc", expect("HTTP/1.1 200 OK", 3), Verdict::Ok},
    {"lower-case length field", "HTTP/1.1 200 OK\r\ncontent-length:  2 \r\n\r\nab", kOk, Verdict::Ok},
    {"empty body", kOkHead + "Content-Length: 0\r\n\r\n", expect("HTTP/1.1 200 OK", 0), Verdict::Ok},
    {"status not checked", "HTTP/1.1 500 Oops\r\n\r\n", expect(""), Verdict::Ok},
    {"other status", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc", kOk, Verdict::BadStatus},
    {"status with trailing blank", "HTTP/1.1 200 OK \r\n\r\n", kOk, Verdict::BadStatus},
    {"nothing received", "", kOk, Verdict::NoResponse},
    {"header ends with one line end", "HTTP/1.1 200 OK\r\n", kOk, Verdict::Truncated},
    {"body shorter than its length", kOkHead + "Content-Length: 6\r\n\r\nhello", kOk, Verdict::LengthMismatch},
    {"body longer than its length", kOkHead + "Content-Length: 4\r\n\r\nhello", kOk, Verdict::LengthMismatch},
    {"unreadable length", kOkHead + "Content-Length: 5x\r\n\r\nhello", kOk, Verdict::BadHeader},
    {"conflicting lengths", kOkHead + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello", kOk,
     Verdict::BadHeader},
    {"oversized header", "HTTP/1.1 200 OK\r\nX: " + std::string(ResponseCheck::kMaxHeaderBytes, 'x'), kOk,
     Verdict::BadHeader},
    {"unexpected body size", kOkHead + "Content-Length: 5\r\n\r\nhello", expect("HTTP/1.1 200 OK", 4),
     Verdict::BadBodyLength},
    {"length checked before the text", kOkHead + "Content-Length: 26\r\n\r\n<ppData>AAAAAAAAAAA=</ppData>",
     expect("HTTP/1.1 200 OK", -1, "AAAAAAAAAAA="), Verdict::LengthMismatch},
    {"body holds the text", kOkHead + "Content-Length: 29\r\n\r\n<ppData>AAAAAAAAAAA=</ppData>",
     expect("HTTP/1.1 200 OK", 29, "AAAAAAAAAAA="), Verdict::Ok},
    {"text only in the header", kOkHead + "X-Data: AAAAAAAAAAA=\r\nContent-Length: 2\r\n\r\nno",
     expect("HTTP/1.1 200 OK", -1, "AAAAAAAAAAA="), Verdict::BadBodyContent},
};

// Every case gives the same verdict however the bytes are split into reads; one check is
// reset and reused for all splits, as a connection slot reuses it for every request.
TEST(ResponseCheckTest, VerdictDoesNotDependOnHowBytesArrive)
{
    for (const CheckCase& c : kCases) {
        ResponseCheck check(c.expectation);
        for (std::size_t piece : {std::size_t{1}, std::size_t{3}, c.response.size() + 1}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            check.reset();
            for (std::size_t at = 0; at < c.response.size(); at += piece)
                check.feed(c.response.data() + at, std::min(piece, c.response.size() - at));
            EXPECT_EQ(c.verdict, check.finish()) << describe(check.finish());
            EXPECT_EQ(c.response.size(), check.total_bytes());
        }
    }
}

}  // namespace
}  // namespace kvload
