// Port opening, open-failure injection, the local address and requests without a port.
#include <functional>
#include <string>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

using SimPortTest = SimTest;

TEST_F(SimPortTest, OpenNumbersEachSuccessfulOpenAndReopenKeepsTheNumber) {
    EXPECT_EQ(30001, IxoPortOpen());
    EXPECT_EQ(30001, IxoPortOpen());
    EXPECT_EQ(0, IxoPortClose());
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
    EXPECT_EQ(30002, IxoPortOpen());
    EXPECT_EQ(0, IxoPortClose());
    EXPECT_EQ(30003, IxoPortOpen());
    EXPECT_EQ(4u, KvIxoSimPortOpenCalls());

    KvIxoSimReset();
    EXPECT_EQ(0u, KvIxoSimPortOpenCalls());
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose()) << "reset closes the port";
    EXPECT_EQ(30001, IxoPortOpen()) << "reset restarts the numbering";
}

TEST_F(SimPortTest, CloseWithoutOpenFails) {
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
}

struct FailOpenCase {
    const char* value;
    unsigned failingCalls;  // calls expected to return 0
};

TEST_F(SimPortTest, FailOpenMakesTheFirstCallsFail) {
    constexpr unsigned kMostChecked = 10;
    const FailOpenCase cases[] = {
        {"0", 0},
        {"1", 1},
        {"3", 3},
        {"", 0},
        {"abc", 0},
        {"-2", 0},
        {"2x", 0},
        {" 2", 0},
        {"+2", 0},
        {"007", 7},
        {"99999999999999999999999999", kMostChecked + 1},
    };
    for (const FailOpenCase& c : cases) {
        SCOPED_TRACE(std::string("KVIXO_SIM_FAIL_OPEN=\"") + c.value + "\"");
        UseEnvironment("KVIXO_SIM_FAIL_OPEN", c.value);
        const bool succeeds = c.failingCalls < kMostChecked;
        const unsigned failing = succeeds ? c.failingCalls : kMostChecked;
        for (unsigned call = 0; call < failing; ++call) {
            EXPECT_EQ(0, IxoPortOpen()) << "call " << call + 1;
        }
        if (succeeds) {
            EXPECT_EQ(30001, IxoPortOpen()) << "the first success is numbered 1";
            EXPECT_EQ(30001, IxoPortOpen());
        }
        EXPECT_EQ(failing + (succeeds ? 2u : 0u), KvIxoSimPortOpenCalls());
    }
}

TEST_F(SimPortTest, FailedOpenLeavesRequestsWithoutPort) {
    UseEnvironment("KVIXO_SIM_FAIL_OPEN", "1");
    ASSERT_EQ(0, IxoPortOpen());
    RoxAddr addr = LocalAddr();
    unsigned char byte = 0;
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoSyncReadReq(&addr, 1, 0, 1, &byte));
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
}

struct NetIdCase {
    const char* value;  // null: variable unset
    RoxNetId expected;
};

TEST_F(SimPortTest, LocalAddressComesFromTheEnvironmentWhenValid) {
    const RoxNetId fallback{{10, 20, 30, 40, 1, 1}};
    const NetIdCase cases[] = {
        {nullptr, fallback},
        {"1.2.3.4.5.6", {{1, 2, 3, 4, 5, 6}}},
        {"0.0.0.0.0.0", {{0, 0, 0, 0, 0, 0}}},
        {"255.255.255.255.255.255", {{255, 255, 255, 255, 255, 255}}},
        {"192.168.001.010.1.1", {{192, 168, 1, 10, 1, 1}}},
        {"", fallback},
        {"256.1.1.1.1.1", fallback},
        {"1.2.3.4.5.1000", fallback},
        {"1.2.3.4.5", fallback},
        {"1.2.3.4.5.6.7", fallback},
        {"1.2.3.4.5.6.", fallback},
        {".1.2.3.4.5.6", fallback},
        {"1..3.4.5.6", fallback},
        {"1.2.3.4.5.6 ", fallback},
        {" 1.2.3.4.5.6", fallback},
        {"1.2.3.4.5.-6", fallback},
        {"+1.2.3.4.5.6", fallback},
        {"1.2.3.4.5.x", fallback},
        {"1,2,3,4,5,6", fallback},
        {"99999999999999999999.1.1.1.1.1", fallback},
    };
    for (const NetIdCase& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? std::string("KVIXO_SIM_NETID=\"") + c.value + "\""
                                        : std::string("KVIXO_SIM_NETID unset"));
        if (c.value != nullptr) {
            UseEnvironment("KVIXO_SIM_NETID", c.value);
        } else {
            ClearEnvironment();
        }
        RoxAddr addr{};
        addr.port = 0xBEEF;
        ASSERT_EQ(0, IxoGetLocalAddress(&addr)) << "no open port is needed";
        for (int i = 0; i < 6; ++i) EXPECT_EQ(c.expected.b[i], addr.netId.b[i]) << "byte " << i;
        EXPECT_EQ(0xBEEF, addr.port) << "only the net id is written";
    }
}

TEST_F(SimPortTest, LocalAddressIsReadOnceUntilReset) {
    UseEnvironment("KVIXO_SIM_NETID", "1.2.3.4.5.6");
    setenv("KVIXO_SIM_NETID", "9.9.9.9.9.9", 1);
    RoxAddr addr{};
    ASSERT_EQ(0, IxoGetLocalAddress(&addr));
    EXPECT_EQ(1, addr.netId.b[0]);
    KvIxoSimReset();
    ASSERT_EQ(0, IxoGetLocalAddress(&addr));
    EXPECT_EQ(9, addr.netId.b[0]);
}

TEST_F(SimPortTest, LocalAddressRejectsNull) {
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, IxoGetLocalAddress(nullptr));
}

// Every request kind, called with valid arguments against the local PLC port.
std::vector<std::pair<const char*, std::function<int32_t()>>> EveryRequest() {
    static unsigned char buffer[16];
    static uint32_t bytesRead;
    static uint16_t ixoState;
    static uint16_t deviceState;
    static RoxAddr addr;
    addr = LocalAddr();
    return {
        {"Read", [] { return IxoSyncReadReq(&addr, 1, 0, 4, buffer); }},
        {"ReadEx", [] { return IxoSyncReadReqEx(&addr, 1, 0, 4, buffer, &bytesRead); }},
        {"Write", [] { return IxoSyncWriteReq(&addr, 1, 0, 4, buffer); }},
        {"ReadWrite",
         [] { return IxoSyncReadWriteReqEx(&addr, 1, 0, 4, buffer, 4, buffer + 8, &bytesRead); }},
        {"ReadState", [] { return IxoSyncReadStateReq(&addr, &ixoState, &deviceState); }},
        {"WriteControl", [] { return IxoSyncWriteControlReq(&addr, 5, 0, 0, nullptr); }},
        {"RouteCount",
         [] {
             RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
             return IxoSyncReadReq(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_COUNT, 4,
                                   buffer);
         }},
    };
}

TEST_F(SimPortTest, EveryRequestNeedsAnOpenPort) {
    const auto requests = EveryRequest();
    for (const auto& request : requests) {
        SCOPED_TRACE(request.first);
        EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, request.second()) << "never opened";
    }
    ASSERT_EQ(30001, IxoPortOpen());
    for (const auto& request : requests) {
        SCOPED_TRACE(request.first);
        EXPECT_EQ(0, request.second()) << "open";
    }
    ASSERT_EQ(0, IxoPortClose());
    for (const auto& request : requests) {
        SCOPED_TRACE(request.first);
        EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, request.second()) << "closed again";
    }
}

}  // namespace
}  // namespace simtest
