// The information fragments and the buffer protocol of GetPulginInfo.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CSoapInfoPage.h"
#include "IxoSoap.h"
#include "SoapTestSupport.h"

namespace {

const char kLocalPage[] =
    R"(<table width="97%" id="table3" height="50"><tr vAlign="top"><th align="left" width="20%" style="vertical-align: top">ROX Address</th><th align="left" width="600" style="vertical-align: top">Values</th></tr><tr><td width="20%">Port</td><td width="600">30001</td></tr><tr><td width="20%">Net Id</td><td width="600">10.20.30.40.1.1</td></tr></table>)";

const char kRoutesHead[] =
    R"(<table width="97%" id="table3" height="50"><tr vAlign="top"><th align="left" width="20%" style="vertical-align: top">Remote Computer</th><th align="left" width="600" style="vertical-align: top">ROX Net Id</th></tr>)";

std::string Row(const std::string& name, const std::string& value)
{
    return "<tr><td width=\"20%\">" + name + "</td><td width=\"600\">" + value + "</td></tr>";
}

std::string RoutesPage(const std::string& rows)
{
    return kRoutesHead + rows + "</table>";
}

class InfoPageTest : public SimulatedDeviceTest {
protected:
    void SetUp() override
    {
        SimulatedDeviceTest::SetUp();
        soap_ = std::make_unique<CIxoSoap>();
    }
    void TearDown() override
    {
        soap_.reset();
        SimulatedDeviceTest::TearDown();
    }
    // Sets a simulator variable for a fresh gateway.
    void Configure(const char* name, const char* value)
    {
        soap_.reset();
        SetDeviceEnv(name, value);
        soap_ = std::make_unique<CIxoSoap>();
    }
    // The fragment through the usual two calls: ask for the size, then fetch.
    std::string Fragment(const char* page)
    {
        unsigned int size = 0;
        EXPECT_EQ(soap_->GetPulginInfo(page, nullptr, &size), 234);
        std::vector<char> buffer(size, 'x');
        unsigned int given = size;
        EXPECT_EQ(soap_->GetPulginInfo(page, buffer.data(), &given), 0);
        EXPECT_EQ(given, size);
        EXPECT_EQ(buffer.back(), '\0');
        return std::string(buffer.data());
    }

    std::unique_ptr<CIxoSoap> soap_;
};

TEST_F(InfoPageTest, LocalPageShowsPortAndNetId)
{
    EXPECT_EQ(Fragment(nullptr), kLocalPage);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u);
}

TEST_F(InfoPageTest, PageNameSelectsTheFragment)
{
    struct Case {
        const char* page;
        bool routes;
    };
    const Case cases[] = {
        {"routes", true}, {"ROUTES", true}, {"Routes", true}, {"route", false},
        {"routes ", false}, {"", false}, {"local", false}, {nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page != nullptr ? c.page : "(null)");
        const std::string fragment = Fragment(c.page);
        if (c.routes) {
            EXPECT_EQ(fragment.rfind(kRoutesHead, 0), 0u);
        } else {
            EXPECT_EQ(fragment, kLocalPage);
        }
    }
}

TEST_F(InfoPageTest, BufferProtocol)
{
    const unsigned int needed = static_cast<unsigned int>(strlen(kLocalPage) + 1);
    unsigned int size = 0;

    EXPECT_EQ(soap_->GetPulginInfo(nullptr, nullptr, nullptr), 87);
    char small[10] = "unchanged";
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, small, nullptr), 87);
    size = 5;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, nullptr, &size), 87);
    EXPECT_EQ(size, 5u);

    size = 0;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, nullptr, &size), 234);
    EXPECT_EQ(size, needed);

    size = sizeof(small);
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, small, &size), 234);
    EXPECT_EQ(size, needed);
    EXPECT_STREQ(small, "unchanged");

    std::vector<char> exact(needed, 'x');
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, exact.data(), &size), 0);
    EXPECT_EQ(size, needed);
    EXPECT_STREQ(exact.data(), kLocalPage);

    std::vector<char> large(needed + 50, 'x');
    size = needed + 50;
    EXPECT_EQ(soap_->GetPulginInfo("route", large.data(), &size), 0);
    EXPECT_EQ(size, needed + 50);
    EXPECT_STREQ(large.data(), kLocalPage);

    size = needed - 1;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, large.data(), &size), 234);
    EXPECT_EQ(size, needed);
}

