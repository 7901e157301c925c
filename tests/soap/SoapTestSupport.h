// Helpers shared by the gateway tests: request envelopes and a clean simulated device.
#ifndef SOAP_TEST_SUPPORT_H
#define SOAP_TEST_SUPPORT_H

#include <stdlib.h>

#include <string>

#include <gtest/gtest.h>

#include "KvIxoSim.h"

// Wraps the method element in an envelope and a body sharing the prefix "soap".
inline std::string Envelope(const std::string& method)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\">"
           "<soap:Body>" + method + "</soap:Body></soap:Envelope>";
}

// The simulator and its environment are process-wide: every test starts from
// the defaults and leaves them behind.
class SimulatedDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ResetDevice(); }
    void TearDown() override { ResetDevice(); }

    static void ResetDevice()
    {
        unsetenv("KVIXO_SIM_FAIL_OPEN");
        unsetenv("KVIXO_SIM_NETID");
        unsetenv("KVIXO_SIM_ROUTES");
        KvIxoSimReset();
    }
    // Sets one simulator variable and makes the simulator read it.
    static void SetDeviceEnv(const char* name, const char* value)
    {
        setenv(name, value, 1);
        KvIxoSimReset();
    }
};

#endif  // SOAP_TEST_SUPPORT_H
