// The answer documents, written out in full.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

const char kServerFault1793[] =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>An IXO Error has occurred.</faultstring><detail><errorcode xmlns="http://korvel.example/KvIxoWebService">1793</errorcode><errorinfo xmlns="http://korvel.example/KvIxoWebService"/></detail></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

using DocumentTest = GatewayTest;

TEST_F(DocumentTest, EveryAnswerByteForByte)
{
    const struct { const char* method; const char* document; } cases[] = {
        {"<m:Write><nPort>851</nPort><indexGroup>4096</indexGroup><indexOffset>0</indexOffset>"
         "<pData>QUJD</pData></m:Write>",
         R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:WriteResponse></ns1:WriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)"},
        {"<m:Read><nPort>851</nPort><indexGroup>4096</indexGroup><indexOffset>0</indexOffset>"
         "<cbLen>3</cbLen></m:Read>",
         R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadResponse><ppData>QUJD</ppData></ns1:ReadResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)"},
        {"<ReadWrite><nPort>851</nPort><indexGroup>1</indexGroup><indexOffset>4</indexOffset>"
         "<cbRdLen>3</cbRdLen><pwrData>AQID</pwrData></ReadWrite>",
         R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadWriteResponse><ppRdData>AQID</ppRdData></ns1:ReadWriteResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)"},
        {"<ReadState><nPort>851</nPort></ReadState>",
         R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:ReadStateResponse><pIxoState>1</pIxoState><pDeviceState>0</pDeviceState></ns1:ReadStateResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)"},
        {"<WriteControl><nPort>851</nPort><ixoState>5</ixoState><deviceState>0</deviceState>"
         "</WriteControl>",
         R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><ns1:WriteControlResponse></ns1:WriteControlResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>)"},
        // Index group 0xFFFF0000 + 1793 makes the device answer 1793.
        {"<Read><nPort>851</nPort><indexGroup>0xFFFF0701</indexGroup><indexOffset>0</indexOffset>"
         "<cbLen>3</cbLen></Read>",
         kServerFault1793},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        EXPECT_EQ(Answer(c.method), c.document);
    }
    // The client fault alone names its encoding in lower case.
    EXPECT_EQ(AnswerText("<not-closed>"),
              R"(<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>Well-formedness constraint violation</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>)");
}

TEST(ServerFault, CodeInDecimalAtTheExtremes)
{
    for (const int32_t code : {-1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(code);
        std::string expected = kServerFault1793;
        expected.replace(expected.find(">1793<") + 1, 4, std::to_string(code));
        std::string response = "previous content";
        CIxoSoapImpl::SetServerFault(response, code);
        EXPECT_EQ(response, expected);
    }
}

}  // namespace
