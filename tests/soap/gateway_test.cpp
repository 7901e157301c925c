// Requests in, documents out, on a gateway over a clean simulated device: the order of the faults,
// the five operations byte for byte, net ids, and the information fragments of GetPulginInfo.
#include <stdlib.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CSoapInfoPage.h"
#include "IxoSoap.h"
#include "IxoSoapImpl.h"
#include "KvIxoSim.h"

namespace {

const std::string kFrame =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">)";
const std::string kFrameEnd = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string Envelope(const std::string& method) { return "<soap:Envelope><soap:Body>" + method + "</soap:Body></soap:Envelope>"; }

// The client fault alone names its encoding in lower case.
std::string ClientFault(const std::string& text)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + kFrame.substr(38) + "<SOAP-ENV:Fault><faultcode>"
           "SOAP-ENV:Client</faultcode><faultstring>" + text + "</faultstring></SOAP-ENV:Fault>" + kFrameEnd;
}

std::string ServerFault(int32_t code)
{
    const std::string ns = " xmlns=\"http://korvel.example/KvIxoWebService\"";
    return kFrame + "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>An IXO Error has occurred."
           "</faultstring><detail><errorcode" + ns + ">" + std::to_string(code) + "</errorcode><errorinfo" + ns +
           "/></detail></SOAP-ENV:Fault>" + kFrameEnd;
}

// The simulator is process-wide: each test starts from its defaults. A gateway believes
// its port stays open, so each device reset gets a fresh gateway.
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override { Configure(); }
    // A fresh gateway on a reset device, with one simulator variable set when name is given.
    void Configure(const char* name = nullptr, const char* value = nullptr)
    {
        soap_.reset();
        for (const char* n : {"KVIXO_SIM_FAIL_OPEN", "KVIXO_SIM_NETID", "KVIXO_SIM_ROUTES"})
            unsetenv(n);
        if (name != nullptr)
            setenv(name, value, 1);
        KvIxoSimReset();
        soap_ = std::make_unique<CIxoSoap>();
    }
    // The answer to a request text; no answer ever contains a line break.
    std::string AnswerText(const char* request)
    {
        std::string response = "previous content";
        soap_->SoapRequest(request, response);
        EXPECT_EQ(response.find_first_of("\r\n"), std::string::npos) << response;
        return response;
    }
    std::string Answer(const std::string& method) { return AnswerText(Envelope(method).c_str()); }
    // An information fragment through the usual two calls: ask for the size, then fetch.
    std::string Fragment(const char* page)
    {
        unsigned int size = 0;
        EXPECT_EQ(soap_->GetPulginInfo(page, nullptr, &size), 234);
        std::vector<char> buffer(size, 'x');
        EXPECT_EQ(soap_->GetPulginInfo(page, buffer.data(), &size), 0);
        EXPECT_EQ(size, buffer.size());
        return buffer.empty() || buffer.back() != '\0' ? "<not terminated>" : buffer.data();
    }

    std::unique_ptr<CIxoSoap> soap_;
};

std::string MethodFault(const std::string& n) { return ClientFault("Method'" + n + "' not implemented: method name or namespace not recognized"); }

const std::string kNotWellFormed = ClientFault("Well-formedness constraint violation");
const std::string kMismatch = ClientFault("Validation constraint violation: tag name or namespace mismatch");
const std::string kMissing = ClientFault("Ixo Parameter is missing");
const std::string kRead = "<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset><cbLen>2</cbLen></Read>";

std::string doc(const std::string& op, const std::string& in) { return kFrame + "<ns1:" + op + "Response>" + in + "</ns1:" + op + "Response>" + kFrameEnd; }

