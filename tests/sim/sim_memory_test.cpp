// Memory areas, bounds, the area limit, ReadWrite, device state and argument checks.
#include <array>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

using SimMemoryTest = OpenSimTest;

std::vector<unsigned char> Pattern(std::size_t length, unsigned char seed) {
    std::vector<unsigned char> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return bytes;
}

TEST_F(SimMemoryTest, AreasStartZeroedAndKeepWhatIsWritten) {
    RoxAddr addr = LocalAddr();
    std::vector<unsigned char> read(32, 0xAA);
    uint32_t bytesRead = 99;
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, 0x4020, 100, 32, read.data(), &bytesRead));
    EXPECT_EQ(32u, bytesRead);
    EXPECT_EQ(std::vector<unsigned char>(32, 0), read);

    auto written = Pattern(32, 1);
    ASSERT_EQ(0, IxoSyncWriteReq(&addr, 0x4020, 100, 32, written.data()));
    ASSERT_EQ(0, IxoSyncReadReqEx(&addr, 0x4020, 100, 32, read.data(), &bytesRead));
    EXPECT_EQ(written, read);

    // A read straddling the written range sees zeros around it.
    std::vector<unsigned char> wide(40, 0xAA);
    ASSERT_EQ(0, IxoSyncReadReq(&addr, 0x4020, 96, 40, wide.data()));
    EXPECT_EQ(std::vector<unsigned char>(4, 0),
              std::vector<unsigned char>(wide.begin(), wide.begin() + 4));
    EXPECT_EQ(written, std::vector<unsigned char>(wide.begin() + 4, wide.begin() + 36));
    EXPECT_EQ(std::vector<unsigned char>(4, 0),
              std::vector<unsigned char>(wide.begin() + 36, wide.end()));
}

TEST_F(SimMemoryTest, NetIdPortAndIndexGroupEachSelectTheirOwnArea) {
    UseEnvironment("KVIXO_SIM_ROUTES", "Other=1.2.3.4.5.6");
    ASSERT_EQ(30001, IxoPortOpen());
    RoxAddr base = LocalAddr();
    const unsigned char marker = 0x5A;
    ASSERT_EQ(0, IxoSyncWriteReq(&base, 7, 0, 1, const_cast<unsigned char*>(&marker)));

    struct Neighbour {
        const char* what;
        RoxAddr addr;
        uint32_t group;
    };
    const Neighbour neighbours[] = {
        {"other index group", LocalAddr(), 8},
        {"other port", LocalAddr(852), 7},
        {"other net id", MakeAddr(1, 2, 3, 4, 5, 6, kPlcPort), 7},
    };
    for (Neighbour n : neighbours) {
        SCOPED_TRACE(n.what);
        unsigned char byte = 0xFF;
        ASSERT_EQ(0, IxoSyncReadReq(&n.addr, n.group, 0, 1, &byte));
        EXPECT_EQ(0, byte);
    }
    unsigned char byte = 0;
    ASSERT_EQ(0, IxoSyncReadReq(&base, 7, 0, 1, &byte));
    EXPECT_EQ(marker, byte);
}

struct BoundsCase {
    const char* what;
    uint32_t offset;
    uint32_t length;
    int32_t expected;
};

TEST_F(SimMemoryTest, AccessesMustLieInsideTheArea) {
    const BoundsCase cases[] = {
        {"whole area", 0, 65536, 0},
        {"last byte", 65535, 1, 0},
        {"ends exactly at the end", 65000, 536, 0},
        {"empty at the end", 65536, 0, 0},
        {"one byte over", 65000, 537, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"whole area plus one", 0, 65537, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"empty past the end", 65537, 0, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"offset near 2^32 does not wrap", 0xFFFFFFFFu, 2, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"length near 2^32 does not wrap", 16, 0xFFFFFFF0u, KVIXO_SIM_ERR_INVALID_OFFSET},
        {"both at the top", 0xFFFFFFFFu, 0xFFFFFFFFu, KVIXO_SIM_ERR_INVALID_OFFSET},
    };
    RoxAddr addr = LocalAddr();
    for (const BoundsCase& c : cases) {
        SCOPED_TRACE(c.what);
        // Buffers are only large enough for accesses that may succeed.
        const std::size_t size = c.expected == 0 ? c.length : 1;
        std::vector<unsigned char> data(size + 1, 0x33);
        uint32_t bytesRead = 77;
        EXPECT_EQ(c.expected, IxoSyncWriteReq(&addr, 2, c.offset, c.length, data.data()));
        EXPECT_EQ(c.expected,
                  IxoSyncReadReqEx(&addr, 2, c.offset, c.length, data.data(), &bytesRead));
        EXPECT_EQ(c.expected == 0 ? c.length : 0u, bytesRead);
        EXPECT_EQ(c.expected, IxoSyncReadWriteReqEx(&addr, 2, c.offset, c.length, data.data(),
                                                    c.length, data.data(), &bytesRead));
    }
}

