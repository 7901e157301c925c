// Recognition of the request and the order in which its faults are found.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IxoSoap.h"
#include "SoapTestSupport.h"

namespace {

const char kNotWellFormed[] = "Well-formedness constraint violation";
const char kMismatch[] = "Validation constraint violation: tag name or namespace mismatch";
const char kMissing[] = "Ixo Parameter is missing";

std::string ClientFault(const std::string& faultString)
{
    return R"(<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>)" +
           faultString + "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string MethodFault(const std::string& name)
{
    return "Method'" + name + "' not implemented: method name or namespace not recognized";
}

const char kRead[] =
    "<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
    "<cbLen>2</cbLen></Read>";
const char kReadAnswerStart[] = R"(<?xml version="1.0" encoding="UTF-8"?>)";

class RequestTest : public SimulatedDeviceTest {
protected:
    std::string Answer(const char* request)
    {
        std::string response = "previous content";
        soap_.SoapRequest(request, response);
        return response;
    }
    bool IsReadResponse(const std::string& response)
    {
        return response.rfind(kReadAnswerStart, 0) == 0 &&
               response.find("<ns1:ReadResponse><ppData>AAA=</ppData></ns1:ReadResponse>") !=
                   std::string::npos;
    }

    CIxoSoap soap_;
};

TEST_F(RequestTest, ClientFaults)
{
    struct Case {
        const char* name;
        std::string request;
        std::string faultString;
    };
    const std::string read = kRead;
    const Case cases[] = {
        {"empty text", "", kNotWellFormed},
        {"blanks only", " \r\n\t ", kNotWellFormed},
        {"text without element", "just text", kNotWellFormed},
        {"unclosed element", "<s:Envelope><s:Body>", kNotWellFormed},
        {"mismatched tags", "<a><b></a></b>", kNotWellFormed},
        {"bad parameter markup", Envelope("<Read><nPort>851</Read>"), kNotWellFormed},
        {"unprefixed envelope and body", "<Envelope><Body>" + read + "</Body></Envelope>",
         kMismatch},
        {"different prefixes", "<s:Envelope><t:Body>" + read + "</t:Body></s:Envelope>",
         kMismatch},
        {"empty body", "<s:Envelope><s:Body></s:Body></s:Envelope>", kMismatch},
        {"self-closed body", "<s:Envelope><s:Body/></s:Envelope>", kMismatch},
        {"no body", "<s:Envelope><s:Header/></s:Envelope>", kMismatch},
        {"body not a direct child", "<s:Envelope><x><s:Body>" + read + "</s:Body></x></s:Envelope>",
         kMismatch},
        {"lower-case envelope", "<s:envelope><s:Body>" + read + "</s:Body></s:envelope>",
         kMismatch},
        {"lower-case body", "<s:Envelope><s:body>" + read + "</s:body></s:Envelope>", kMismatch},
        {"other root", "<s:Message><s:Body>" + read + "</s:Body></s:Message>", kMismatch},
        {"two colons in root", "<a:b:Envelope><a:Body>" + read + "</a:Body></a:b:Envelope>",
         kMismatch},
        {"lower-case method with prefix", Envelope("<m:read><nPort>1</nPort></m:read>"),
         MethodFault("m:read")},
        {"unknown method", Envelope("<Erase/>"), MethodFault("Erase")},
        {"method with two colons", Envelope("<x:y:Read/>"), MethodFault("x:y:Read")},
        {"text ahead of the method", Envelope("text" + read), MethodFault("")},
        {"missing cbLen",
         Envelope("<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
                  "</Read>"),
         kMissing},
        {"prefixed parameter",
         Envelope("<Read><ns1:nPort>851</ns1:nPort><indexGroup>1</indexGroup>"
                  "<indexOffset>0</indexOffset><cbLen>2</cbLen></Read>"),
         kMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Answer(c.request.c_str()), ClientFault(c.faultString));
    }
    // None of these requests reached the library.
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u);
}

TEST_F(RequestTest, NullRequestIsNotWellFormed)
{
    EXPECT_EQ(Answer(nullptr), ClientFault(kNotWellFormed));
}

TEST_F(RequestTest, AcceptedEnvelopeShapes)
{
    const std::string read = kRead;
    struct Case {
        const char* name;
        std::string request;
    };
    const Case cases[] = {
        {"shared prefix", "<soap:Envelope><soap:Body>" + read + "</soap:Body></soap:Envelope>"},
        {"prefix bound to any namespace",
         "<x:Envelope xmlns:x=\"urn:anything\"><x:Body>" + read + "</x:Body></x:Envelope>"},
        {"unprefixed envelope with :Body", "<Envelope><:Body>" + read + "</:Body></Envelope>"},
        {"header before body", "<s:Envelope><s:Header><a/></s:Header><s:Body>" + read +
                                   "</s:Body></s:Envelope>"},
        {"first matching body wins", "<s:Envelope><s:Body>" + read + "</s:Body><s:Body><Erase/>"
                                     "</s:Body></s:Envelope>"},
        {"declaration, comment and blanks",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- c -->\n<s:Envelope>\n <s:Body>\n"
         "  <!-- before the method -->\n  " + read + "\n </s:Body>\n</s:Envelope>\n"},
        {"any prefix on the method",
         Envelope("<q:Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0"
                  "</indexOffset><cbLen>2</cbLen></q:Read>")},
        {"parameters in any order with extras",
         Envelope("<Read><cbLen>2</cbLen><extra/><indexOffset>0</indexOffset><indexGroup>1"
                  "</indexGroup><nPort>851</nPort></Read>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(IsReadResponse(Answer(c.request.c_str()))) << Answer(c.request.c_str());
    }
}

TEST_F(RequestTest, FaultsAreFoundInOrder)
{
    struct Case {
        const char* name;
        std::string request;
        std::string faultString;
    };
    const Case cases[] = {
        // Not well-formed beats a wrong envelope.
        {"parse before envelope", "<Envelope><Body></Body>", kNotWellFormed},
        // A wrong envelope beats an unknown method.
        {"envelope before method", "<s:Envelope><t:Body><Erase/></t:Body></s:Envelope>",
         kMismatch},
        // An unknown method beats missing parameters.
        {"method before parameters", Envelope("<ReadAll/>"), MethodFault("ReadAll")},
        // Missing parameters beat a target the device would refuse.
        {"parameters before operation",
         Envelope("<Read><nPort>65535</nPort><indexGroup>1</indexGroup></Read>"), kMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Answer(c.request.c_str()), ClientFault(c.faultString));
    }
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u);
}

TEST_F(RequestTest, EveryRequiredParameterIsChecked)
{
    struct Operation {
        const char* name;
        std::vector<std::string> required;
        std::vector<std::string> optional;
    };
    const Operation operations[] = {
        {"Read", {"nPort", "indexGroup", "indexOffset", "cbLen"}, {"netId"}},
        {"Write", {"nPort", "indexGroup", "indexOffset"}, {"netId", "pData"}},
        {"ReadWrite", {"nPort", "indexGroup", "indexOffset", "cbRdLen"}, {"netId", "pwrData"}},
        {"ReadState", {"nPort"}, {"netId"}},
        {"WriteControl", {"nPort", "ixoState", "deviceState"}, {"netId", "pData"}},
    };
    auto values = [](const std::string& parameter) -> std::string {
        if (parameter == "nPort") return "851";
        if (parameter == "netId") return "10.20.30.40.1.1";
        if (parameter == "pData" || parameter == "pwrData") return "AQI=";
        if (parameter == "ixoState") return "5";
        return "1";
    };
    for (const Operation& operation : operations) {
        std::vector<std::string> all = operation.required;
        all.insert(all.end(), operation.optional.begin(), operation.optional.end());
        for (const std::string& left : all) {
            SCOPED_TRACE(std::string(operation.name) + " without " + left);
            std::string method = std::string("<") + operation.name + ">";
            for (const std::string& parameter : all) {
                if (parameter != left) {
                    method += "<" + parameter + ">" + values(parameter) + "</" + parameter + ">";
                }
            }
            method += std::string("</") + operation.name + ">";
            const std::string answer = Answer(Envelope(method).c_str());
            const bool isRequired = std::find(operation.required.begin(),
                                              operation.required.end(),
                                              left) != operation.required.end();
            if (isRequired) {
                EXPECT_EQ(answer, ClientFault(kMissing));
            } else {
                EXPECT_NE(answer.find(std::string("<ns1:") + operation.name + "Response>"),
                          std::string::npos)
                    << answer;
            }
        }
    }
}

}  // namespace
