#include "mime_type.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using IxoWebservice::mime_type;

struct MimeCase {
    const char* name;
    const char* type;
};

void PrintTo(const MimeCase& c, std::ostream* os)
{
    *os << '"' << c.name << "\" -> " << c.type;
}

class MimeTypeTable : public testing::TestWithParam<MimeCase> {};

TEST_P(MimeTypeTable, ChoosesTheTypeOfTheExtension)
{
    EXPECT_EQ(std::string(mime_type(GetParam().name)), GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKnownExtension, MimeTypeTable,
    testing::Values(MimeCase{"/a.htm", "text/html"}, MimeCase{"/a.html", "text/html"},
                    MimeCase{"/a.php", "text/html"}, MimeCase{"/a.css", "text/css"},
                    MimeCase{"/a.txt", "text/plain"}, MimeCase{"/a.js", "application/javascript"},
                    MimeCase{"/a.json", "application/json"}, MimeCase{"/a.xml", "application/xml"},
                    MimeCase{"/a.wsdl", "application/wsdl+xml"},
                    MimeCase{"/a.swf", "application/x-shockwave-flash"}, MimeCase{"/a.flv", "video/x-flv"},
                    MimeCase{"/a.png", "image/png"}, MimeCase{"/a.jpe", "image/jpeg"},
                    MimeCase{"/a.jpeg", "image/jpeg"}, MimeCase{"/a.jpg", "image/jpeg"},
                    MimeCase{"/a.gif", "image/gif"}, MimeCase{"/a.bmp", "image/bmp"},
                    MimeCase{"/a.ico", "image/vnd.microsoft.icon"}, MimeCase{"/a.tiff", "image/tiff"},
                    MimeCase{"/a.tif", "image/tiff"}, MimeCase{"/a.svg", "image/svg+xml"},
                    MimeCase{"/a.svgz", "image/svg+xml"}));

INSTANTIATE_TEST_SUITE_P(
    LetterCaseIsIgnored, MimeTypeTable,
    testing::Values(MimeCase{"/LOGO.PNG", "image/png"}, MimeCase{"/Page.HtMl", "text/html"},
                    MimeCase{"/x.JSON", "application/json"}, MimeCase{"/x.SvgZ", "image/svg+xml"},
                    MimeCase{".CSS", "text/css"}));

INSTANTIATE_TEST_SUITE_P(
    FallsBackToTheDefault, MimeTypeTable,
    testing::Values(MimeCase{"", "application/text"}, MimeCase{"/README", "application/text"},
                    MimeCase{"/archive.tar.gz", "application/text"}, MimeCase{"/trailing.", "application/text"},
                    MimeCase{"/v1.2/README", "application/text"},  // dot in a directory name
                    MimeCase{"/www.html/page", "application/text"},
                    MimeCase{"/a.htmlx", "application/text"}, MimeCase{"/a.ht", "application/text"},
                    MimeCase{"/a.png ", "application/text"}, MimeCase{"/a.pn\xC7", "application/text"}));

TEST(MimeType, LooksOnlyAtTheGivenTextNotAtAnyTerminator)
{
    const char text[] = "/a.htmlz";
    EXPECT_EQ(std::string(mime_type(boost::beast::string_view(text, 7))), "text/html");
}

}  // namespace
