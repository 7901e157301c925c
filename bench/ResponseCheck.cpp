#include "ResponseCheck.h"

#include <algorithm>

namespace kvload {

namespace {

bool equals_ignoring_case(const char* a, const char* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Parses a decimal Content-Length value with optional surrounding blanks; -1 if unreadable.
long long parse_length(const char* begin, const char* end)
{
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (begin == end || end - begin > 18) return -1;
    long long value = 0;
    for (const char* p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
    }
    return value;
}

}  // namespace

const char* describe(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Ok: return "ok";
    case Verdict::NoResponse: return "closed without a response";
    case Verdict::Truncated: return "header not complete";
    case Verdict::BadHeader: return "malformed header";
    case Verdict::BadStatus: return "unexpected status line";
    case Verdict::LengthMismatch: return "body size differs from Content-Length";
    case Verdict::BadBodyLength: return "unexpected body size";
    case Verdict::BadBodyContent: return "expected body text missing";
    case Verdict::Count: break;
    }
    return "?";
}

ResponseCheck::ResponseCheck(const ResponseExpectation& expectation) : expectation_(&expectation) {}

void ResponseCheck::reset()
{
    head_.clear();
    status_line_.clear();
    body_.clear();
    head_done_ = false;
    head_bad_ = false;
    content_length_ = -1;
    body_bytes_ = 0;
    total_bytes_ = 0;
}

void ResponseCheck::feed(const char* data, std::size_t size)
{
    total_bytes_ += size;
    if (head_done_) {
        take_body(data, size);
        return;
    }
    if (head_bad_) return;

    // Search only the new bytes plus the three before them for the blank line.
    const std::size_t search_from = head_.size() >= 3 ? head_.size() - 3 : 0;
    head_.append(data, size);
    const std::size_t end = head_.find("\r\n\r\n", search_from);
    if (end == std::string::npos) {
        if (head_.size() > kMaxHeaderBytes) {
            head_bad_ = true;
            head_.clear();
        }
        return;
    }
    const std::size_t body_start = end + 4;
    std::string rest = head_.substr(body_start);
    head_.resize(body_start);
    head_done_ = true;
    parse_header();
    take_body(rest.data(), rest.size());
}

void ResponseCheck::parse_header()
{
    const std::size_t first_line_end = head_.find("\r\n");
    status_line_.assign(head_, 0, first_line_end);
    std::size_t line = first_line_end + 2;
    static const char kName[] = "content-length:";
    const std::size_t name_size = sizeof kName - 1;
    while (line < head_.size()) {
        const std::size_t line_end = head_.find("\r\n", line);
        if (line_end == std::string::npos || line_end == line) break;
        if (line_end - line >= name_size && equals_ignoring_case(head_.data() + line, kName, name_size)) {
            const long long value = parse_length(head_.data() + line + name_size, head_.data() + line_end);
            if (value < 0 || (content_length_ >= 0 && value != content_length_)) head_bad_ = true;
            content_length_ = value;
        }
        line = line_end + 2;
    }
}

void ResponseCheck::take_body(const char* data, std::size_t size)
{
    body_bytes_ += size;
    if (!expectation_->body_contains.empty() && body_.size() < kMaxKeptBodyBytes)
        body_.append(data, std::min(size, kMaxKeptBodyBytes - body_.size()));
}

Verdict ResponseCheck::finish() const
{
    if (total_bytes_ == 0) return Verdict::NoResponse;
    if (head_bad_) return Verdict::BadHeader;
    if (!head_done_) return Verdict::Truncated;
    if (!expectation_->status_line.empty() && status_line_ != expectation_->status_line) return Verdict::BadStatus;
    if (content_length_ >= 0 && body_bytes_ != static_cast<std::uint64_t>(content_length_))
        return Verdict::LengthMismatch;
    if (expectation_->body_length >= 0 && body_bytes_ != static_cast<std::uint64_t>(expectation_->body_length))
        return Verdict::BadBodyLength;
    if (!expectation_->body_contains.empty() && body_.find(expectation_->body_contains) == std::string::npos)
        return Verdict::BadBodyContent;
    return Verdict::Ok;
}

}  // namespace kvload
