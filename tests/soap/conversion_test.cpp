#include <string>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

TEST(ConvertToUint, Table)
{
    const struct { const char* text; uint32_t value; } cases[] = {
        // decimal, blanks and signs (more in the parameter table below)
        {"+42", 42}, {" \t\r\n42", 42}, {"42abc", 42}, {"\v5", 0}, {"- 5", 0}, {"++5", 0},
        {"", 0}, {"#10", 0}, {"0000000000004294967295", 4294967295u},
        // a minus sign gives 0, even with an overflow or in hexadecimal
        {"-99999999999", 0}, {"-0x10", 0},
        // hexadecimal; leading zeros do not count towards the eight digits
        {"0X353", 851}, {"+0x10", 16}, {"0x", 0}, {"0x1G", 1}, {"0xffffffff", 4294967295u},
        {"0x0000000012345678", 0x12345678u}, {"0x100000000", 4294967295u},
        // true / false in any letter case, the sign ignored, nothing may follow
        {"tRuE", 1}, {" true", 1}, {"-true", 1}, {"False", 0}, {"true ", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(ConvertToUint(c.text), c.value);
    }
    EXPECT_EQ(ConvertToUint(nullptr), 0u);
}

TEST(Parameters, PortKeepsLow16BitsGroupAndOffsetAreConverted)
{
    const struct {
        const char *port, *group, *offset;
        unsigned int portValue, groupValue, offsetValue;
    } cases[] = {
        {"851", "4294967296", "#x10", 851, 4294967295u, 16},
        {"0x353", "TRUE", "0", 851, 1, 0},
        {"70000", "-5", "7", 4464, 0, 7},
        {"-5", "1", "2", 0, 1, 2},
        {"abc", "1", "2", 0, 1, 2},
        {"99999999999", "1", "2", 65535, 1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        const std::string xml = std::string("<Read><nPort>") + c.port + "</nPort><indexGroup>" +
                                c.group + "</indexGroup><indexOffset>" + c.offset +
                                "</indexOffset></Read>";
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(xml.c_str()));
        pugi::xml_node method = document.first_child();
        CIxoSoapImpl soap;
        unsigned short port = 1;
        unsigned int group = 1;
        unsigned int offset = 1;
        std::string netId = "stale";
        EXPECT_EQ(soap.GetNetIdAndPort(method, port, netId), IXO_SOAP_PARAM_OK);
        EXPECT_EQ(soap.GetIndexGroupAndOffset(method, group, offset), IXO_SOAP_PARAM_OK);
        EXPECT_EQ(port, c.portValue);
        EXPECT_EQ(group, c.groupValue);
        EXPECT_EQ(offset, c.offsetValue);
        EXPECT_EQ(netId, "");
    }
}

TEST(Parameters, FoundAsDirectChildrenByExactName)
{
    const struct { const char* xml; int result; unsigned int value; } cases[] = {
        {"<m:Read><cbLen>12</cbLen></m:Read>", IXO_SOAP_PARAM_OK, 12},
        {"<m:Read><cbLen/></m:Read>", IXO_SOAP_PARAM_OK, 0},
        {"<m:Read><cbLen><![CDATA[0x20]]></cbLen></m:Read>", IXO_SOAP_PARAM_OK, 32},
        {"<m:Read><cbLen>7</cbLen><cbLen>9</cbLen></m:Read>", IXO_SOAP_PARAM_OK, 7},
        {"<m:Read><ns1:cbLen>12</ns1:cbLen></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read><CbLen>12</CbLen></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read><x><cbLen>12</cbLen></x></m:Read>", IXO_SOAP_PARAM_MISSING, 99},
        {"<m:Read cbLen=\"12\"/>", IXO_SOAP_PARAM_MISSING, 99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(c.xml));
        pugi::xml_node method = document.first_child();
        CIxoSoapImpl soap;
        unsigned int value = 99;
        EXPECT_EQ(soap.GetUint(method, "cbLen", value), c.result);
        EXPECT_EQ(value, c.value);
    }
}

using NetIdTest = GatewayTest;

TEST_F(NetIdTest, Table)
{
    // The local net id comes from the library, not from a fixed value.
    Configure("KVIXO_SIM_NETID", "1.2.3.4.5.6");
    const struct { const char* text; const char* netId; } cases[] = {
        {"5.1.2.3.1.1", "5.1.2.3.1.1"}, {"5.1.2", "0.0.0.0.0.0"},
        {"261.0.0.0.1.1", "5.0.0.0.1.1"}, {"4294967297.0.0.0.1.256", "1.0.0.0.1.0"},
        // only the exact text "127.0.0.0.1.1" and the empty text mean the local net id
        {"", "1.2.3.4.5.6"}, {"127.0.0.0.1.1", "1.2.3.4.5.6"}, {"127.0.0.0.1.1 ", "127.0.0.0.1.1"},
        // blanks and a sign ahead of a number, anything after the sixth
        {" 5.\t1.+2.3.1.1xyz", "5.1.2.3.1.1"}, {"-1.0.0.0.1.1", "255.0.0.0.1.1"},
        // a blank ahead of a dot, a number missing: nothing is taken
        {"5 .1.2.3.1.1", "0.0.0.0.0.0"}, {"5.1.2.3.1.", "0.0.0.0.0.0"}, {"local", "0.0.0.0.0.0"},
    };
    auto text = [](const RoxNetId& netId) {
        std::string result;
        for (int i = 0; i < 6; ++i) {
            result += (i != 0 ? "." : "") + std::to_string(netId.b[i]);
        }
        return result;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("text \"") + c.text + "\"");
        EXPECT_EQ(text(ConvertToRoxNetId(c.text)), c.netId);
    }
    EXPECT_EQ(text(ConvertToRoxNetId(nullptr)), "1.2.3.4.5.6");
}

}  // namespace
