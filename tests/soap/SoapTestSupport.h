// Helpers shared by the gateway tests: request envelopes, the client fault and a
// gateway on a clean simulated device.
#ifndef SOAP_TEST_SUPPORT_H
#define SOAP_TEST_SUPPORT_H

#include <stdlib.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "IxoSoap.h"
#include "KvIxoSim.h"

// Wraps the method element in an envelope and a body sharing the prefix "soap".
inline std::string Envelope(const std::string& method)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<soap:Body>" + method + "</soap:Body></soap:Envelope>";
}

// The client fault document carrying faultString.
inline std::string ClientFault(const std::string& faultString)
{
    return R"(<?xml version="1.0" encoding="utf-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:ns1="http://korvel.example/KvIxoWebService/message/"><SOAP-ENV:Body SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode><faultstring>)" +
           faultString + "</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

// A gateway on the simulated device. The simulator and its environment are
// process-wide: every test starts from the defaults and leaves them behind. A
// gateway believes its port stays open, so each device reset gets a fresh gateway.
class GatewayTest : public ::testing::Test {
protected:
    void SetUp() override { Configure(); }
    void TearDown() override
    {
        soap_.reset();
        ResetDevice(nullptr, nullptr);
    }

    // A fresh gateway on a reset device, with one simulator variable set when name is given.
    void Configure(const char* name = nullptr, const char* value = nullptr)
    {
        soap_.reset();
        ResetDevice(name, value);
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

private:
    static void ResetDevice(const char* name, const char* value)
    {
        unsetenv("KVIXO_SIM_FAIL_OPEN");
        unsetenv("KVIXO_SIM_NETID");
        unsetenv("KVIXO_SIM_ROUTES");
        if (name != nullptr) {
            setenv(name, value, 1);
        }
        KvIxoSimReset();
    }
};

#endif  // SOAP_TEST_SUPPORT_H
