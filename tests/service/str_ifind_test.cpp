#include "str_ifind.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using IxoWebservice::str_ifind;

TEST(StrIfind, Table)
{
    const std::string gateway = "/KvIxoWebService/KvIxoWebService.dll";
    struct Case {
        std::string haystack;
        std::string needle;
        size_t pos;
        std::int64_t expected;
    };
    const Case cases[] = {
        {gateway, gateway, 0, 0},
        {"/kvixowebservice/kvixowebservice.dll", gateway, 0, 0},
        {"/KVIXOWEBSERVICE/KVIXOWEBSERVICE.DLL", gateway, 0, 0},
        {"/x/KvIxoWebService/KvIxoWebService.dll?y=1", gateway, 0, 2},
        {"/KvIxoWebService/KvIxoWebService.dl", gateway, 0, -1},
        {"/KvIxoWebService/KvIxoWebService_dll", gateway, 0, -1},
        {"", gateway, 0, -1},
        {"abcABC", "abc", 0, 0},
        {"abcABC", "abc", 1, 3},
        {"abcABC", "abc", 4, -1},
        {"abc", "", 0, 0},
        {"abc", "", 3, 3},
        {"abc", "", 4, -1},
        {"abc", "a", 7, -1},
        {"", "", 0, 0},
        {"a\xC4" "b", "\xC4", 0, 1},    // bytes outside ASCII compare as they are
        {"a\xE4" "b", "\xC4", 0, -1},
        {"x[y", "[Y", 0, 1},
        {"aaab", "AAB", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.haystack << "\" / \"" << c.needle << "\" from " << c.pos);
        EXPECT_EQ(str_ifind(c.haystack, c.needle, c.pos), c.expected);
    }
}

TEST(StrIfind, LeavesItsArgumentsUnchanged)
{
    const std::string haystack = "/A/B";
    const std::string needle = "b";
    EXPECT_EQ(str_ifind(haystack, needle, 0), 3);
    EXPECT_EQ(haystack, "/A/B");
    EXPECT_EQ(needle, "b");
}

}  // namespace