TEST_F(SimMemoryTest, FailedAccessChangesNothing) {
    RoxAddr addr = LocalAddr();
    std::vector<unsigned char> ones(600, 0x11);
    ASSERT_EQ(KVIXO_SIM_ERR_INVALID_OFFSET, IxoSyncWriteReq(&addr, 2, 65000, 600, ones.data()));
    // ReadWrite whose write fits but whose read does not writes nothing either.
    uint32_t bytesRead = 0;
    std::vector<unsigned char> readBack(600, 0);
    ASSERT_EQ(
        KVIXO_SIM_ERR_INVALID_OFFSET,
        IxoSyncReadWriteReqEx(&addr, 2, 65000, 600, readBack.data(), 10, ones.data(), &bytesRead));
    ASSERT_EQ(0, IxoSyncReadReq(&addr, 2, 65000, 536, readBack.data()));
    EXPECT_EQ(std::vector<unsigned char>(536, 0),
              std::vector<unsigned char>(readBack.begin(), readBack.begin() + 536));
}

TEST_F(SimMemoryTest, LengthZeroNeedsNoBuffer) {
    RoxAddr addr = LocalAddr();
    uint32_t bytesRead = 5;
    EXPECT_EQ(0, IxoSyncReadReq(&addr, 1, 10, 0, nullptr));
    EXPECT_EQ(0, IxoSyncReadReqEx(&addr, 1, 10, 0, nullptr, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    EXPECT_EQ(0, IxoSyncWriteReq(&addr, 1, 10, 0, nullptr));
    EXPECT_EQ(0, IxoSyncReadWriteReqEx(&addr, 1, 10, 0, nullptr, 0, nullptr, &bytesRead));
}

TEST_F(SimMemoryTest, AtMost1024AreasExist) {
    RoxAddr addr = LocalAddr();
    const unsigned char byte = 1;
    for (uint32_t group = 0; group < KVIXO_SIM_MAX_AREAS; ++group) {
        ASSERT_EQ(0,
                  IxoSyncWriteReq(&addr, 0x10000 + group, 0, 1, const_cast<unsigned char*>(&byte)))
            << "area " << group;
    }
    unsigned char read = 0;
    uint32_t bytesRead = 9;
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY, IxoSyncReadReqEx(&addr, 5, 0, 1, &read, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY,
              IxoSyncWriteReq(&addr, 5, 0, 1, const_cast<unsigned char*>(&byte)));
    RoxAddr otherPort = LocalAddr(852);
    EXPECT_EQ(KVIXO_SIM_ERR_NO_MEMORY, IxoSyncReadReq(&otherPort, 0x10000, 0, 1, &read));
    // Bounds are checked before the limit; existing areas keep working.
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_OFFSET, IxoSyncReadReq(&addr, 5, 65536, 1, &read));
    ASSERT_EQ(0, IxoSyncReadReq(&addr, 0x10000 + 1023, 0, 1, &read));
    EXPECT_EQ(1, read);

    KvIxoSimReset();
    ASSERT_EQ(30001, IxoPortOpen());
    EXPECT_EQ(0, IxoSyncReadReq(&addr, 5, 0, 1, &read)) << "reset forgets all areas";
}

TEST_F(SimMemoryTest, ReadWriteWritesFirstThenReadsFromTheSameOffset) {
    RoxAddr addr = LocalAddr();
    auto before = Pattern(16, 100);
    ASSERT_EQ(0, IxoSyncWriteReq(&addr, 9, 0, 16, before.data()));

    struct Case {
        const char* what;
        uint32_t readLength;
        uint32_t writeLength;
    };
    const Case cases[] = {{"read shorter than write", 2, 4},
                          {"read longer than write", 12, 4},
                          {"write only", 0, 4},
                          {"read only", 8, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(0, IxoSyncWriteReq(&addr, 9, 0, 16, before.data()));
        auto written = Pattern(c.writeLength, 1);
        std::vector<unsigned char> read(c.readLength + 1, 0xEE);
        uint32_t bytesRead = 0;
        ASSERT_EQ(0, IxoSyncReadWriteReqEx(&addr, 9, 2, c.readLength, read.data(), c.writeLength,
                                           written.data(), &bytesRead));
        EXPECT_EQ(c.readLength, bytesRead);
        std::vector<unsigned char> expected(before.begin() + 2, before.begin() + 2 + c.readLength);
        std::copy(written.begin(), written.begin() + std::min(c.writeLength, c.readLength),
                  expected.begin());
        EXPECT_EQ(expected, std::vector<unsigned char>(read.begin(), read.begin() + c.readLength));
        EXPECT_EQ(0xEE, read[c.readLength]) << "nothing past the read length";
    }
}

TEST_F(SimMemoryTest, ReadWriteMayUseOneBufferForBothDirections) {
    RoxAddr addr = LocalAddr();
    auto buffer = Pattern(8, 40);
    const auto sent = buffer;
    uint32_t bytesRead = 0;
    ASSERT_EQ(0,
              IxoSyncReadWriteReqEx(&addr, 9, 0, 8, buffer.data(), 8, buffer.data(), &bytesRead));
    EXPECT_EQ(sent, buffer);
}

TEST_F(SimMemoryTest, StateStartsAtFiveAndZeroAndFollowsWriteControl) {
    UseEnvironment("KVIXO_SIM_ROUTES", "R=1.2.3.4.5.6");
    ASSERT_EQ(30001, IxoPortOpen());
    RoxAddr addr = LocalAddr();
    RoxAddr other = MakeAddr(1, 2, 3, 4, 5, 6, kPlcPort);
    uint16_t ixoState = 0;
    uint16_t deviceState = 99;
    ASSERT_EQ(0, IxoSyncReadStateReq(&addr, &ixoState, &deviceState));
    EXPECT_EQ(5, ixoState);
    EXPECT_EQ(0, deviceState);

    const uint16_t values[][2] = {{6, 1}, {0xFFFF, 0xFFFF}, {0, 0}, {5, 0}, {15, 3}};
    for (const auto& v : values) {
        SCOPED_TRACE(std::to_string(v[0]) + "/" + std::to_string(v[1]));
        unsigned char payload[3] = {1, 2, 3};
        ASSERT_EQ(0, IxoSyncWriteControlReq(&addr, v[0], v[1], sizeof payload, payload));
        ASSERT_EQ(0, IxoSyncReadStateReq(&addr, &ixoState, &deviceState));
        EXPECT_EQ(v[0], ixoState);
        EXPECT_EQ(v[1], deviceState);
    }
    ASSERT_EQ(0, IxoSyncReadStateReq(&other, &ixoState, &deviceState));
    EXPECT_EQ(5, ixoState) << "each target has its own state";
    EXPECT_EQ(0, deviceState);

    KvIxoSimReset();
    ASSERT_EQ(30001, IxoPortOpen());
    ASSERT_EQ(0, IxoSyncReadStateReq(&addr, &ixoState, &deviceState));
    EXPECT_EQ(5, ixoState) << "reset forgets states";
    EXPECT_EQ(0, deviceState);
}

TEST_F(SimMemoryTest, NullPointersAreRejected) {
    RoxAddr addr = LocalAddr();
    unsigned char buffer[4] = {};
    uint32_t bytesRead = 0;
    uint16_t state = 0;
    const std::pair<const char*, std::function<int32_t()>> calls[] = {
        {"Read address", [&] { return IxoSyncReadReq(nullptr, 1, 0, 4, buffer); }},
        {"Read data", [&] { return IxoSyncReadReq(&addr, 1, 0, 4, nullptr); }},
        {"ReadEx address", [&] { return IxoSyncReadReqEx(nullptr, 1, 0, 4, buffer, &bytesRead); }},
        {"ReadEx data", [&] { return IxoSyncReadReqEx(&addr, 1, 0, 4, nullptr, &bytesRead); }},
        {"ReadEx bytes read", [&] { return IxoSyncReadReqEx(&addr, 1, 0, 4, buffer, nullptr); }},
        {"ReadEx bytes read, length 0",
         [&] { return IxoSyncReadReqEx(&addr, 1, 0, 0, buffer, nullptr); }},
        {"Write address", [&] { return IxoSyncWriteReq(nullptr, 1, 0, 4, buffer); }},
        {"Write data", [&] { return IxoSyncWriteReq(&addr, 1, 0, 4, nullptr); }},
        {"ReadWrite address",
         [&] { return IxoSyncReadWriteReqEx(nullptr, 1, 0, 4, buffer, 4, buffer, &bytesRead); }},
        {"ReadWrite read data",
         [&] { return IxoSyncReadWriteReqEx(&addr, 1, 0, 4, nullptr, 4, buffer, &bytesRead); }},
        {"ReadWrite write data",
         [&] { return IxoSyncReadWriteReqEx(&addr, 1, 0, 4, buffer, 4, nullptr, &bytesRead); }},
        {"ReadWrite bytes read",
         [&] { return IxoSyncReadWriteReqEx(&addr, 1, 0, 4, buffer, 4, buffer, nullptr); }},
        {"ReadState address", [&] { return IxoSyncReadStateReq(nullptr, &state, &state); }},
        {"ReadState ixo state", [&] { return IxoSyncReadStateReq(&addr, nullptr, &state); }},
        {"ReadState device state", [&] { return IxoSyncReadStateReq(&addr, &state, nullptr); }},
        {"WriteControl address", [&] { return IxoSyncWriteControlReq(nullptr, 5, 0, 0, nullptr); }},
        {"WriteControl data", [&] { return IxoSyncWriteControlReq(&addr, 5, 0, 4, nullptr); }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.first);
        EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, call.second()) << "port open";
    }
    ASSERT_EQ(0, IxoPortClose());
    for (const auto& call : calls) {
        SCOPED_TRACE(call.first);
        EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, call.second())
            << "null pointers come before the port";
    }
}