TEST_F(GatewayTest, FaultsInTheirOrder)
{
    const struct { const char* name; std::string request, answer; } cases[] = {
        {"empty text", "", kNotWellFormed},
        {"parse before envelope", "<Envelope><Body></Body>", kNotWellFormed},
        {"parse before method", Envelope("<Erase><nPort>851</Erase>"), kNotWellFormed},
        {"unprefixed envelope and body", "<Envelope><Body>" + kRead + "</Body></Envelope>", kMismatch},
        {"different prefixes", "<s:Envelope><t:Body>" + kRead + "</t:Body></s:Envelope>", kMismatch},
        {"envelope before method", "<s:Envelope><t:Body><Erase/></t:Body></s:Envelope>", kMismatch},
        {"empty body", "<s:Envelope><s:Body></s:Body></s:Envelope>", kMismatch},
        {"body not a direct child", "<s:Envelope><x><s:Body>" + kRead + "</s:Body></x></s:Envelope>", kMismatch},
        {"lower-case envelope", "<s:envelope><s:Body>" + kRead + "</s:Body></s:envelope>", kMismatch},
        {"method named with its prefix", Envelope("<m:read><nPort>1</nPort></m:read>"), MethodFault("m:read")},
        {"text ahead of the method", Envelope("text" + kRead), MethodFault("")},
        {"method before parameters", Envelope("<ReadAll/>"), MethodFault("ReadAll")},
        // The echoed name is made valid UTF-8: each stray byte becomes U+FFFD.
        {"name not UTF-8", Envelope("<\xFF\xFERead/>"), MethodFault("\xEF\xBF\xBD\xEF\xBF\xBDRead")},
        {"name with a surrogate", Envelope("<a\xED\xA0\x80/>"), MethodFault("a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"name with an overlong form", Envelope("<a\xC0\xAF/>"), MethodFault("a\xEF\xBF\xBD\xEF\xBF\xBD")},
        {"name in UTF-8 kept", Envelope("<\xC3\xA9t\xF0\x9F\x98\x80/>"), MethodFault("\xC3\xA9t\xF0\x9F\x98\x80")},
        {"parameters before the device", Envelope("<Read><nPort>65535</nPort><indexGroup>1</indexGroup></Read>"), kMissing},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AnswerText(c.request.c_str()), c.answer) << c.name;
    EXPECT_EQ(AnswerText(nullptr), kNotWellFormed);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u) << "none of these reached the library";
}

TEST_F(GatewayTest, AcceptedEnvelopeShapes)
{
    for (const std::string& request : {
             "<x:Envelope xmlns:x=\"urn:any\"><x:Body>" + kRead + "</x:Body></x:Envelope>",
             "<Envelope><:Body>" + kRead + "</:Body></Envelope>",
             "<s:Envelope><s:Header><a/></s:Header><s:Body>" + kRead + "</s:Body></s:Envelope>",
             "<?xml version=\"1.0\"?>\n<!-- c -->\n<s:Envelope>\n <s:Body>\n<!-- c -->" + kRead + "</s:Body></s:Envelope>",
             Envelope("<q:Read><cbLen>2</cbLen><x/><indexOffset>0</indexOffset><indexGroup>1</indexGroup>"
                      "<nPort>851</nPort></q:Read>")})
        EXPECT_EQ(AnswerText(request.c_str()), doc("Read", "<ppData>AAA=</ppData>")) << request;
}

// Each parameter left out in turn: a required one gives the missing-parameter fault, an
// optional one (marked "?") still gives the response.
TEST_F(GatewayTest, EveryRequiredParameterIsChecked)
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
                if (parameter != left)
                    method += "<" + tag + ">" + (tag == "nPort" ? "851" : tag == "netId" ? "" : "1") + "</" + tag + ">";
            }
            const std::string answer = Answer(method + "</" + name + ">");
            EXPECT_EQ(answer == kMissing, left.back() != '?') << answer;
            EXPECT_EQ(answer.find("<ns1:" + name + "Response>") != std::string::npos, left.back() == '?') << answer;
        }
    }
}

