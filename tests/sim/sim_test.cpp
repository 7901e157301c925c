// What the simulated device does that the gateway tests do not reach: port numbering and
// closing, null pointers, bounds that must not wrap, and the area limit.
#include <gtest/gtest.h>

#include <vector>

#include "KvIxoSim.h"

namespace {

TEST(Sim, PortsNullPointersBoundsAndTheAreaLimit)
{
    KvIxoSimReset();
    RoxAddr local{{{10, 20, 30, 40, 1, 1}}, 851};
    std::vector<unsigned char> area(65536);
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoSyncReadReq(&local, 1, 0, 1, area.data()));
    EXPECT_EQ(40001, IxoPortOpen());
    EXPECT_EQ(40001, IxoPortOpen()) << "an open port keeps its number";
    EXPECT_EQ(0, IxoPortClose());
    ASSERT_EQ(40002, IxoPortOpen());

    EXPECT_EQ(KVIXO_SIM_ERR_NULL_POINTER, IxoSyncReadReq(&local, 1, 0, 4, nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_NULL_POINTER, IxoGetLocalAddress(nullptr));
    EXPECT_EQ(0, IxoSyncReadReq(&local, 1, 0, 0, nullptr)) << "length 0 needs no buffer";
    uint32_t got = 9;
    EXPECT_EQ(0, IxoSyncReadReq(&local, 7, 0, 65536, area.data()));
    EXPECT_EQ(KVIXO_SIM_ERR_OUT_OF_AREA, IxoSyncReadReqEx(&local, 7, 65000, 537, area.data(), &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(KVIXO_SIM_ERR_OUT_OF_AREA, IxoSyncReadReq(&local, 7, 0xFFFFFFFFu, 2, area.data())) << "offset + length does not wrap";
    for (uint32_t group = 2; group < KVIXO_SIM_MAX_AREAS; ++group)
        ASSERT_EQ(0, IxoSyncWriteReq(&local, 0x10000 + group, 0, 1, area.data()));
    EXPECT_EQ(KVIXO_SIM_ERR_TOO_MANY_AREAS, IxoSyncReadReq(&local, 8, 0, 1, area.data()));
    EXPECT_EQ(0, IxoSyncReadReq(&local, 7, 100, 1, area.data())) << "existing areas keep working";
}

}  // namespace
