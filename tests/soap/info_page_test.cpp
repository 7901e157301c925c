// The information fragments and the buffer protocol of GetPulginInfo.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CSoapInfoPage.h"
#include "SoapTestSupport.h"

namespace {

const std::string kTable = R"(<table width="97%" id="table3" height="50"><tr vAlign="top"><th align="left" width="20%" style="vertical-align: top">)";
const std::string kLocalPage = kTable + R"(ROX Address</th><th align="left" width="600" style="vertical-align: top">Values</th></tr><tr><td width="20%">Port</td><td width="600">40001</td></tr><tr><td width="20%">Net Id</td><td width="600">10.20.30.40.1.1</td></tr></table>)";
const std::string kRoutesHead = kTable + R"(Remote Computer</th><th align="left" width="600" style="vertical-align: top">ROX Net Id</th></tr>)";

std::string Row(const std::string& name, const std::string& value)
{
    return "<tr><td width=\"20%\">" + name + "</td><td width=\"600\">" + value + "</td></tr>";
}

class InfoPageTest : public GatewayTest {
protected:
    // The fragment through the usual two calls: ask for the size, then fetch.
    std::string Fragment(const char* page)
    {
        unsigned int size = 0;
        EXPECT_EQ(soap_->GetPulginInfo(page, nullptr, &size), 234);
        std::vector<char> buffer(size, 'x');
        EXPECT_EQ(soap_->GetPulginInfo(page, buffer.data(), &size), 0);
        EXPECT_EQ(size, buffer.size());
        return buffer.empty() || buffer.back() != '\0' ? "<not terminated>" : buffer.data();
    }
};

TEST_F(InfoPageTest, PagesAndTheBufferProtocol)
{
    for (const char* page : {"routes", "RoUtEs", "route", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(Fragment(page).rfind(page != nullptr && strlen(page) == 6 ? kRoutesHead : kLocalPage, 0), 0u);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u) << "every fragment shares the gateway's one port";
    const unsigned int needed = static_cast<unsigned int>(kLocalPage.size() + 1);
    std::vector<char> buffer(needed + 50, 'x');
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), nullptr), 87);
    unsigned int size = needed - 1;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), &size), 234);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(needed + 50, 'x')) << "nothing written";
    size = needed + 50;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), &size), 0);
    EXPECT_EQ(size, needed + 50);
    EXPECT_EQ(buffer.data(), kLocalPage);
}

TEST_F(InfoPageTest, WithoutPortLocalPageShowsZeroAndRoutesTheCode)
{
    Configure("KVIXO_SIM_FAIL_OPEN", "100");
    std::string expected = kLocalPage;
    EXPECT_EQ(Fragment(nullptr), expected.replace(expected.find(">40001<") + 1, 5, "0"));
    EXPECT_EQ(Fragment("routes"), "Unable to load page (Ixo Error = 0x8001.)");
}

TEST_F(InfoPageTest, RouteTables)
{
    const struct { const char* routes; std::string rows; } cases[] = {
        {"", ""},
        {"Zeta=1.2.3.4.5.6;Alpha=6.5.4.3.2.1", Row("Zeta", "1.2.3.4.5.6") + Row("Alpha", "6.5.4.3.2.1")},
        {"<b>A&B\"</b>=1.1.1.1.1.1", Row("&lt;b&gt;A&amp;B&quot;&lt;/b&gt;", "1.1.1.1.1.1")},
        {"100% %s%n%d=200.201.202.203.1.1", Row("100% %s%n%d", "200.201.202.203.1.1")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routes);
        Configure("KVIXO_SIM_ROUTES", c.routes);
        EXPECT_EQ(Fragment("routes"), kRoutesHead + c.rows + "</table>");
    }
}

// Rows beyond the limit are refused, over-long headers are cut, missing texts are empty.
TEST(CSoapInfoPage, Limits)
{
    EXPECT_EQ(CSoapInfoPage(-3, nullptr, nullptr).AddProperty("a", "1"), -1);
    CSoapInfoPage page(1, std::string(400, 'h').c_str(), nullptr);
    EXPECT_EQ(page.AddProperty(nullptr, nullptr), 0);
    EXPECT_EQ(page.AddProperty("b", "2"), -1);
    const std::unique_ptr<char[]> text = page.GeneratePage();
    ASSERT_TRUE(text);
    const std::string table = text.get();
    EXPECT_NE(table.find(">" + std::string(254, 'h') + "</th>"), std::string::npos) << table;
    EXPECT_NE(table.find("top\"></th></tr>" + Row("", "") + "</table>"), std::string::npos);
}

}  // namespace