TEST_F(GatewayTest, OperationsAndTheirDocuments)
{
    const std::string port = "<nPort>851</nPort>", at = port + "<indexGroup>4096</indexGroup><indexOffset>";
    const struct { std::string method, document; } steps[] = {
        {"<m:Write>" + at + "2</indexOffset><pData>QUJD</pData></m:Write>", doc("Write", "")},
        {"<m:Read>" + at + "1</indexOffset><cbLen>5</cbLen></m:Read>", doc("Read", "<ppData>AEFCQwA=</ppData>")},
        {"<Write>" + at + "2</indexOffset></Write>", doc("Write", "")},
        {"<ReadWrite>" + at + "3</indexOffset><cbRdLen>3</cbRdLen><pwrData>eA==</pwrData></ReadWrite>",
         doc("ReadWrite", "<ppRdData>eEMA</ppRdData>")},
        {"<Read><netId>127.0.0.0.1.1</netId>" + at + "2</indexOffset><cbLen>0</cbLen></Read>", doc("Read", "<ppData></ppData>")},
        {"<ReadState>" + port + "</ReadState>", doc("ReadState", "<pIxoState>1</pIxoState><pDeviceState>0</pDeviceState>")},
        {"<WriteControl>" + port + "<ixoState>65537</ixoState><deviceState>0x1234</deviceState><pData>QQ==</pData>"
         "</WriteControl>", doc("WriteControl", "")},
        {"<ReadState>" + port + "</ReadState>", doc("ReadState", "<pIxoState>1</pIxoState><pDeviceState>4660</pDeviceState>")},
        // A routed net id is another device; the half-read group answers what the device reports.
        {"<Read><netId>10.20.30.41.1.1</netId>" + at + "2</indexOffset><cbLen>1</cbLen></Read>", doc("Read", "<ppData>AA==</ppData>")},
        {"<Read>" + port + "<indexGroup>0xFFFE0000</indexGroup><indexOffset>0</indexOffset><cbLen>3</cbLen></Read>",
         doc("Read", "<ppData>AA==</ppData>")},
        {"<Read><netId>5.1.2</netId>" + at + "0</indexOffset><cbLen>1</cbLen></Read>", ServerFault(KVIXO_SIM_ERR_NO_SUCH_TARGET)},
        {"<Read>" + port + "<indexGroup>0xFFFF0701</indexGroup><indexOffset>0</indexOffset><cbLen>3</cbLen></Read>",
         ServerFault(1793)},
        {"<ReadState><nPort>65535</nPort></ReadState>", ServerFault(KVIXO_SIM_ERR_OFFLINE)},
        {"<Read>" + at + "0</indexOffset><cbLen>100000000</cbLen></Read>", ServerFault(KVIXO_SIM_ERR_OUT_OF_AREA)},
    };
    for (const auto& step : steps)
        EXPECT_EQ(Answer(step.method), step.document) << step.method;
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u) << "one port for every request";
}

TEST_F(GatewayTest, FailedOpenAnswers1864AndIsRetried)
{
    Configure("KVIXO_SIM_FAIL_OPEN", "2");
    EXPECT_EQ(Answer("<ReadState><nPort>851</nPort></ReadState>"), ServerFault(1864));
    EXPECT_EQ(Answer(kRead), ServerFault(1864));
    EXPECT_NE(Answer(kRead).find("<ppData>AAA=</ppData>"), std::string::npos);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 3u);
}

TEST(ServerFault, CodeInDecimalAtTheExtremes)
{
    for (const int32_t code : {-1, INT32_MIN, INT32_MAX}) {
        std::string response = "previous content";
        CIxoSoapImpl::SetServerFault(response, code);
        EXPECT_EQ(response, ServerFault(code));
    }
}

// The library reporting more than was asked for must not make the answer read past the buffer.
TEST(ReadCount, ClampedToTheRequestedLength)
{
    const unsigned char data[3] = {0x41, 0x42, 0x43};
    const struct { uint32_t requested, reported; const char* text; } cases[] = {
        {3, 2, "QUI="}, {3, 4, "QUJD"}, {3, 0xFFFFFFFF, "QUJD"}, {0, 5, ""}};
    for (const auto& c : cases) {
        std::string response = "[";
        const int result = CIxoSoapImpl::AppendEncodedResponse(response, "<a>", "</a>", data, c.requested, c.reported);
        EXPECT_EQ(std::make_pair(result, response), std::make_pair(0, std::string("[<a>") + c.text + "</a>"));
    }
}