TEST_F(InfoPageTest, LocalPageWithoutPortShowsZero)
{
    Configure("KVIXO_SIM_FAIL_OPEN", "100");
    const std::string fragment = Fragment(nullptr);
    EXPECT_NE(fragment.find(Row("Port", "0")), std::string::npos) << fragment;
    EXPECT_NE(fragment.find(Row("Net Id", "10.20.30.40.1.1")), std::string::npos);
}

TEST_F(InfoPageTest, RouteTables)
{
    struct Case {
        const char* name;
        const char* routes;  // null: the simulator's default table
        std::string rows;
    };
    const Case cases[] = {
        {"default table", nullptr,
         Row("Line-1", "10.20.30.41.1.1") + Row("Line-2", "10.20.30.42.1.1")},
        {"empty table", "", ""},
        {"order kept", "Zeta=1.2.3.4.5.6;Alpha=6.5.4.3.2.1",
         Row("Zeta", "1.2.3.4.5.6") + Row("Alpha", "6.5.4.3.2.1")},
        {"markup escaped", "<b>A&B\"</b>=1.1.1.1.1.1",
         Row("&lt;b&gt;A&amp;B&quot;&lt;/b&gt;", "1.1.1.1.1.1")},
        {"percent signs unchanged", "100% %s%n%d=200.201.202.203.1.1",
         Row("100% %s%n%d", "200.201.202.203.1.1")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        soap_.reset();
        unsetenv("KVIXO_SIM_ROUTES");
        if (c.routes != nullptr) {
            SetDeviceEnv("KVIXO_SIM_ROUTES", c.routes);
        } else {
            KvIxoSimReset();
        }
        soap_ = std::make_unique<CIxoSoap>();
        EXPECT_EQ(Fragment("routes"), RoutesPage(c.rows));
    }
}

TEST_F(InfoPageTest, RouteReadFailureShowsTheCode)
{
    // Without an open port the device refuses with 0x12.
    Configure("KVIXO_SIM_FAIL_OPEN", "100");
    EXPECT_EQ(Fragment("routes"), "Unable to load page (Ixo Error = 0x12.)");
}

TEST(CSoapInfoPage, RowsAreLimitedAndConsumed)
{
    CSoapInfoPage page(2, "N", "V");
    EXPECT_EQ(page.AddProperty("a", "1"), 0);
    EXPECT_EQ(page.AddProperty("b", "2"), 1);
    EXPECT_EQ(page.AddProperty("c", "3"), -1);
    const std::string head =
        R"(<table width="97%" id="table3" height="50"><tr vAlign="top"><th align="left" width="20%" style="vertical-align: top">N</th><th align="left" width="600" style="vertical-align: top">V</th></tr>)";
    std::unique_ptr<char[]> text = page.GeneratePage();
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text.get()), head + Row("a", "1") + Row("b", "2") + "</table>");
    // Generating consumed the rows; the page can be filled again.
    text = page.GeneratePage();
    ASSERT_TRUE(text);
    EXPECT_EQ(std::string(text.get()), head + "</table>");
    EXPECT_EQ(page.AddProperty("d", "4"), 0);
}

TEST(CSoapInfoPage, EdgeInputs)
{
    CSoapInfoPage none(0, nullptr, nullptr);
    EXPECT_EQ(none.AddProperty("a", "1"), -1);
    CSoapInfoPage negative(-3, "", "");
    EXPECT_EQ(negative.AddProperty("a", "1"), -1);

    const std::string longHeader(400, 'h');
    CSoapInfoPage page(1, longHeader.c_str(), "V");
    EXPECT_EQ(page.AddProperty(nullptr, nullptr), 0);
    std::unique_ptr<char[]> text = page.GeneratePage();
    ASSERT_TRUE(text);
    const std::string generated = text.get();
    EXPECT_NE(generated.find(">" + std::string(254, 'h') + "</th>"), std::string::npos);
    EXPECT_EQ(generated.find(std::string(255, 'h')), std::string::npos);
    EXPECT_NE(generated.find(Row("", "")), std::string::npos);
}

}  // namespace
