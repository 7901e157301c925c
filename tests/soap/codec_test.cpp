// The gateway's own conversions: Base64, numbers and parameter lookup.
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "Base64.h"
#include "IxoSoapImpl.h"

namespace {

using Bytes = std::vector<unsigned char>;

TEST(Base64, EncodesAndDecodesLeniently)
{
    char* text = Base64::encode(reinterpret_cast<const unsigned char*>("\xFB\xFF\xBF" "AB"), 5);
    EXPECT_STREQ(text, "+/+/QUI=");
    Base64::freebuffer(text);
    const struct { const char* name; const char* text; Bytes bytes; } cases[] = {
        {"padding omitted", "QUI", {0x41, 0x42}},
        {"single char, the NUL read as outside char", "Q", {0x43}},
        {"line feeds between groups", "\nQUJD\nQUJD\n", {0x41, 0x42, 0x43, 0x41, 0x42, 0x43}},
        {"line feed inside a group is not skipped", "QU\nJD", {0x41, 0x4F, 0xC9, 0x0F}},
        {"CR shifts the groups after it", "QUJD\r\nQUJD", {0x41, 0x42, 0x43, 0xFF, 0xF4, 0x14, 0x24}},
        {"text after a pad ignored", "QQ==QUJD", {0x41}},
        {"outside char has all bits set", "QUJ*", {0x41, 0x42, 0xFF}},
        {"pad in second position", "Q=JD", {0x43, 0xF2, 0x43}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char* data = nullptr;
        int length = -1;
        ASSERT_TRUE(Base64::decode(c.text, &data, &length));
        EXPECT_EQ(Bytes(data, data + length), c.bytes);
        Base64::freebuffer(data);
    }
}

TEST(ConvertToUint, Table)
{
    const struct { const char* text; uint32_t value; } cases[] = {
        {"+42", 42}, {" \t\r\n42", 42}, {"42abc", 42}, {"\v5", 0}, {"- 5", 0}, {"++5", 0}, {"", 0},
        {"0000000000004294967295", 4294967295u}, {"4294967296", 4294967295u}, {"-99999999999", 0}, {"-0x10", 0},
        {"0X353", 851}, {"0x", 0}, {"0x1G", 1}, {"0x0000000012345678", 0x12345678u}, {"0x100000000", 4294967295u},
        {"tRuE", 1}, {"-true", 1}, {"False", 0}, {"true ", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConvertToUint(c.text), c.value) << c.text;
    EXPECT_EQ(ConvertToUint(nullptr), 0u);
}

TEST(Parameters, DirectChildrenByExactNamePortKeepsLow16Bits)
{
    const struct { const char* xml; int result; unsigned int length, port; } cases[] = {
        {"<m><cbLen>12</cbLen><nPort>70000</nPort></m>", IXO_SOAP_PARAM_OK, 12, 4464},
        {"<m><cbLen><![CDATA[0x20]]></cbLen><nPort>-5</nPort></m>", IXO_SOAP_PARAM_OK, 32, 0},
        {"<m><cbLen>7</cbLen><cbLen>9</cbLen><nPort>99999999999</nPort></m>", IXO_SOAP_PARAM_OK, 7, 65535},
        {"<m><ns1:cbLen>12</ns1:cbLen></m>", IXO_SOAP_PARAM_MISSING, 99, 1},
        {"<m><CbLen>12</CbLen></m>", IXO_SOAP_PARAM_MISSING, 99, 1},
        {"<m><x><cbLen>12</cbLen></x></m>", IXO_SOAP_PARAM_MISSING, 99, 1},
        {"<m cbLen=\"12\"/>", IXO_SOAP_PARAM_MISSING, 99, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml);
        pugi::xml_document document;
        ASSERT_TRUE(document.load_string(c.xml));
        pugi::xml_node method = document.first_child();
        CIxoSoapImpl soap;
        unsigned int length = 99;
        unsigned short port = 1;
        std::string netId = "stale";
        const int results[] = {soap.GetUint(method, "cbLen", length), soap.GetNetIdAndPort(method, port, netId)};
        EXPECT_EQ(std::make_tuple(results[0], results[1], length, unsigned(port)),
                  std::make_tuple(c.result, c.result, c.length, c.port));
    }
}

}  // namespace
