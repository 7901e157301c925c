// Requests in, documents out: recognition, the order of the faults, the five operations
// against the simulated device, and the answer documents byte for byte.
#include <map>
#include <string>
#include <vector>

#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

std::string MethodFault(const std::string& name)
{
    return ClientFault("Method'" + name + "' not implemented: method name or namespace not recognized");
}

const std::string kNotWellFormed = ClientFault("Well-formedness constraint violation");
const std::string kMismatch = ClientFault("Validation constraint violation: tag name or namespace mismatch");
const std::string kMissing = ClientFault("Ixo Parameter is missing");
const std::string kRead = "<Read><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>0</indexOffset>"
                          "<cbLen>2</cbLen></Read>";

std::string Response(const std::string& content) { return kFrame + content + kFrameEnd; }

using RequestTest = GatewayTest;

TEST_F(RequestTest, FaultsInTheirOrder)
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
        {"parameters before the device", Envelope("<Read><nPort>65535</nPort><indexGroup>1</indexGroup></Read>"),
         kMissing},
        {"prefixed parameter", Envelope("<Read><x:nPort>1</x:nPort><indexGroup>1</indexGroup><indexOffset>0"
                                        "</indexOffset><cbLen>2</cbLen></Read>"), kMissing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AnswerText(c.request.c_str()), c.answer);
    }
    EXPECT_EQ(AnswerText(nullptr), kNotWellFormed);
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 0u) << "none of these reached the library";
}

TEST_F(RequestTest, AcceptedEnvelopeShapes)
{
    for (const std::string& request : {
             "<x:Envelope xmlns:x=\"urn:any\"><x:Body>" + kRead + "</x:Body></x:Envelope>",
             "<Envelope><:Body>" + kRead + "</:Body></Envelope>",
             "<s:Envelope><s:Header><a/></s:Header><s:Body>" + kRead + "</s:Body></s:Envelope>",
             "<?xml version=\"1.0\"?>\n<!-- c -->\n<s:Envelope>\n <s:Body>\n<!-- c -->" + kRead +
                 "</s:Body></s:Envelope>",
             Envelope("<q:Read><cbLen>2</cbLen><x/><indexOffset>0</indexOffset><indexGroup>1</indexGroup>"
                      "<nPort>851</nPort></q:Read>")}) {
        SCOPED_TRACE(request);
        EXPECT_EQ(AnswerText(request.c_str()), Response("<ns1:ReadResponse><ppData>AAA=</ppData></ns1:ReadResponse>"));
    }
}

// Each parameter left out in turn: a required one gives the missing-parameter fault, an
// optional one (marked "?") still gives the response.
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
                if (parameter != left)
                    method += "<" + tag + ">" + (tag == "nPort" ? "851" : tag == "netId" ? "" : "1") + "</" + tag + ">";
            }
            const std::string answer = Answer(method + "</" + name + ">");
            if (left.back() != '?')
                EXPECT_EQ(answer, kMissing);
            else
                EXPECT_NE(answer.find("<ns1:" + name + "Response>"), std::string::npos) << answer;
        }
    }
}

TEST_F(GatewayTest, OperationsAndTheirDocuments)
{
    const std::string port = "<nPort>851</nPort>", at = port + "<indexGroup>4096</indexGroup><indexOffset>";
    const struct { std::string method, document; } steps[] = {
        {"<m:Write>" + at + "2</indexOffset><pData>QUJD</pData></m:Write>",
         Response("<ns1:WriteResponse></ns1:WriteResponse>")},
        {"<m:Read>" + at + "1</indexOffset><cbLen>5</cbLen></m:Read>",
         Response("<ns1:ReadResponse><ppData>AEFCQwA=</ppData></ns1:ReadResponse>")},
        {"<Write>" + at + "2</indexOffset></Write>", Response("<ns1:WriteResponse></ns1:WriteResponse>")},
        {"<ReadWrite>" + at + "3</indexOffset><cbRdLen>3</cbRdLen><pwrData>eA==</pwrData></ReadWrite>",
         Response("<ns1:ReadWriteResponse><ppRdData>eEMA</ppRdData></ns1:ReadWriteResponse>")},
        {"<Read><netId>127.0.0.0.1.1</netId>" + at + "2</indexOffset><cbLen>0</cbLen></Read>",
         Response("<ns1:ReadResponse><ppData></ppData></ns1:ReadResponse>")},
        {"<ReadState>" + port + "</ReadState>",
         Response("<ns1:ReadStateResponse><pIxoState>1</pIxoState><pDeviceState>0</pDeviceState></ns1:ReadStateResponse>")},
        {"<WriteControl>" + port + "<ixoState>65537</ixoState><deviceState>0x1234</deviceState><pData>QQ==</pData>"
         "</WriteControl>", Response("<ns1:WriteControlResponse></ns1:WriteControlResponse>")},
        {"<ReadState>" + port + "</ReadState>",
         Response("<ns1:ReadStateResponse><pIxoState>1</pIxoState><pDeviceState>4660</pDeviceState></ns1:ReadStateResponse>")},
        // A routed net id is another device; the half-read group answers what the device reports.
        {"<Read><netId>10.20.30.41.1.1</netId>" + at + "2</indexOffset><cbLen>1</cbLen></Read>",
         Response("<ns1:ReadResponse><ppData>AA==</ppData></ns1:ReadResponse>")},
        {"<Read>" + port + "<indexGroup>0xFFFE0000</indexGroup><indexOffset>0</indexOffset><cbLen>3</cbLen></Read>",
         Response("<ns1:ReadResponse><ppData>AA==</ppData></ns1:ReadResponse>")},
        {"<Read><netId>5.1.2</netId>" + at + "0</indexOffset><cbLen>1</cbLen></Read>",
         ServerFault(KVIXO_SIM_ERR_NO_SUCH_TARGET)},
        {"<Read>" + port + "<indexGroup>0xFFFF0701</indexGroup><indexOffset>0</indexOffset><cbLen>3</cbLen></Read>",
         ServerFault(1793)},
        {"<ReadState><nPort>65535</nPort></ReadState>", ServerFault(KVIXO_SIM_ERR_OFFLINE)},
        {"<Read>" + at + "0</indexOffset><cbLen>100000000</cbLen></Read>", ServerFault(KVIXO_SIM_ERR_OUT_OF_AREA)},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.method);
        EXPECT_EQ(Answer(step.method), step.document);
    }
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
        EXPECT_EQ(CIxoSoapImpl::AppendEncodedResponse(response, "<a>", "</a>", data, c.requested, c.reported), 0);
        EXPECT_EQ(response, std::string("[<a>") + c.text + "</a>");
    }
}

}  // namespace
