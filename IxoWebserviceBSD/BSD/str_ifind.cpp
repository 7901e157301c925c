#include "str_ifind.h"

#include <algorithm>
#include <cctype>

namespace IxoWebservice {

namespace {

bool same_folded(char a, char b)
{
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

std::int64_t str_ifind(const std::string& haystack, const std::string& needle, size_t pos)
{
    // Same answers as std::string::find on lower-cased copies, without making the copies.
    if (pos > haystack.size() || needle.size() > haystack.size() - pos)
        return -1;
    const auto from = haystack.begin() + static_cast<std::ptrdiff_t>(pos);
    const auto hit = std::search(from, haystack.end(), needle.begin(), needle.end(), same_folded);
    if (hit == haystack.end() && !needle.empty())
        return -1;
    return static_cast<std::int64_t>(hit - haystack.begin());
}

}  // namespace IxoWebservice
