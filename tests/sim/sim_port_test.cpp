// Port opening, the local net id, reachable targets with their codes, and the route table.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

TEST_F(SimTest, OpenNumbersEachSuccessfulOpenAndFailOpenSkipsTheFirstCalls) {
    EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose());
    EXPECT_EQ(30001, IxoPortOpen());
    EXPECT_EQ(30001, IxoPortOpen()) << "an open port keeps its number";
    EXPECT_EQ(0, IxoPortClose());
    EXPECT_EQ(30002, IxoPortOpen());
    EXPECT_EQ(3u, KvIxoSimPortOpenCalls());
    const std::pair<const char*, unsigned> cases[] = {  // value, calls that fail (at most 9 tried)
        {"3", 3}, {"007", 7}, {"abc", 0}, {"-2", 0}, {" 2", 0}, {"99999999999999999999999", 9}};
    for (const auto& [value, failing] : cases) {
        SCOPED_TRACE(value);
        UseEnvironment("KVIXO_SIM_FAIL_OPEN", value);
        for (unsigned call = 0; call < failing; ++call) EXPECT_EQ(0, IxoPortOpen()) << call;
        EXPECT_EQ(KVIXO_SIM_ERR_PORT_NOT_OPEN, IxoPortClose()) << "a failed open leaves no port";
        EXPECT_EQ(failing < 9 ? 30001 : 0, IxoPortOpen()) << "reset restarts the numbering";
    }
}

TEST_F(SimTest, LocalNetIdComesFromTheEnvironmentWhenValid) {
    const RoxNetId fallback{{10, 20, 30, 40, 1, 1}};
    const std::pair<const char*, RoxNetId> cases[] = {  // null: variable unset
        {nullptr, fallback}, {"1.2.3.4.5.6", {{1, 2, 3, 4, 5, 6}}},
        {"192.168.001.010.255.0", {{192, 168, 1, 10, 255, 0}}}, {"", fallback},
        {"256.1.1.1.1.1", fallback}, {"1.2.3.4.5", fallback}, {"1.2.3.4.5.6.7", fallback},
        {"1..3.4.5.6", fallback}, {"1.2.3.4.5.6 ", fallback}, {"99999999999.1.1.1.1.1", fallback}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value != nullptr ? value : "unset");
        UseEnvironment("KVIXO_SIM_NETID", value);
        RoxAddr addr{{}, 0xBEEF};
        ASSERT_EQ(0, IxoGetLocalAddress(&addr)) << "no open port is needed";
        EXPECT_EQ(0, std::memcmp(expected.b, addr.netId.b, 6));
        EXPECT_EQ(0xBEEF, addr.port) << "only the net id is written";
    }
}

