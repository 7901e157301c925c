// Shared set-up of the simulated device tests: a clean device per test.
#ifndef KV_SIM_TEST_FIXTURE_H
#define KV_SIM_TEST_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "KvIxoSim.h"

namespace simtest {

constexpr uint16_t kPlcPort = 851;

inline RoxAddr MakeAddr(unsigned char a, unsigned char b, unsigned char c, unsigned char d,
                        unsigned char e, unsigned char f, uint16_t port) {
    RoxAddr addr{};
    addr.netId = RoxNetId{{a, b, c, d, e, f}};
    addr.port = port;
    return addr;
}

// The default local net id 10.20.30.40.1.1.
inline RoxAddr LocalAddr(uint16_t port = kPlcPort) { return MakeAddr(10, 20, 30, 40, 1, 1, port); }

// Every test starts with the environment variables unset and a reset device.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { ClearEnvironment(); }
    void TearDown() override { ClearEnvironment(); }

    static void ClearEnvironment() {
        unsetenv("KVIXO_SIM_NETID");
        unsetenv("KVIXO_SIM_ROUTES");
        unsetenv("KVIXO_SIM_FAIL_OPEN");
        KvIxoSimReset();
    }

    // Sets one variable and lets the device read the environment again.
    static void UseEnvironment(const char* name, const char* value) {
        setenv(name, value, 1);
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
