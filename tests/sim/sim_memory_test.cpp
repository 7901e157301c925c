// Memory areas, bounds, the area limit, ReadWrite, device state, the fault-injection
// groups and concurrent use of the device.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

TEST_F(OpenSimTest, AreasKeepWhatIsWrittenAndReadWriteWritesFirst) {
    RoxAddr addr = LocalAddr();
    Bytes data = {1, 2, 3, 4}, back(6, 0xEE), sent = {9, 8};
    uint32_t bytesRead = 0;
    ASSERT_EQ(0, IxoSyncWriteReq(&addr, 7, 100, 4, data.data()));
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, 7, 99, 6, back.data(), &bytesRead));
    EXPECT_EQ(6u, bytesRead);
    EXPECT_EQ(Bytes({0, 1, 2, 3, 4, 0}), back) << "areas start zero-filled";
    ASSERT_EQ(0, IxoSyncReadWriteReqEx(&addr, 7, 101, 3, back.data(), 2, sent.data(), &bytesRead));
    EXPECT_EQ(3u, bytesRead);
    EXPECT_EQ(Bytes({9, 8, 4, 3, 4, 0}), back) << "written at 101, then 3 bytes read from there";
    // Index group, port and net id (a default route) each select their own area.
    for (auto [other, group] : {std::pair{LocalAddr(), 8u}, {LocalAddr(852), 7u},
                                {RoxAddr{{{10, 20, 30, 41, 1, 1}}, kPlcPort}, 7u}}) {
        ASSERT_EQ(0, IxoSyncReadReq(&other, group, 101, 1, back.data()));
        EXPECT_EQ(0, back[0]) << +other.netId.b[3] << ":" << other.port << "/" << group;
    }
    EXPECT_EQ(0, IxoSyncReadReq(&addr, 7, 0, 0, nullptr)) << "length 0 needs no buffer";
    EXPECT_EQ(0, IxoSyncWriteReq(&addr, 7, 0, 0, nullptr));
}

TEST_F(OpenSimTest, AccessesMustLieInsideTheArea) {
    struct Case { const char* what; uint32_t offset, length; int32_t expected; };
    const Case cases[] = {
        {"whole area", 0, 65536, 0}, {"ends exactly at the end", 65000, 536, 0},
        {"empty at the end", 65536, 0, 0},
        {"one byte over", 65000, 537, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"offset near 2^32 does not wrap", 0xFFFFFFFFu, 2, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"length near 2^32 does not wrap", 16, 0xFFFFFFF0u, KVIXO_SIM_ERR_INVALID_OFFSET}};
    RoxAddr addr = LocalAddr();
    Bytes data(65536, 0x33), ones(600, 0x11);
    uint32_t bytesRead = 77;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, IxoSyncWriteReq(&addr, 2, c.offset, c.length, data.data()));
        EXPECT_EQ(c.expected, IxoSyncReadReqEx(&addr, 2, c.offset, c.length, data.data(), &bytesRead));
        EXPECT_EQ(c.expected == 0 ? c.length : 0u, bytesRead);
    }
    // A failed Write, or a ReadWrite whose read range does not fit, writes nothing.
    ASSERT_EQ(KVIXO_SIM_ERR_INVALID_OFFSET, IxoSyncWriteReq(&addr, 3, 65000, 537, ones.data()));
    ASSERT_EQ(KVIXO_SIM_ERR_INVALID_OFFSET,
              IxoSyncReadWriteReqEx(&addr, 3, 65000, 537, data.data(), 10, ones.data(), &bytesRead));
    ASSERT_EQ(0, IxoSyncReadReq(&addr, 3, 65000, 536, data.data()));
    EXPECT_EQ(Bytes(536, 0), Bytes(data.begin(), data.begin() + 536));
}

TEST_F(OpenSimTest, AtMost1024AreasExist) {
    RoxAddr addr = LocalAddr(), otherPort = LocalAddr(852);
    unsigned char byte = 1;
    for (uint32_t group = 0; group < KVIXO_SIM_MAX_AREAS; ++group) {
        ASSERT_EQ(0, IxoSyncWriteReq(&addr, 0x10000 + group, 0, 1, &byte)) << "area " << group;
    }
    uint32_t bytesRead = 9;
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY, IxoSyncReadReqEx(&addr, 5, 0, 1, &byte, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY, IxoSyncWriteReq(&otherPort, 0x10000, 0, 1, &byte));
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY, IxoSyncReadReq(&addr, 5, 0, 0, nullptr)) << "length 0";
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_OFFSET, IxoSyncReadReq(&addr, 5, 65536, 1, &byte));
    byte = 0;
    ASSERT_EQ(0, IxoSyncReadReq(&addr, 0x10000 + 1023, 0, 1, &byte)) << "existing areas work";
    EXPECT_EQ(1, byte);
}

