// The answer documents, written out in full.
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "IxoSoap.h"
#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

const char kReadResponse[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadResponse><ppData>QUJD</ppData></ns1:ReadResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kWriteResponse[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:WriteResponse></ns1:WriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kReadWriteResponse[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadWriteResponse><ppRdData>AQID</ppRdData></ns1:ReadWriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kReadStateResponse[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadStateResponse><pIxoState>5</pIxoState><pDeviceState>0</pDeviceState></ns1:ReadStateResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kWriteControlResponse[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:WriteControlResponse></ns1:WriteControlResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kClientFaultNotWellFormed[] =
    R"(<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>Well-formedness constraint violation</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const char kServerFault1793[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>An IXO Error has occurred.</faultstring><detail><errorcode xmlns="http://korvel.example/KvIxoWebService">1793</errorcode><errorinfo xmlns="http://korvel.example/KvIxoWebService"/></detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

// The frame common to all documents but the client fault, up to the body content.
const char kFrameBegin[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">)";
const char kFrameEnd[] = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

std::string ServerFault(const char* code)
{
    return std::string(kFrameBegin) +
           "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>An IXO Error has "
           "occurred.</faultstring><detail><errorcode "
           "xmlns=\"http://korvel.example/KvIxoWebService\">" +
           code +
           "</errorcode><errorinfo xmlns=\"http://korvel.example/KvIxoWebService\"/></detail>"
           "</SOAP-ENV:Fault>" +
           kFrameEnd;
}

class DocumentTest : public SimulatedDeviceTest {
protected:
    std::string Answer(const std::string& method)
    {
        std::string response = "previous content";
        soap_.SoapRequest(Envelope(method).c_str(), response);
        EXPECT_EQ(response.find('\n'), std::string::npos);
        EXPECT_EQ(response.find('\r'), std::string::npos);
        return response;
    }

    CIxoSoap soap_;
};

TEST_F(DocumentTest, ReadAndWriteResponses)
{
    EXPECT_EQ(Answer("<m:Write><nPort>851</nPort><indexGroup>16416</indexGroup>"
                     "<indexOffset>0</indexOffset><pData>QUJD</pData></m:Write>"),
              kWriteResponse);
    EXPECT_EQ(Answer("<m:Read><nPort>851</nPort><indexGroup>16416</indexGroup>"
                     "<indexOffset>0</indexOffset><cbLen>3</cbLen></m:Read>"),
              kReadResponse);
}

TEST_F(DocumentTest, ReadWriteResponse)
{
    EXPECT_EQ(Answer("<ReadWrite><nPort>851</nPort><indexGroup>1</indexGroup>"
                     "<indexOffset>4</indexOffset><cbRdLen>3</cbRdLen><pwrData>AQID</pwrData>"
                     "</ReadWrite>"),
              kReadWriteResponse);
}

TEST_F(DocumentTest, StateResponses)
{
    EXPECT_EQ(Answer("<ReadState><nPort>851</nPort></ReadState>"), kReadStateResponse);
    EXPECT_EQ(Answer("<WriteControl><nPort>851</nPort><ixoState>5</ixoState>"
                     "<deviceState>0</deviceState></WriteControl>"),
              kWriteControlResponse);
}

TEST_F(DocumentTest, ClientFaultsUseLowerCaseEncodingName)
{
    std::string response = "previous content";
    soap_.SoapRequest("<not-closed>", response);
    EXPECT_EQ(response, kClientFaultNotWellFormed);
}

TEST_F(DocumentTest, ServerFaultCarriesTheCodeInDecimal)
{
    // Index group 0xFFFF0000 + 1793 makes the device answer 1793.
    EXPECT_EQ(Answer("<Read><nPort>851</nPort><indexGroup>0xFFFF0701</indexGroup>"
                     "<indexOffset>0</indexOffset><cbLen>3</cbLen></Read>"),
              kServerFault1793);
    EXPECT_EQ(Answer("<Read><nPort>65535</nPort><indexGroup>1</indexGroup>"
                     "<indexOffset>0</indexOffset><cbLen>3</cbLen></Read>"),
              ServerFault("1861"));
}

TEST(ServerFault, GatewayCodesAndExtremes)
{
    struct Case {
        int32_t code;
        const char* text;
    };
    const Case cases[] = {
        {1864, "1864"}, {1802, "1802"}, {1, "1"}, {-1, "-1"},
        {INT32_MIN, "-2147483648"}, {INT32_MAX, "2147483647"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string response = "previous content";
        CIxoSoapImpl::SetServerFault(response, c.code);
        EXPECT_EQ(response, ServerFault(c.text));
    }
}

TEST(ConstantPieces, BeginAndEndFrameEveryDocument)
{
    // Whole documents and Begin pieces start with the declaration, End pieces close
    // the envelope; nothing contains a line break.
    const char* begins[] = {coSoapIxoFaultResponseBegin, coSoapReadResponseBegin,
                            coSoapWriteResponse, coSoapReadWriteResponseBegin,
                            coSoapReadStateResponseBegin, coSoapWriteControlResponse};
    for (const char* piece : begins) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(std::string(piece).rfind(kFrameBegin, 0), 0u);
    }
    const char* ends[] = {coSoapFaultResponseEnd, coSoapIxoFaultResponseEnd,
                          coSoapReadResponseEnd, coSoapWriteResponse,
                          coSoapReadWriteResponseEnd, coSoapReadStateResponseEnd,
                          coSoapWriteControlResponse};
    for (const char* piece : ends) {
        SCOPED_TRACE(piece);
        const std::string text = piece;
        ASSERT_GE(text.size(), strlen(kFrameEnd));
        EXPECT_EQ(text.substr(text.size() - strlen(kFrameEnd)), kFrameEnd);
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
    EXPECT_STREQ(coSoapNamespace, "http://korvel.example/KvIxoWebService");
    EXPECT_STREQ(coSoapMessageNamespace, "http://korvel.example/KvIxoWebService/message/");
}

}  // namespace