// Which failure wins when a request has several faults at once.
TEST_F(SimTest, ChecksFollowTheirPrecedence) {
    struct Case {
        const char* what;
        bool open;
        RoxAddr addr;
        uint32_t group;
        uint32_t offset;
        int32_t expected;
    };
    const RoxAddr unknown = MakeAddr(9, 9, 9, 9, 9, 9, kPlcPort);
    const RoxAddr unknownPort0 = MakeAddr(9, 9, 9, 9, 9, 9, 0);
    const RoxAddr unknownOffline = MakeAddr(9, 9, 9, 9, 9, 9, KVIXO_SIM_OFFLINE_PORT);
    const Case cases[] = {
        {"closed before port 0", false, unknownPort0, KVIXO_SIM_GROUP_FAIL_BASE + 3, 70000,
         KVIXO_SIM_ERR_PORT_NOT_OPEN},
        {"port 0 before reachability", true, unknownPort0, KVIXO_SIM_GROUP_FAIL_BASE + 3, 70000,
         KVIXO_SIM_ERR_TARGET_PORT_NOT_FOUND},
        {"port 65535 before reachability", true, unknownOffline, KVIXO_SIM_GROUP_FAIL_BASE + 3,
         70000, KVIXO_SIM_ERR_DEVICE_OFFLINE},
        {"reachability before injected failures", true, unknown, KVIXO_SIM_GROUP_FAIL_BASE + 3,
         70000, KVIXO_SIM_ERR_TARGET_NOT_FOUND},
        {"injected failure before bounds", true, LocalAddr(), KVIXO_SIM_GROUP_FAIL_BASE + 3, 70000,
         3},
        {"route table before bounds", true, LocalAddr(IXO_ROUTER_PORT), IXO_ROUTE_INDEX_GROUP,
         70000, KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED},
        {"bounds", true, LocalAddr(), 1, 70000, KVIXO_SIM_ERR_INVALID_OFFSET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KvIxoSimReset();
        if (c.open) {
            ASSERT_EQ(30001, IxoPortOpen());
        }
        RoxAddr addr = c.addr;
        unsigned char byte = 0;
        uint16_t state = 0;
        EXPECT_EQ(c.expected, IxoSyncReadReq(&addr, c.group, c.offset, 1, &byte));
        if (c.group == KVIXO_SIM_GROUP_FAIL_BASE + 3 && c.expected != 3) {
            // The same target checks apply to the state requests.
            EXPECT_EQ(c.expected, IxoSyncReadStateReq(&addr, &state, &state));
            EXPECT_EQ(c.expected, IxoSyncWriteControlReq(&addr, 5, 0, 0, nullptr));
        }
    }
}

}  // namespace
}  // namespace simtest
