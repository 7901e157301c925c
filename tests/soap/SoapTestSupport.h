// A gateway on a clean simulated device, and the documents its tests compare with.
#ifndef SOAP_TEST_SUPPORT_H
#define SOAP_TEST_SUPPORT_H

#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "IxoSoap.h"
#include "KvIxoSim.h"

const std::string kFrame =
    R"(<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/">)";
const std::string kFrameEnd = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";

inline std::string Envelope(const std::string& method)
{
    return "<soap:Envelope><soap:Body>" + method + "</soap:Body></soap:Envelope>";
}

// The client fault alone names its encoding in lower case.
inline std::string ClientFault(const std::string& faultString)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>" + kFrame.substr(38) +
           "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>" + faultString +
           "</faultstring></SOAP-ENV:Fault>" + kFrameEnd;
}

inline std::string ServerFault(int32_t code)
{
    return kFrame + "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>An IXO Error has "
           "occurred.</faultstring><detail><errorcode xmlns=\"http://korvel.example/KvIxoWebService\">" +
           std::to_string(code) + "</errorcode><errorinfo xmlns=\"http://korvel.example/KvIxoWebService\"/>"
           "</detail></SOAP-ENV:Fault>" + kFrameEnd;
}

// The simulator is process-wide: each test starts from its defaults. A gateway believes
// its port stays open, so each device reset gets a fresh gateway.
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override { Configure(); }
    void TearDown() override { Configure(), soap_.reset(); }
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

    std::unique_ptr<CIxoSoap> soap_;
};

#endif  // SOAP_TEST_SUPPORT_H
