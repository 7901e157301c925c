// Settings of the simulated device, taken from the environment.
#ifndef KV_IXO_SIM_SETTINGS_H
#define KV_IXO_SIM_SETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "KvIxoDll.h"

namespace kvixosim {

// One entry of the simulated router's route table.
struct SimRoute {
    std::string name;  // already cut to the longest name an entry can hold
    RoxNetId netId;
};

// Local net id, route table and open-failure count of the simulated device.
class SimSettings {
public:
    // Reads KVIXO_SIM_NETID, KVIXO_SIM_ROUTES and KVIXO_SIM_FAIL_OPEN.
    static SimSettings FromEnvironment();

    // Six decimal numbers 0-255 separated by dots and nothing else; false otherwise.
    static bool ParseNetId(const std::string& text, RoxNetId& netId);
    // "name=net id" pairs separated by ';'; pairs that do not parse are skipped.
    static std::vector<SimRoute> ParseRoutes(const std::string& text);
    // A decimal count; 0 for anything else, saturated at the largest value.
    static uint64_t ParseCount(const char* text);

    const RoxNetId& LocalNetId() const { return localNetId_; }
    const std::vector<SimRoute>& Routes() const { return routes_; }
    uint64_t FailOpenCalls() const { return failOpenCalls_; }

    bool IsLocal(const RoxNetId& netId) const;
    // The local net id or one of the route table's net ids.
    bool IsReachable(const RoxNetId& netId) const;

private:
    SimSettings();

    RoxNetId localNetId_;
    std::vector<SimRoute> routes_;
    uint64_t failOpenCalls_ = 0;  // IxoPortOpen calls that fail before the first success
};

}  // namespace kvixosim

#endif  // KV_IXO_SIM_SETTINGS_H
