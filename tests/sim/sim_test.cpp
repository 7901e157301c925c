// The simulated device: port numbering, targets and their codes, memory, state, the
// fault-injection groups and the route table, as the gateway tests and the README rely on them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "KvIxoSim.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A clean device per test, the environment variables unset.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override { Use(nullptr, nullptr); }
    void TearDown() override { Use(nullptr, nullptr); }
    static void Use(const char* name, const char* value)
    {
        for (const char* n : {"KVIXO_SIM_NETID", "KVIXO_SIM_ROUTES", "KVIXO_SIM_FAIL_OPEN"})
            unsetenv(n);
        if (name != nullptr) setenv(name, value, 1);
        KvIxoSimReset();
    }
    RoxAddr local{{{10, 20, 30, 40, 1, 1}}, 851};
};

TEST_F(SimTest, PortNumberingAndFailedOpens)
{
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
    EXPECT_EQ(40001, IxoPortOpen());
    EXPECT_EQ(40001, IxoPortOpen()) << "an open port keeps its number";
    EXPECT_EQ(0, IxoPortClose());
    EXPECT_EQ(40002, IxoPortOpen());
    Use("KVIXO_SIM_FAIL_OPEN", "2");
    EXPECT_EQ(0, IxoPortOpen());
    EXPECT_EQ(0, IxoPortOpen());
    EXPECT_EQ(40001, IxoPortOpen());
    EXPECT_EQ(3u, KvIxoSimPortOpenCalls());
}

TEST_F(SimTest, TargetsGiveTheirCodes)
{
    Use("KVIXO_SIM_ROUTES", "A=1.2.3.4.5.6");
    unsigned char buffer[4] = {};
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoSyncReadReq(&local, 1, 0, 4, buffer));
    ASSERT_EQ(40001, IxoPortOpen());
    const struct { RoxAddr addr; int32_t code; } cases[] = {
        {local, 0}, {{{{1, 2, 3, 4, 5, 6}}, 65534}, 0},
        {{{{1, 2, 3, 4, 5, 7}}, 851}, KVIXO_SIM_ERR_NO_SUCH_TARGET},
        {{local.netId, 0}, KVIXO_SIM_ERR_PORT_ZERO}, {{local.netId, 65535}, KVIXO_SIM_ERR_OFFLINE}};
    for (auto c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(c.code, IxoSyncReadReq(&c.addr, 1, 0, 4, buffer));
        EXPECT_EQ(c.code, IxoSyncWriteControlReq(&c.addr, 1, 0, 0, nullptr));
    }
    EXPECT_EQ(KVIXO_SIM_ERR_NULL_POINTER, IxoSyncReadReq(&local, 1, 0, 4, nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_NULL_POINTER, IxoGetLocalAddress(nullptr));
}

TEST_F(SimTest, MemoryBoundsAndAreaLimit)
{
    ASSERT_EQ(40001, IxoPortOpen());
    Bytes data = {1, 2, 3, 4}, back(6, 0xEE), sent = {9, 8};
    uint32_t got = 0;
    ASSERT_EQ(0, IxoSyncWriteReq(&local, 7, 100, 4, data.data()));
    ASSERT_EQ(0, IxoSyncReadWriteReqEx(&local, 7, 101, 3, back.data(), 2, sent.data(), &got));
    EXPECT_EQ(Bytes({9, 8, 4, 0xEE, 0xEE, 0xEE}), back) << "written first, then read";
    EXPECT_EQ(3u, got);
    Bytes area(65536);
    EXPECT_EQ(0, IxoSyncReadReq(&local, 7, 0, 65536, area.data()));
    EXPECT_EQ(KVIXO_SIM_ERR_OUT_OF_AREA, IxoSyncReadReqEx(&local, 7, 65000, 537, area.data(), &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(KVIXO_SIM_ERR_OUT_OF_AREA, IxoSyncReadReq(&local, 7, 0xFFFFFFFFu, 2, area.data()))
        << "offset + length does not wrap";
    for (uint32_t group = 1; group < KVIXO_SIM_MAX_AREAS; ++group)
        ASSERT_EQ(0, IxoSyncWriteReq(&local, 0x10000 + group, 0, 1, data.data()));
    EXPECT_EQ(KVIXO_SIM_ERR_TOO_MANY_AREAS, IxoSyncReadReq(&local, 8, 0, 1, back.data()));
    EXPECT_EQ(0, IxoSyncReadReq(&local, 7, 100, 1, back.data())) << "existing areas keep working";
}

TEST_F(SimTest, StateStartsAtOneAndZero)
{
    ASSERT_EQ(40001, IxoPortOpen());
    uint16_t ixo = 0, device = 9;
    ASSERT_EQ(0, IxoSyncReadStateReq(&local, &ixo, &device));
    EXPECT_EQ(1, ixo);
    EXPECT_EQ(0, device);
    ASSERT_EQ(0, IxoSyncWriteControlReq(&local, 6, 3, 0, nullptr));
    ASSERT_EQ(0, IxoSyncReadStateReq(&local, &ixo, &device));
    EXPECT_EQ(6, ixo);
    EXPECT_EQ(3, device);
}

TEST_F(SimTest, FaultInjectionGroups)
{
    ASSERT_EQ(40001, IxoPortOpen());
    unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8}, back[8] = {};
    uint32_t got = 9;
    EXPECT_EQ(0x705, IxoSyncReadReqEx(&local, KVIXO_SIM_GROUP_FAIL_BASE + 0x705, 65536, 4, back, &got));
    EXPECT_EQ(0u, got);
    ASSERT_EQ(0, IxoSyncWriteReq(&local, KVIXO_SIM_GROUP_HALF_READ, 0, 8, data));
    ASSERT_EQ(0, IxoSyncReadReqEx(&local, KVIXO_SIM_GROUP_HALF_READ, 0, 7, back, &got));
    EXPECT_EQ(3u, got) << "half of 7, rounded down";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, IxoSyncReadReq(&local, KVIXO_SIM_GROUP_DELAY_BASE + 50, 0, 1, back));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(SimTest, RouteTable)
{
    Use("KVIXO_SIM_ROUTES", "A=1.2.3.4.5.6;;bad;=1.1.1.1.1.1; Spaced = 5.5.5.5.5.5 ");
    ASSERT_EQ(40001, IxoPortOpen());
    RoxAddr router{local.netId, IXO_ROUTER_PORT};
    unsigned char count[4] = {}, table[3 * IXO_ROUTE_ENTRY_SIZE] = {};
    uint32_t got = 0;
    ASSERT_EQ(0, IxoSyncReadReq(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_COUNT, 4, count));
    EXPECT_EQ(2, count[0]);
    ASSERT_EQ(0, IxoSyncReadReqEx(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_ENTRIES,
                                  sizeof table, table, &got));
    ASSERT_EQ(2u * IXO_ROUTE_ENTRY_SIZE, got);
    EXPECT_STREQ("Spaced", reinterpret_cast<char*>(table + IXO_ROUTE_ENTRY_SIZE + IXO_ROUTE_NAME_OFFSET));
    EXPECT_EQ(0, std::memcmp("\5\5\5\5\5\5", table + IXO_ROUTE_ENTRY_SIZE + IXO_ROUTE_NETID_OFFSET, 6));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncWriteReq(&router, 3, 2, 4, count));
}

}  // namespace
