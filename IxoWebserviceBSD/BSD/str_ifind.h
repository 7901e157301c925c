// Case-insensitive substring search.
#ifndef IXO_STR_IFIND_H
#define IXO_STR_IFIND_H

#include <cstdint>
#include <string>

namespace IxoWebservice {

// Index of the first occurrence of needle in haystack at or after pos, bytes compared
// after the C library's tolower; -1 when there is none.
std::int64_t str_ifind(const std::string& haystack, const std::string& needle, size_t pos);

}  // namespace IxoWebservice

#endif  // IXO_STR_IFIND_H