// Reachability and the fixed codes, including which check wins when several apply.
TEST_F(SimTest, TargetsGiveTheirCodesToEveryRequest) {
    UseEnvironment("KVIXO_SIM_NETID", "5.6.7.8.1.1");
    UseEnvironment("KVIXO_SIM_ROUTES", "A=1.2.3.4.5.6");
    const RoxNetId local{{5, 6, 7, 8, 1, 1}}, routed{{1, 2, 3, 4, 5, 6}};
    const RoxNetId unknown{{10, 20, 30, 40, 1, 1}};  // the default, no longer local
    constexpr int32_t kNoTarget = KVIXO_SIM_ERR_TARGET_NOT_FOUND, kOffline = KVIXO_SIM_ERR_DEVICE_OFFLINE;
    constexpr int32_t kPort0 = KVIXO_SIM_ERR_TARGET_PORT_NOT_FOUND, kClosed = KVIXO_SIM_ERR_PORT_NOT_OPEN;
    struct Case { bool open; RoxAddr addr; int32_t expected; };
    const Case cases[] = {
        {true, {local, kPlcPort}, 0}, {true, {routed, 65534}, 0}, {true, {unknown, kPlcPort}, kNoTarget},
        {true, {{{1, 2, 3, 4, 5, 7}}, 1}, kNoTarget}, {true, {local, 0}, kPort0},
        {true, {unknown, 0}, kPort0}, {true, {routed, 65535}, kOffline}, {true, {unknown, 65535}, kOffline},
        {false, {local, kPlcPort}, kClosed}, {false, {unknown, 0}, kClosed}};
    for (Case c : cases) {
        SCOPED_TRACE(testing::Message() << "net id " << +c.addr.netId.b[0] << ".. port " << c.addr.port
                                        << (c.open ? "" : ", closed"));
        KvIxoSimReset();
        if (c.open) { ASSERT_EQ(30001, IxoPortOpen()); }
        unsigned char buffer[4] = {};
        uint32_t bytesRead = 0;
        EXPECT_EQ(c.expected, IxoSyncReadReq(&c.addr, 1, 0, 4, buffer));
        EXPECT_EQ(c.expected, IxoSyncReadWriteReqEx(&c.addr, 1, 0, 4, buffer, 4, buffer, &bytesRead));
        EXPECT_EQ(c.expected, IxoSyncWriteControlReq(&c.addr, 5, 0, 0, nullptr));
    }
    // Null pointers are checked first, before the (now closed) port.
    RoxAddr addr{local, kPlcPort};
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, IxoGetLocalAddress(nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, IxoSyncReadReq(nullptr, 1, 0, 0, nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, IxoSyncReadReq(&addr, 1, 0, 4, nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_INVALID_POINTER, IxoSyncWriteControlReq(&addr, 5, 0, 4, nullptr));
}

using Bytes = std::vector<unsigned char>;

// One route table entry as the router answers it: name and net id, all other bytes zero.
Bytes Entry(const std::string& name, RoxNetId netId) {
    Bytes entry(IXO_ROUTE_ENTRY_SIZE, 0);
    std::copy(name.begin(), name.end(), entry.begin() + IXO_ROUTE_NAME_OFFSET);
    std::copy(netId.b, netId.b + 6, entry.begin() + IXO_ROUTE_NETID_OFFSET);
    return entry;
}

// Reads the route count, then asks for more than that many entries.
std::vector<Bytes> ReadRouteTable() {
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
    unsigned char raw[4] = {};
    EXPECT_EQ(0, IxoSyncReadReq(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_COUNT, 4, raw));
    const uint32_t count = raw[0] | raw[1] << 8 | raw[2] << 16 | uint32_t{raw[3]} << 24;
    Bytes table(std::min(count, 100u) * IXO_ROUTE_ENTRY_SIZE + 10, 0xEE);
    uint32_t bytesRead = 0;
    EXPECT_EQ(0, IxoSyncReadReqEx(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_ENTRIES,
                                  static_cast<uint32_t>(table.size()), table.data(), &bytesRead));
    EXPECT_EQ(count * IXO_ROUTE_ENTRY_SIZE, bytesRead) << "the whole table and no more";
    std::vector<Bytes> entries;
    for (std::size_t at = 0; at + IXO_ROUTE_ENTRY_SIZE <= std::min<std::size_t>(bytesRead, table.size());
         at += IXO_ROUTE_ENTRY_SIZE)
        entries.emplace_back(table.begin() + at, table.begin() + at + IXO_ROUTE_ENTRY_SIZE);
    return entries;
}

TEST_F(SimTest, RouteTableComesFromTheEnvironment) {
    std::string many = std::string(40, 'L') + "=1.2.3.4.5.6";  // name cut to 35, then 69 more
    std::vector<Bytes> first64 = {Entry(std::string(35, 'L'), {{1, 2, 3, 4, 5, 6}})};
    for (int i = 0; i < 69; ++i) {
        many += ";R" + std::to_string(i) + "=1.1.1.1.1." + std::to_string(i);
        if (i < 63) first64.push_back(Entry("R" + std::to_string(i), {{1, 1, 1, 1, 1, uint8_t(i)}}));
    }
    const std::pair<const char*, std::vector<Bytes>> cases[] = {  // null: variable unset
        {nullptr, {Entry("Line-1", {{10, 20, 30, 41, 1, 1}}), Entry("Line-2", {{10, 20, 30, 42, 1, 1}})}},
        {"", {}},
        {"A=1.2.3.4.5.6;;bad;=1.1.1.1.1.1;C=1.2.3;x=256.1.1.1.1.1; Spaced = 5.5.5.5.5.5 ;",
         {Entry("A", {{1, 2, 3, 4, 5, 6}}), Entry("Spaced", {{5, 5, 5, 5, 5, 5}})}},
        {many.c_str(), first64}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value != nullptr ? std::string(value).substr(0, 80) : "unset");
        UseEnvironment("KVIXO_SIM_ROUTES", value);
        ASSERT_EQ(30001, IxoPortOpen());
        EXPECT_EQ(expected, ReadRouteTable());
    }
    // A shorter read gets part of the table; other offsets and lengths, and writes, are refused.
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT), plc = LocalAddr();
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    uint32_t bytesRead = 0;
    ASSERT_EQ(0, IxoSyncReadReqEx(&router, 3, IXO_ROUTE_OFFSET_ENTRIES, 10, buffer, &bytesRead));
    EXPECT_EQ(10u, bytesRead);
    EXPECT_EQ(0xEE, buffer[10]);
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncReadReq(&router, 3, 0, 4, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncReadReq(&router, 3, 2, 8, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncWriteReq(&router, 3, 2, 4, buffer));
    for (RoxAddr other : {plc, RoxAddr{{{1, 2, 3, 4, 5, 6}}, IXO_ROUTER_PORT}}) {
        EXPECT_EQ(0, IxoSyncWriteReq(&other, 3, 2, 4, buffer)) << "group 3 elsewhere is memory";
    }
}


}  // namespace
}  // namespace simtest
