// Fault-injection index groups and concurrent use of the device.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

using SimFaultTest = OpenSimTest;
using Clock = std::chrono::steady_clock;

TEST_F(SimFaultTest, FailureGroupsFailEveryRequestWithTheirCode) {
    RoxAddr addr = LocalAddr();
    const uint32_t codes[] = {1, 6, 18, 0x705, 0x745, 0x7FFF, 0xFFFF};
    for (uint32_t code : codes) {
        SCOPED_TRACE(code);
        const uint32_t group = KVIXO_SIM_GROUP_FAIL_BASE + code;
        unsigned char buffer[4] = {};
        uint32_t bytesRead = 7;
        const auto expected = static_cast<int32_t>(code);
        EXPECT_EQ(expected, IxoSyncReadReq(&addr, group, 0, 4, buffer));
        EXPECT_EQ(expected, IxoSyncReadReqEx(&addr, group, 0, 4, buffer, &bytesRead));
        EXPECT_EQ(0u, bytesRead);
        EXPECT_EQ(expected, IxoSyncWriteReq(&addr, group, 0, 4, buffer));
        EXPECT_EQ(expected,
                  IxoSyncReadWriteReqEx(&addr, group, 0, 4, buffer, 4, buffer, &bytesRead));
        EXPECT_EQ(expected, IxoSyncReadReq(&addr, group, 0, 0, nullptr)) << "length 0 too";
    }
}

TEST_F(SimFaultTest, GroupsNextToTheFailureRangeAreMemory) {
    RoxAddr addr = LocalAddr();
    const uint32_t groups[] = {KVIXO_SIM_GROUP_FAIL_BASE, KVIXO_SIM_GROUP_FAIL_BASE - 1,
                               KVIXO_SIM_GROUP_HALF_READ + 1, KVIXO_SIM_GROUP_DELAY_BASE - 1};
    for (uint32_t group : groups) {
        SCOPED_TRACE(group);
        unsigned char data[4] = {1, 2, 3, 4};
        unsigned char back[4] = {};
        uint32_t bytesRead = 0;
        ASSERT_EQ(0, IxoSyncWriteReq(&addr, group, 0, 4, data));
        ASSERT_EQ(0, IxoSyncReadReqEx(&addr, group, 0, 4, back, &bytesRead));
        EXPECT_EQ(4u, bytesRead);
        EXPECT_EQ(0, std::memcmp(data, back, 4));
    }
}

TEST_F(SimFaultTest, HalfReadGroupAnswersHalfOfEveryRead) {
    RoxAddr addr = LocalAddr();
    const uint32_t group = KVIXO_SIM_GROUP_HALF_READ;
    std::vector<unsigned char> data(9);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i + 1);
    ASSERT_EQ(0, IxoSyncWriteReq(&addr, group, 0, 9, data.data())) << "writes are whole";

    const uint32_t lengths[] = {0, 1, 2, 7, 9};
    for (uint32_t length : lengths) {
        SCOPED_TRACE(length);
        std::vector<unsigned char> back(9, 0xEE);
        uint32_t bytesRead = 99;
        ASSERT_EQ(0, IxoSyncReadReqEx(&addr, group, 0, length, back.data(), &bytesRead));
        EXPECT_EQ(length / 2, bytesRead);
        for (uint32_t i = 0; i < 9; ++i) {
            EXPECT_EQ(i < length / 2 ? data[i] : 0xEE, back[i]) << "byte " << i;
        }
    }

    // ReadWrite writes everything and answers half.
    unsigned char sent[6] = {50, 51, 52, 53, 54, 55};
    unsigned char back[6] = {};
    uint32_t bytesRead = 0;
    ASSERT_EQ(0, IxoSyncReadWriteReqEx(&addr, group, 0, 6, back, 6, sent, &bytesRead));
    EXPECT_EQ(3u, bytesRead);
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, group, 0, 12, back, &bytesRead));
    EXPECT_EQ(6u, bytesRead);
    EXPECT_EQ(0, std::memcmp(sent, back, 6));
}

