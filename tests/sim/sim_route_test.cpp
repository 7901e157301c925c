// Reachable targets and the router's route table.
#include <cstring>
#include <string>
#include <vector>

#include "SimTestFixture.h"

namespace simtest {
namespace {

using SimRouteTest = OpenSimTest;

struct Route {
    std::string name;
    RoxNetId netId;
};

uint32_t ReadRouteCount() {
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
    unsigned char raw[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t bytesRead = 0;
    EXPECT_EQ(0, IxoSyncReadReqEx(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_COUNT, 4, raw,
                                  &bytesRead));
    EXPECT_EQ(4u, bytesRead);
    return raw[0] | (raw[1] << 8) | (raw[2] << 16) | (static_cast<uint32_t>(raw[3]) << 24);
}

// Reads count entries and checks every byte the table does not define is zero.
std::vector<Route> ReadRoutes(uint32_t count) {
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
    std::vector<unsigned char> raw(count * IXO_ROUTE_ENTRY_SIZE, 0xEE);
    uint32_t bytesRead = 0;
    EXPECT_EQ(0, IxoSyncReadReqEx(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_ENTRIES,
                                  static_cast<uint32_t>(raw.size()), raw.data(), &bytesRead));
    EXPECT_EQ(raw.size(), bytesRead);
    std::vector<Route> routes;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* entry = raw.data() + i * IXO_ROUTE_ENTRY_SIZE;
        Route route;
        route.name = reinterpret_cast<const char*>(entry + IXO_ROUTE_NAME_OFFSET);
        std::memcpy(route.netId.b, entry + IXO_ROUTE_NETID_OFFSET, 6);
        for (int b = 0; b < IXO_ROUTE_NETID_OFFSET; ++b) {
            const bool inName = b >= IXO_ROUTE_NAME_OFFSET &&
                                b < IXO_ROUTE_NAME_OFFSET + static_cast<int>(route.name.size());
            if (!inName) {
                EXPECT_EQ(0, entry[b]) << "entry " << i << " byte " << b;
            }
        }
        routes.push_back(route);
    }
    return routes;
}

std::string Text(const RoxNetId& netId) {
    std::string text;
    for (int i = 0; i < 6; ++i) text += (i ? "." : "") + std::to_string(netId.b[i]);
    return text;
}

struct RouteTableCase {
    const char* value;                                          // null: variable unset
    std::vector<std::pair<std::string, std::string>> expected;  // name, net id
};

TEST_F(SimRouteTest, RouteTableComesFromTheEnvironment) {
    const std::string longName(40, 'L');
    const std::string cutName(35, 'L');
    const std::string tooMany = [] {
        std::string text;
        for (int i = 0; i < 70; ++i)
            text += "R" + std::to_string(i) + "=1.1.1.1.1." + std::to_string(i) + ";";
        return text;
    }();
    const RouteTableCase cases[] = {
        {nullptr, {{"Line-1", "10.20.30.41.1.1"}, {"Line-2", "10.20.30.42.1.1"}}},
        {"", {}},
        {"Press=192.168.0.7.1.1", {{"Press", "192.168.0.7.1.1"}}},
        {"A=1.2.3.4.5.6;B=7.8.9.10.11.12", {{"A", "1.2.3.4.5.6"}, {"B", "7.8.9.10.11.12"}}},
        {"A=1.2.3.4.5.6;;broken;=1.1.1.1.1.1;C=1.2.3;D=5.5.5.5.5.5;",
         {{"A", "1.2.3.4.5.6"}, {"D", "5.5.5.5.5.5"}}},
        {" Spaced = 1.2.3.4.5.6 ; Next=2.2.2.2.2.2",
         {{"Spaced", "1.2.3.4.5.6"}, {"Next", "2.2.2.2.2.2"}}},
        {"100%=3.3.3.3.3.3;a=b=4.4.4.4.4.4", {{"100%", "3.3.3.3.3.3"}, {"a=b", "4.4.4.4.4.4"}}},
        {"x=256.1.1.1.1.1", {}},
    };
    for (const RouteTableCase& c : cases) {
        SCOPED_TRACE(c.value != nullptr ? std::string("KVIXO_SIM_ROUTES=\"") + c.value + "\""
                                        : std::string("KVIXO_SIM_ROUTES unset"));
        if (c.value != nullptr) {
            UseEnvironment("KVIXO_SIM_ROUTES", c.value);
        } else {
            ClearEnvironment();
        }
        ASSERT_EQ(30001, IxoPortOpen());
        const uint32_t count = ReadRouteCount();
        ASSERT_EQ(c.expected.size(), count);
        const auto routes = ReadRoutes(count);
        for (std::size_t i = 0; i < routes.size(); ++i) {
            EXPECT_EQ(c.expected[i].first, routes[i].name);
            EXPECT_EQ(c.expected[i].second, Text(routes[i].netId));
        }
    }

    SCOPED_TRACE("long names and more than 64 routes");
    UseEnvironment("KVIXO_SIM_ROUTES", (longName + "=1.2.3.4.5.6;" + tooMany).c_str());
    ASSERT_EQ(30001, IxoPortOpen());
    ASSERT_EQ(64u, ReadRouteCount());
    const auto routes = ReadRoutes(64);
    EXPECT_EQ(cutName, routes[0].name);
    EXPECT_EQ("R62", routes[63].name);
}

TEST_F(SimRouteTest, EntriesCopyAtMostTheTable) {
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
    const uint32_t tableSize = 2 * IXO_ROUTE_ENTRY_SIZE;
    struct Case {
        uint32_t length;
        uint32_t copied;
    };
    const Case cases[] = {
        {0, 0}, {10, 10}, {58, 58}, {tableSize, tableSize}, {tableSize + 100, tableSize}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<unsigned char> raw(c.length + 1, 0xEE);
        uint32_t bytesRead = 12345;
        ASSERT_EQ(0, IxoSyncReadReqEx(&router, IXO_ROUTE_INDEX_GROUP, IXO_ROUTE_OFFSET_ENTRIES,
                                      c.length, raw.data(), &bytesRead));
        EXPECT_EQ(c.copied, bytesRead);
        EXPECT_EQ(0xEE, raw[c.copied]) << "nothing beyond the copied bytes";
    }
}

TEST_F(SimRouteTest, RouteTableRejectsOtherOffsetsAndWrites) {
    RoxAddr router = LocalAddr(IXO_ROUTER_PORT);
    unsigned char buffer[64] = {};
    uint32_t bytesRead = 0;
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncReadReq(&router, 3, 0, 4, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncReadReq(&router, 3, 3, 4, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncReadReq(&router, 3, 2, 8, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncWriteReq(&router, 3, 2, 4, buffer));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED, IxoSyncWriteReq(&router, 3, 1, 0, nullptr));
    EXPECT_EQ(KVIXO_SIM_ERR_SERVICE_NOT_SUPPORTED,
              IxoSyncReadWriteReqEx(&router, 3, 2, 4, buffer, 0, nullptr, &bytesRead));
    EXPECT_EQ(2u, ReadRouteCount()) << "the table is unchanged";
}

TEST_F(SimRouteTest, IndexGroupThreeIsMemoryEverywhereElse) {
    UseEnvironment("KVIXO_SIM_ROUTES", "R=1.2.3.4.5.6");
    ASSERT_EQ(30001, IxoPortOpen());
    struct Case {
        const char* what;
        RoxAddr addr;
        uint32_t group;
    };
    const Case cases[] = {
        {"other group at the router", LocalAddr(IXO_ROUTER_PORT), 4},
        {"group 3 at another local port", LocalAddr(kPlcPort), 3},
        {"group 3 at port 1 of a routed net id", MakeAddr(1, 2, 3, 4, 5, 6, 1), 3},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char data[4] = {9, 8, 7, 6};
        unsigned char back[4] = {};
        ASSERT_EQ(0, IxoSyncWriteReq(&c.addr, c.group, 0, 4, data));
        ASSERT_EQ(0, IxoSyncReadReq(&c.addr, c.group, 0, 4, back));
        EXPECT_EQ(0, std::memcmp(data, back, 4));
    }
}

TEST_F(SimRouteTest, ReachableTargetsAreTheLocalNetIdAndTheRoutes) {
    UseEnvironment("KVIXO_SIM_NETID", "5.6.7.8.1.1");
    setenv("KVIXO_SIM_ROUTES", "A=1.2.3.4.5.6;B=7.7.7.7.7.7", 1);
    KvIxoSimReset();
    ASSERT_EQ(30001, IxoPortOpen());
    struct Case {
        RoxAddr addr;
        int32_t expected;
    };
    const Case cases[] = {
        {MakeAddr(5, 6, 7, 8, 1, 1, kPlcPort), 0},
        {MakeAddr(1, 2, 3, 4, 5, 6, kPlcPort), 0},
        {MakeAddr(7, 7, 7, 7, 7, 7, 10000), 0},
        {MakeAddr(10, 20, 30, 40, 1, 1, kPlcPort), KVIXO_SIM_ERR_TARGET_NOT_FOUND},
        {MakeAddr(10, 20, 30, 41, 1, 1, kPlcPort), KVIXO_SIM_ERR_TARGET_NOT_FOUND},
        {MakeAddr(1, 2, 3, 4, 5, 7, kPlcPort), KVIXO_SIM_ERR_TARGET_NOT_FOUND},
        {MakeAddr(5, 6, 7, 8, 1, 1, 0), KVIXO_SIM_ERR_TARGET_PORT_NOT_FOUND},
        {MakeAddr(1, 2, 3, 4, 5, 6, 0), KVIXO_SIM_ERR_TARGET_PORT_NOT_FOUND},
        {MakeAddr(5, 6, 7, 8, 1, 1, 65535), KVIXO_SIM_ERR_DEVICE_OFFLINE},
        {MakeAddr(1, 2, 3, 4, 5, 6, 65535), KVIXO_SIM_ERR_DEVICE_OFFLINE},
        {MakeAddr(5, 6, 7, 8, 1, 1, 65534), 0},
    };
    for (Case c : cases) {
        SCOPED_TRACE(Text(c.addr.netId) + ":" + std::to_string(c.addr.port));
        unsigned char buffer[4] = {};
        uint32_t bytesRead = 0;
        uint16_t ixoState = 0;
        uint16_t deviceState = 0;
        EXPECT_EQ(c.expected, IxoSyncReadReq(&c.addr, 1, 0, 4, buffer));
        EXPECT_EQ(c.expected, IxoSyncReadReqEx(&c.addr, 1, 0, 4, buffer, &bytesRead));
        EXPECT_EQ(c.expected, IxoSyncWriteReq(&c.addr, 1, 0, 4, buffer));
        EXPECT_EQ(c.expected,
                  IxoSyncReadWriteReqEx(&c.addr, 1, 0, 4, buffer, 4, buffer, &bytesRead));
        EXPECT_EQ(c.expected, IxoSyncReadStateReq(&c.addr, &ixoState, &deviceState));
        EXPECT_EQ(c.expected, IxoSyncWriteControlReq(&c.addr, 5, 0, 0, nullptr));
    }
}

}  // namespace
}  // namespace simtest