TEST_F(OpenSimTest, StateStartsAtFiveAndZeroAndFollowsWriteControl) {
    const auto stateOf = [](RoxAddr target) {
        uint16_t ixoState = 0, deviceState = 99;
        EXPECT_EQ(0, IxoSyncReadStateReq(&target, &ixoState, &deviceState));
        return std::pair<int, int>(ixoState, deviceState);
    };
    RoxAddr addr = LocalAddr();
    EXPECT_EQ(std::pair(5, 0), stateOf(addr));
    unsigned char payload[3] = {1, 2, 3};
    ASSERT_EQ(0, IxoSyncWriteControlReq(&addr, 0xFFFF, 7, sizeof payload, payload));
    EXPECT_EQ(std::pair(0xFFFF, 7), stateOf(addr));
    EXPECT_EQ(std::pair(5, 0), stateOf(LocalAddr(852))) << "each target has its own state";
}

TEST_F(OpenSimTest, FailureGroupsFailEveryRequestWithTheirCode) {
    RoxAddr addr = LocalAddr();
    unsigned char data[4] = {1, 2, 3, 4}, back[4] = {};
    uint32_t bytesRead = 7;
    for (int32_t code : {1, 0x705, 0xFFFF}) {
        SCOPED_TRACE(code);
        const uint32_t group = KVIXO_SIM_GROUP_FAIL_BASE + static_cast<uint32_t>(code);
        // Offset past the area: the injected code comes before the bounds.
        EXPECT_EQ(code, IxoSyncReadReqEx(&addr, group, 65536, 4, back, &bytesRead));
        EXPECT_EQ(0u, bytesRead);
        EXPECT_EQ(code, IxoSyncWriteReq(&addr, group, 0, 4, data));
        EXPECT_EQ(code, IxoSyncReadWriteReqEx(&addr, group, 0, 4, back, 4, data, &bytesRead));
        EXPECT_EQ(code, IxoSyncReadReq(&addr, group, 0, 0, nullptr)) << "length 0 too";
    }
    EXPECT_EQ(0, IxoSyncWriteReq(&addr, KVIXO_SIM_GROUP_FAIL_BASE, 0, 4, data)) << "c = 0: memory";
    EXPECT_EQ(0, IxoSyncReadReq(&addr, KVIXO_SIM_GROUP_FAIL_BASE, 0, 4, back));
}

TEST_F(OpenSimTest, HalfReadGroupAnswersHalfOfEveryRead) {
    RoxAddr addr = LocalAddr();
    const uint32_t group = KVIXO_SIM_GROUP_HALF_READ;
    unsigned char data[4] = {1, 2, 3, 4}, sent[4] = {50, 51, 52, 53}, back[8];
    std::memset(back, 0xEE, sizeof back);
    uint32_t bytesRead = 99;
    ASSERT_EQ(0, IxoSyncWriteReq(&addr, group, 0, 4, data));
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, group, 0, 3, back, &bytesRead));
    EXPECT_EQ(1u, bytesRead) << "half of 3, rounded down";
    EXPECT_EQ(0, std::memcmp("\x01\xEE\xEE", back, 3));
    ASSERT_EQ(0, IxoSyncReadWriteReqEx(&addr, group, 0, 4, back, 4, sent, &bytesRead));
    EXPECT_EQ(2u, bytesRead);
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, group, 0, 8, back, &bytesRead));
    EXPECT_EQ(4u, bytesRead);
    EXPECT_EQ(0, std::memcmp(sent, back, 4)) << "ReadWrite writes all of its data";
}

// A delayed request waits without holding up other callers, who meanwhile keep
// reading back what they wrote to their own range of a shared area.
TEST_F(OpenSimTest, DelayGroupWaitsWithoutHoldingUpConcurrentCallers) {
    constexpr uint32_t kDelayMs = 1000;
    std::atomic<bool> delayedDone{false};
    std::atomic<int> failures{0}, opens{0};
    std::vector<Clock::duration> slowest(3);
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            RoxAddr addr = LocalAddr();
            for (int round = 0; round < 10 || !delayedDone; ++round, ++opens) {
                unsigned char data[64], back[64] = {};
                std::memset(data, (t * 31 + round) & 0xFF, sizeof data);
                uint32_t bytesRead = 0;
                const auto start = Clock::now();
                failures += IxoSyncWriteReq(&addr, 1, t * 64, 64, data) != 0 ||  // own range
                            IxoSyncReadReqEx(&addr, 1, t * 64, 64, back, &bytesRead) != 0 ||
                            bytesRead != 64 || std::memcmp(data, back, 64) != 0;
                failures += IxoPortOpen() != 30001;
                slowest[t] = std::max(slowest[t], Clock::now() - start);
            }
        });
    }
    RoxAddr addr = LocalAddr();
    unsigned char sent[2] = {0xAB, 0xCD}, back[2] = {};
    uint32_t bytesRead = 0;
    const auto start = Clock::now();
    EXPECT_EQ(0, IxoSyncReadWriteReqEx(&addr, KVIXO_SIM_GROUP_DELAY_BASE + kDelayMs, 10, 2, back, 2,
                                       sent, &bytesRead));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kDelayMs));
    EXPECT_EQ(0, std::memcmp(sent, back, 2)) << "delayed groups are memory";
    delayedDone = true;
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1u + opens, KvIxoSimPortOpenCalls());
    EXPECT_LT(*std::max_element(slowest.begin(), slowest.end()), std::chrono::milliseconds(kDelayMs / 2));
}

}  // namespace
}  // namespace simtest
