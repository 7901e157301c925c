#include "SimSettings.h"

#include <cstdlib>
#include <limits>

#include "KvIxoSim.h"
#include "SimTarget.h"

namespace kvixosim {
namespace {

const RoxNetId kDefaultLocalNetId = {{10, 20, 30, 40, 1, 1}};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first])) ++first;
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::vector<SimRoute> DefaultRoutes() {
    return {SimRoute{"Line-1", RoxNetId{{10, 20, 30, 41, 1, 1}}},
            SimRoute{"Line-2", RoxNetId{{10, 20, 30, 42, 1, 1}}}};
}

}  // namespace

SimSettings::SimSettings() : localNetId_(kDefaultLocalNetId), routes_(DefaultRoutes()) {}

SimSettings SimSettings::FromEnvironment() {
    SimSettings settings;
    if (const char* netId = std::getenv("KVIXO_SIM_NETID")) {
        RoxNetId parsed{};
        if (ParseNetId(netId, parsed)) settings.localNetId_ = parsed;
    }
    if (const char* routes = std::getenv("KVIXO_SIM_ROUTES")) {
        settings.routes_ = ParseRoutes(routes);
    }
    settings.failOpenCalls_ = ParseCount(std::getenv("KVIXO_SIM_FAIL_OPEN"));
    return settings;
}

bool SimSettings::ParseNetId(const std::string& text, RoxNetId& netId) {
    RoxNetId parsed{};
    std::size_t pos = 0;
    for (std::size_t part = 0; part < sizeof parsed.b; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        const std::size_t digitsStart = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            if (value > 255) return false;
            ++pos;
        }
        if (pos == digitsStart) return false;
        parsed.b[part] = static_cast<unsigned char>(value);
    }
    if (pos != text.size()) return false;
    netId = parsed;
    return true;
}

std::vector<SimRoute> SimSettings::ParseRoutes(const std::string& text) {
    std::vector<SimRoute> routes;
    std::size_t start = 0;
    while (start <= text.size() && routes.size() < KVIXO_SIM_MAX_ROUTES) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(start, end - start);
        start = end + 1;

        // The net id holds no '=', so the last one separates it from the name.
        const std::size_t equals = pair.rfind('=');
        if (equals == std::string::npos) continue;
        SimRoute route{Trim(pair.substr(0, equals)), RoxNetId{}};
        if (route.name.empty()) continue;
        if (!ParseNetId(Trim(pair.substr(equals + 1)), route.netId)) continue;
        if (route.name.size() > KVIXO_SIM_ROUTE_NAME_MAX)
            route.name.resize(KVIXO_SIM_ROUTE_NAME_MAX);
        routes.push_back(std::move(route));
    }
    return routes;
}

uint64_t SimSettings::ParseCount(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    const uint64_t max = std::numeric_limits<uint64_t>::max();
    uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        const auto digit = static_cast<uint64_t>(*p - '0');
        value = (value > (max - digit) / 10) ? max : value * 10 + digit;
    }
    return value;
}

bool SimSettings::IsLocal(const RoxNetId& netId) const { return SameNetId(netId, localNetId_); }

bool SimSettings::IsReachable(const RoxNetId& netId) const {
    if (IsLocal(netId)) return true;
    for (const SimRoute& route : routes_) {
        if (SameNetId(netId, route.netId)) return true;
    }
    return false;
}

}  // namespace kvixosim
