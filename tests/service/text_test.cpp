// The text helpers of routing: the gateway path search and the media type of a file name.
#include "mime_type.h"
#include "str_ifind.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(StrIfind, Table)
{
    const std::string gateway = "/KvIxoWebService/KvIxoWebService.dll";
    const struct { std::string haystack, needle; size_t pos; std::int64_t expected; } cases[] = {
        {"/kvixowebservice/KVIXOWEBSERVICE.dll", gateway, 0, 0}, {"/x" + gateway + "?y=1", gateway, 0, 2},
        {"/KvIxoWebService/KvIxoWebService.dl", gateway, 0, -1}, {"", gateway, 0, -1},
        {"abcABC", "abc", 1, 3}, {"abcABC", "abc", 4, -1}, {"abc", "", 3, 3}, {"abc", "", 4, -1},
        {"abc", "a", 7, -1}, {"a\xC4" "b", "\xC4", 0, 1}, {"a\xE4" "b", "\xC4", 0, -1},  // bytes beyond ASCII as they are
        {"x[y", "[Y", 0, 1}, {"aaab", "AAB", 0, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IxoWebservice::str_ifind(c.haystack, c.needle, c.pos), c.expected)
            << '"' << c.haystack << "\" / \"" << c.needle << "\" from " << c.pos;
}

TEST(MimeType, Table)
{
    const struct { const char *name, *type; } cases[] = {
        {"/a.htm", "text/html"}, {"/a.html", "text/html"}, {"/a.php", "text/html"}, {"/a.css", "text/css"}, {"/a.txt", "text/plain"},
        {"/a.js", "application/javascript"}, {"/a.json", "application/json"}, {"/a.xml", "application/xml"},
        {"/a.wsdl", "application/wsdl+xml"}, {"/a.swf", "application/x-shockwave-flash"}, {"/a.flv", "video/x-flv"},
        {"/a.png", "image/png"}, {"/a.jpe", "image/jpeg"}, {"/a.jpeg", "image/jpeg"}, {"/a.jpg", "image/jpeg"},
        {"/a.gif", "image/gif"}, {"/a.bmp", "image/bmp"}, {"/a.ico", "image/vnd.microsoft.icon"}, {"/a.tiff", "image/tiff"},
        {"/a.tif", "image/tiff"}, {"/a.svg", "image/svg+xml"}, {"/a.svgz", "image/svg+xml"}, {"/LOGO.PNG", "image/png"},
        {"/x.SvgZ", "image/svg+xml"}, {".CSS", "text/css"},  // any letter case
        {"", "application/text"}, {"/README", "application/text"}, {"/archive.tar.gz", "application/text"},
        {"/trailing.", "application/text"}, {"/v1.2/README", "application/text"}, {"/a.htmlx", "application/text"},
        {"/a.ht", "application/text"}, {"/a.png ", "application/text"}, {"/a.pn\xC7", "application/text"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::string(IxoWebservice::mime_type(c.name)), c.type) << c.name;
    const char text[] = "/a.htmlz";  // only the given text counts, not up to a terminator
    EXPECT_EQ(std::string(IxoWebservice::mime_type(boost::beast::string_view(text, 7))), "text/html");
}

}  // namespace
