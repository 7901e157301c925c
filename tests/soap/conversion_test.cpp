#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

TEST(ConvertToUint, Table)
{
    struct Case {
        const char* text;
        uint32_t value;
    };
    const Case cases[] = {
        // decimal
        {"851", 851}, {"007", 7}, {"+42", 42}, {" \t\r\n42", 42}, {"42abc", 42},
        {"12 34", 12}, {"1e3", 1}, {"4294967295", 4294967295u},
        {"0000000000004294967295", 4294967295u},
        // overflow saturates, a minus sign gives 0
        {"4294967296", 4294967295u}, {"99999999999", 4294967295u},
        {"-5", 0}, {"-0", 0}, {"-99999999999", 0}, {"-0x10", 0},
        // no digits
        {"", 0}, {"   ", 0}, {"abc", 0}, {"- 5", 0}, {"++5", 0}, {"x10", 0}, {"#10", 0},
        {"0b101", 0}, {"\v5", 0},
        // hexadecimal
        {"0x353", 851}, {"0X353", 851}, {"#x10", 16}, {"#X10", 16}, {"0x", 0}, {"0x1G", 1},
        {"0xffffffff", 4294967295u}, {"0x12345678", 0x12345678u},
        {"0x0000000012345678", 0x12345678u}, {"0x00000000FFFFFFFF", 4294967295u},
        {"0x100000000", 4294967295u}, {"0x123456789", 4294967295u}, {"+0x10", 16},
        // true / false, the sign is ignored
        {"TRUE", 1}, {"true", 1}, {"tRuE", 1}, {" true", 1}, {"-true", 1}, {"+true", 1},
        {"False", 0}, {"true ", 0}, {"truex", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(ConvertToUint(c.text), c.value);
    }
    EXPECT_EQ(ConvertToUint(nullptr), 0u);
}

class ParameterTest : public ::testing::Test {
protected:
    // Parses a method element and returns it.
    pugi::xml_node Method(const char* xml)
    {
        const pugi::xml_parse_result parsed = document_.load_string(xml);
        EXPECT_TRUE(parsed) << parsed.description();
        return document_.first_child();
    }

    pugi::xml_document document_;
    CIxoSoapImpl soap_;
};

TEST_F(ParameterTest, GetUintReadsDirectChildrenByExactName)
{
    struct Case {
        const char* xml;
        int result;
        unsigned int value;
    };
    const Case cases[] = {
        {"<m:Read><cbLen>12</cbLen></m:Read>", IXO_SOAP_PARAM_OK, 12},
        {"<m:Read><cbLen/></m:Read>", IXO_SOAP_PARAM_OK, 0},
        {"<m:Read><cbLen><![CDATA[0x20]]></cbLen></m:Read>", IXO_SOAP_PARAM_OK, 32},
        {"<m:Read><cbLen>7</cbLen><cbLen>9</cbLen></m:Read>", IXO_SOAP_PARAM_OK, 7},
        {"<m:Read><ns1:cbLen>12</ns1:cbLen></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read><CbLen>12</CbLen></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read><x><cbLen>12</cbLen></x></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read cbLen=\"12\"/>", IXO_SOAP_PARAM_MISSING, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        pugi::xml_node method = Method(c.xml);
        unsigned int value = 99;
        EXPECT_EQ(soap_.GetUint(method, "cbLen", value), c.result);
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(ParameterTest, PortKeepsLow16Bits)
{
    struct Case {
        const char* port;
        unsigned short value;
    };
    const Case cases[] = {
        {"851", 851}, {"0x353", 851}, {"70000", 4464}, {"-5", 0}, {"abc", 0},
        {"99999999999", 65535}, {"65536", 0}, {"0x1FFFF", 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        const std::string xml = std::string("<m:Read><nPort>") + c.port + "</nPort></m:Read>";
        pugi::xml_node method = Method(xml.c_str());
        unsigned short port = 1;
        std::string netId = "stale";
        EXPECT_EQ(soap_.GetNetIdAndPort(method, port, netId), IXO_SOAP_PARAM_OK);
        EXPECT_EQ(port, c.value);
        EXPECT_EQ(netId, "");
    }
}

TEST_F(ParameterTest, NetIdIsOptionalPortIsNot)
{
    pugi::xml_node method = Method("<Read><netId>5.1.2.3.1.1</netId><nPort>851</nPort></Read>");
    unsigned short port = 0;
    std::string netId;
    EXPECT_EQ(soap_.GetNetIdAndPort(method, port, netId), IXO_SOAP_PARAM_OK);
    EXPECT_EQ(netId, "5.1.2.3.1.1");
    EXPECT_EQ(port, 851);

    method = Method("<Read><netId>5.1.2.3.1.1</netId></Read>");
    EXPECT_EQ(soap_.GetNetIdAndPort(method, port, netId), IXO_SOAP_PARAM_MISSING);
}

TEST_F(ParameterTest, GroupAndOffsetBothRequired)
{
    const char* missing[] = {
        "<Read><indexGroup>1</indexGroup></Read>",
        "<Read><indexOffset>1</indexOffset></Read>",
        "<Read></Read>",
    };
    for (const char* xml : missing) {
        SCOPED_TRACE(xml);
        pugi::xml_node method = Method(xml);
        unsigned int group = 0;
        unsigned int offset = 0;
        EXPECT_EQ(soap_.GetIndexGroupAndOffset(method, group, offset), IXO_SOAP_PARAM_MISSING);
    }
    pugi::xml_node method =
        Method("<Read><indexOffset>#x10</indexOffset><indexGroup>4294967296</indexGroup></Read>");
    unsigned int group = 0;
    unsigned int offset = 0;
    EXPECT_EQ(soap_.GetIndexGroupAndOffset(method, group, offset), IXO_SOAP_PARAM_OK);
    EXPECT_EQ(group, 4294967295u);
    EXPECT_EQ(offset, 16u);
}

class NetIdTest : public SimulatedDeviceTest {};

std::string NetIdText(const RoxNetId& netId)
{
    std::string text;
    for (int i = 0; i < 6; ++i) {
        text += (i ? "." : "") + std::to_string(netId.b[i]);
    }
    return text;
}

TEST_F(NetIdTest, Table)
{
    struct Case {
        const char* text;
        const char* netId;
    };
    const Case cases[] = {
        {"5.1.2.3.1.1", "5.1.2.3.1.1"},
        {"5.1.2", "0.0.0.0.0.0"},
        {"261.0.0.0.1.1", "5.0.0.0.1.1"},
        {"", "10.20.30.40.1.1"},
        {"127.0.0.0.1.1", "10.20.30.40.1.1"},
        {"127.0.0.0.1.1 ", "127.0.0.0.1.1"},
        {" 127.0.0.0.1.1", "127.0.0.0.1.1"},
        {" 5. 1.+2.3.1.1xyz", "5.1.2.3.1.1"},
        {"1.2.3.4.5.6.7", "1.2.3.4.5.6"},
        {"-1.0.0.0.1.1", "255.0.0.0.1.1"},
        {"4294967297.0.0.0.1.256", "1.0.0.0.1.0"},
        {"5 .1.2.3.1.1", "0.0.0.0.0.0"},
        {"5..1.2.3.1", "0.0.0.0.0.0"},
        {"5.1.2.3.1.", "0.0.0.0.0.0"},
        {"a.b.c.d.e.f", "0.0.0.0.0.0"},
        {"localhost", "0.0.0.0.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(NetIdText(ConvertToRoxNetId(c.text)), c.netId);
    }
}

TEST_F(NetIdTest, LocalNetIdComesFromTheLibrary)
{
    SetDeviceEnv("KVIXO_SIM_NETID", "1.2.3.4.5.6");
    EXPECT_EQ(NetIdText(ConvertToRoxNetId("")), "1.2.3.4.5.6");
    EXPECT_EQ(NetIdText(ConvertToRoxNetId("127.0.0.0.1.1")), "1.2.3.4.5.6");
    EXPECT_EQ(NetIdText(ConvertToRoxNetId(nullptr)), "1.2.3.4.5.6");
}

TEST(SoapText, StrcmpiOrdersLikeLowerCase)
{
    struct Case {
        const char* left;
        const char* right;
        int sign;
    };
    const Case cases[] = {
        {"routes", "routes", 0}, {"ROUTES", "routes", 0}, {"RoUtEs", "rOuTeS", 0},
        {"route", "routes", -1}, {"routesx", "routes", 1}, {"a", "B", -1}, {"", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.left) + " vs " + c.right);
        const int result = IxoCrt::_strcmpi(c.left, c.right);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    // When the first text ends first, the result is minus the next character's code.
    EXPECT_EQ(IxoCrt::_strcmpi("route", "routes"), -'s');
    EXPECT_EQ(IxoCrt::_strcmpi("ab", "aD"), 'b' - 'd');
}

TEST(SoapText, SnprintfReportsTruncation)
{
    char buffer[16];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(IxoCrt::_snprintf(buffer, 15, "%d", 1864), 4);
    EXPECT_STREQ(buffer, "1864");
    EXPECT_EQ(IxoCrt::_snprintf(buffer, 5, "%d", 123456), -1);
    EXPECT_STREQ(buffer, "1234");
    EXPECT_EQ(IxoCrt::_snprintf(buffer, 5, "%d", 12345), -1);
    EXPECT_EQ(IxoCrt::_snprintf(buffer, 15, "%d", -2147483647 - 1), 11);
    EXPECT_STREQ(buffer, "-2147483648");
}

}  // namespace