TEST_F(GatewayTest, NetIds)
{
    Configure("KVIXO_SIM_NETID", "1.2.3.4.5.6");  // the local net id comes from the library
    const struct { const char* text; const char* netId; } cases[] = {
        {"5.1.2.3.1.1", "5.1.2.3.1.1"}, {"5.1.2", "0.0.0.0.0.0"}, {"261.0.0.0.1.1", "5.0.0.0.1.1"},
        {"4294967297.0.0.0.1.256", "1.0.0.0.1.0"}, {"", "1.2.3.4.5.6"}, {"127.0.0.0.1.1", "1.2.3.4.5.6"},
        {"127.0.0.0.1.1 ", "127.0.0.0.1.1"}, {" 5.\t1.+2.3.1.1xyz", "5.1.2.3.1.1"}, {"-1.0.0.0.1.1", "255.0.0.0.1.1"},
        {"5 .1.2.3.1.1", "0.0.0.0.0.0"}, {"5.1.2.3.1.", "0.0.0.0.0.0"},
    };
    for (const auto& c : cases) {
        const RoxNetId id = ConvertToRoxNetId(c.text);
        std::string text;
        for (int i = 0; i < 6; ++i)
            text += (i != 0 ? "." : "") + std::to_string(id.b[i]);
        EXPECT_EQ(text, c.netId) << c.text;
    }
}

const std::string kTable = R"(<table width="97%" id="table3" height="50"><tr vAlign="top"><th align="left" width="20%" style="vertical-align: top">)";
const std::string kLocalPage = kTable + R"(ROX Address</th><th align="left" width="600" style="vertical-align: top">Values</th></tr><tr><td width="20%">Port</td><td width="600">40001</td></tr><tr><td width="20%">Net Id</td><td width="600">10.20.30.40.1.1</td></tr></table>)";
const std::string kRoutesHead = kTable + R"(Remote Computer</th><th align="left" width="600" style="vertical-align: top">ROX Net Id</th></tr>)";

std::string Row(const std::string& name, const std::string& value) { return "<tr><td width=\"20%\">" + name + "</td><td width=\"600\">" + value + "</td></tr>"; }

TEST_F(GatewayTest, InfoPagesAndTheBufferProtocol)
{
    for (const char* page : {"routes", "RoUtEs", "route", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(Fragment(page).rfind(page != nullptr && strlen(page) == 6 ? kRoutesHead : kLocalPage, 0), 0u);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u) << "every fragment shares the gateway's one port";
    const unsigned int needed = static_cast<unsigned int>(kLocalPage.size() + 1);
    std::vector<char> buffer(needed + 50, 'x');
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), nullptr), 87);
    unsigned int size = needed - 1;  // the buffer's size as told, and the size needed afterwards
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), &size), 234);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(needed + 50, 'x')) << "nothing written";
    size = needed + 50;
    EXPECT_EQ(soap_->GetPulginInfo(nullptr, buffer.data(), &size), 0);
    EXPECT_EQ(size, needed + 50);
    EXPECT_EQ(buffer.data(), kLocalPage);
}

TEST_F(GatewayTest, InfoPagesWithoutPortShowPortZeroAndTheRoutesCode)
{
    Configure("KVIXO_SIM_FAIL_OPEN", "100");
    std::string expected = kLocalPage;
    EXPECT_EQ(Fragment(nullptr), expected.replace(expected.find(">40001<") + 1, 5, "0"));
    EXPECT_EQ(Fragment("routes"), "Unable to load page (Ixo Error = 0x8001.)");
}

TEST_F(GatewayTest, InfoPageRouteTables)
{
    const struct { const char* routes; std::string rows; } cases[] = {
        {"", ""},
        {"Zeta=1.2.3.4.5.6;Alpha=6.5.4.3.2.1", Row("Zeta", "1.2.3.4.5.6") + Row("Alpha", "6.5.4.3.2.1")},
        {"<b>A&B\"</b>=1.1.1.1.1.1", Row("&lt;b&gt;A&amp;B&quot;&lt;/b&gt;", "1.1.1.1.1.1")},
        {"100% %s%n%d=200.201.202.203.1.1", Row("100% %s%n%d", "200.201.202.203.1.1")},
    };
    for (const auto& c : cases) {
        Configure("KVIXO_SIM_ROUTES", c.routes);
        EXPECT_EQ(Fragment("routes"), kRoutesHead + c.rows + "</table>") << c.routes;
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
