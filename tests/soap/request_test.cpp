// Recognition of the request and the order in which its faults are found.
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SoapTestSupport.h"

namespace {

const char kNotWellFormed[] = "Well-formedness constraint violation";
const char kMismatch[] = "Validation constraint violation: tag name or namespace mismatch";
const char kMissing[] = "Ixo Parameter is missing";

std::string MethodFault(const std::string& name)
{
    return "Method'" + name + "' not implemented: method name or namespace not recognized";
}

const std::string kRead =
    "<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
    "<cbLen>2</cbLen></Read>";

using RequestTest = GatewayTest;

TEST_F(RequestTest, ClientFaultsAndTheirOrder)
{
    const struct { const char* name; std::string request; std::string faultString; } cases[] = {
        {"empty text", "", kNotWellFormed},
        {"parse before envelope", "<Envelope><Body></Body>", kNotWellFormed},
        {"parse before method and parameters", Envelope("<Erase><nPort>851</Erase>"),
         kNotWellFormed},
        {"unprefixed envelope and body", "<Envelope><Body>" + kRead + "</Body></Envelope>",
         kMismatch},
        {"different prefixes", "<s:Envelope><t:Body>" + kRead + "</t:Body></s:Envelope>",
         kMismatch},
        {"envelope before method", "<s:Envelope><t:Body><Erase/></t:Body></s:Envelope>",
         kMismatch},
        {"empty body", "<s:Envelope><s:Body></s:Body></s:Envelope>", kMismatch},
        {"no body", "<s:Envelope><s:Header/></s:Envelope>", kMismatch},
        {"body not a direct child",
         "<s:Envelope><x><s:Body>" + kRead + "</s:Body></x></s:Envelope>", kMismatch},
        {"lower-case envelope", "<s:envelope><s:Body>" + kRead + "</s:Body></s:envelope>",
         kMismatch},
        {"two colons in root", "<a:b:Envelope><a:Body>" + kRead + "</a:Body></a:b:Envelope>",
         kMismatch},
        {"lower-case method named with its prefix", Envelope("<m:read><nPort>1</nPort></m:read>"),
         MethodFault("m:read")},
        {"method with two colons", Envelope("<x:y:Read/>"), MethodFault("x:y:Read")},
        {"text ahead of the method", Envelope("text" + kRead), MethodFault("")},
        {"method before parameters", Envelope("<ReadAll/>"), MethodFault("ReadAll")},
        // The echoed name is made valid UTF-8: each stray byte becomes U+FFFD.
        {"name not UTF-8", Envelope("<\xFF\xFERead/>"), MethodFault("\xEF\xBF\xBD\xEF\xBF\xBDRead")},
        {"name with a surrogate", Envelope("<a\xED\xA0\x80/>"),
         MethodFault("a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"name with an overlong form", Envelope("<a\xC0\xAF/>"), MethodFault("a\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"name in UTF-8 kept", Envelope("<\xC3\xA9t\xF0\x9F\x98\x80/>"), MethodFault("\xC3\xA9t\xF0\x9F\x98\x80")},
        // Missing parameters beat a target the device would refuse.
        {"parameters before operation",
         Envelope("<Read><nPort>65535</nPort><indexGroup>1</indexGroup></Read>"), kMissing},
        {"prefixed parameter",
         Envelope("<Read><ns1:nPort>851</ns1:nPort><indexGroup>1</indexGroup>"
                  "<indexOffset>0</indexOffset><cbLen>2</cbLen></Read>"),
         kMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AnswerText(c.request.c_str()), ClientFault(c.faultString));
    }
    EXPECT_EQ(AnswerText(nullptr), ClientFault(kNotWellFormed));
    // None of these requests reached the library.
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u);
}

TEST_F(RequestTest, AcceptedEnvelopeShapes)
{
    const struct { const char* name; std::string request; } cases[] = {
        {"prefix bound to any namespace",
         "<x:Envelope xmlns:x=\"urn:anything\"><x:Body>" + kRead + "</x:Body></x:Envelope>"},
        {"unprefixed envelope with :Body", "<Envelope><:Body>" + kRead + "</:Body></Envelope>"},
        {"header before body",
         "<s:Envelope><s:Header><a/></s:Header><s:Body>" + kRead + "</s:Body></s:Envelope>"},
        {"declaration, comments and blanks",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- c -->\n<s:Envelope>\n <s:Body>\n"
         "  <!-- before the method -->\n  " + kRead + "\n </s:Body>\n</s:Envelope>\n"},
        {"any prefix on the method",
         Envelope("<q:Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0"
                  "</indexOffset><cbLen>2</cbLen></q:Read>")},
        {"parameters in any order with extras",
         Envelope("<Read><cbLen>2</cbLen><extra/><indexOffset>0</indexOffset><indexGroup>1"
                  "</indexGroup><nPort>851</nPort></Read>")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string answer = AnswerText(c.request.c_str());
        EXPECT_NE(answer.find("<ns1:ReadResponse><ppData>AAA=</ppData></ns1:ReadResponse>"),
                  std::string::npos)
            << answer;
    }
}

// Each parameter left out in turn: a required one gives the missing-parameter
// fault, an optional one (marked "?") still gives the response.
TEST_F(RequestTest, EveryRequiredParameterIsChecked)
{
    const std::map<std::string, std::vector<std::string>> operations = {
        {"Read", {"nPort", "indexGroup", "indexOffset", "cbLen", "netId?"}},
        {"Write", {"nPort", "indexGroup", "indexOffset", "netId?", "pData?"}},
        {"ReadWrite", {"nPort", "indexGroup", "indexOffset", "cbRdLen", "netId?", "pwrData?"}},
        {"ReadState", {"nPort", "netId?"}},
        {"WriteControl", {"nPort", "ixoState", "deviceState", "netId?", "pData?"}},
    };
    for (const auto& [name, parameters] : operations) {
        for (const std::string& left : parameters) {
            SCOPED_TRACE(name + " without " + left);
            std::string method = "<" + name + ">";
            for (const std::string& parameter : parameters) {
                const std::string tag = parameter.substr(0, parameter.find('?'));
                const char* value = tag == "nPort" ? "851" : tag == "netId" ? "" : "1";
                if (parameter != left) {
                    method += "<" + tag + ">" + value + "</" + tag + ">";
                }
            }
            const std::string answer = Answer(method + "</" + name + ">");
            if (left.back() != '?') {
                EXPECT_EQ(answer, ClientFault(kMissing));
            } else {
                EXPECT_NE(answer.find("<ns1:" + name + "Response>"), std::string::npos) << answer;
            }
        }
    }
}

}  // namespace
