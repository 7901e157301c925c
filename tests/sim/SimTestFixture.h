// Shared set-up of the simulated device tests: a clean device per test.
#ifndef KV_SIM_TEST_FIXTURE_H
#define KV_SIM_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "KvIxoSim.h"

namespace simtest {

constexpr uint16_t kPlcPort = 851;

// A target at the default local net id 10.20.30.40.1.1.
inline RoxAddr LocalAddr(uint16_t port = kPlcPort) { return RoxAddr{{{10, 20, 30, 40, 1, 1}}, port}; }

// Every test starts with the environment variables unset and a reset device.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { ClearEnvironment(); }
    void TearDown() override { ClearEnvironment(); }

    static void ClearEnvironment() {
        for (const char* name : {"KVIXO_SIM_NETID", "KVIXO_SIM_ROUTES", "KVIXO_SIM_FAIL_OPEN"})
            unsetenv(name);
        KvIxoSimReset();
    }

    // Sets one variable (null: unsets it) and lets the device read the environment again.
    static void UseEnvironment(const char* name, const char* value) {
        value != nullptr ? setenv(name, value, 1) : unsetenv(name);
        KvIxoSimReset();
    }
};

// Same, with the port already open.
class OpenSimTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(KVIXO_SIM_PORT_BASE + 1, IxoPortOpen());
    }
};

}  // namespace simtest

#endif  // KV_SIM_TEST_FIXTURE_H