TEST_F(SimFaultTest, DelayGroupAnswersAfterItsDelayAndActsAsMemory) {
    RoxAddr addr = LocalAddr();
    for (uint32_t delayMs : {0u, 40u, 120u}) {
        SCOPED_TRACE(delayMs);
        const uint32_t group = KVIXO_SIM_GROUP_DELAY_BASE + delayMs;
        unsigned char data[2] = {0xAB, 0xCD};
        unsigned char back[2] = {};
        const auto start = Clock::now();
        ASSERT_EQ(0, IxoSyncWriteReq(&addr, group, 10, 2, data));
        ASSERT_EQ(0, IxoSyncReadReq(&addr, group, 10, 2, back));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2 * delayMs));
        EXPECT_EQ(0, std::memcmp(data, back, 2));
    }
}

TEST_F(SimFaultTest, DelayedRequestStillFailsTargetChecksWithoutWaiting) {
    RoxAddr unknown = MakeAddr(9, 9, 9, 9, 9, 9, kPlcPort);
    unsigned char byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(KVIXO_SIM_ERR_TARGET_NOT_FOUND,
              IxoSyncReadReq(&unknown, KVIXO_SIM_GROUP_DELAY_BASE + 0xFFFF, 0, 1, &byte));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
}

TEST_F(SimFaultTest, DelayedRequestDoesNotBlockOtherCallers) {
    constexpr uint32_t kDelayMs = 1500;
    std::atomic<bool> delayedDone{false};
    std::thread delayed([&] {
        RoxAddr addr = LocalAddr();
        unsigned char byte = 0;
        EXPECT_EQ(0, IxoSyncReadReq(&addr, KVIXO_SIM_GROUP_DELAY_BASE + kDelayMs, 0, 1, &byte));
        delayedDone = true;
    });
    // Keep calling while the delayed request waits; none of these may wait for it.
    RoxAddr addr = LocalAddr();
    Clock::duration slowest{};
    while (!delayedDone) {
        unsigned char byte = 0;
        const auto start = Clock::now();
        ASSERT_EQ(0, IxoSyncReadReq(&addr, 1, 0, 1, &byte));
        const auto took = Clock::now() - start;
        if (took > slowest) slowest = took;
        std::this_thread::yield();
    }
    delayed.join();
    EXPECT_LT(slowest, std::chrono::milliseconds(kDelayMs / 2));
}

TEST_F(SimFaultTest, ConcurrentCallersSeeConsistentMemory) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 1000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            RoxAddr addr = LocalAddr();
            const auto offset = static_cast<uint32_t>(t * 256);
            for (int round = 0; round < kRounds; ++round) {
                unsigned char data[64];
                std::memset(data, (t * 31 + round) & 0xFF, sizeof data);
                unsigned char back[64] = {};
                uint32_t bytesRead = 0;
                uint16_t ixoState = 0;
                uint16_t deviceState = 0;
                // Own range in a shared area, plus a private area per thread.
                if (IxoSyncWriteReq(&addr, 1, offset, 64, data) != 0) ++failures;
                if (IxoSyncReadReqEx(&addr, 1, offset, 64, back, &bytesRead) != 0) ++failures;
                if (bytesRead != 64 || std::memcmp(data, back, 64) != 0) ++failures;
                if (IxoSyncReadWriteReqEx(&addr, 100 + t, 0, 64, back, 64, data, &bytesRead) != 0 ||
                    std::memcmp(data, back, 64) != 0) {
                    ++failures;
                }
                // Shared range that every thread overwrites; only the call must succeed.
                if (IxoSyncReadWriteReqEx(&addr, 2, 0, 64, back, 64, data, &bytesRead) != 0)
                    ++failures;
                if (IxoSyncWriteControlReq(&addr, static_cast<uint16_t>(t), 1, 0, nullptr) != 0)
                    ++failures;
                if (IxoSyncReadStateReq(&addr, &ixoState, &deviceState) != 0) ++failures;
                if (IxoPortOpen() != 30001) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(static_cast<uint32_t>(1 + kThreads * kRounds), KvIxoSimPortOpenCalls());
}

}  // namespace
}  // namespace simtest
