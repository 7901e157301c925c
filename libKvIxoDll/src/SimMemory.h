// Memory areas of the simulated device, one per (net id, port, index group).
#ifndef KV_IXO_SIM_MEMORY_H
#define KV_IXO_SIM_MEMORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "KvIxoDll.h"

namespace kvixosim {

// Zero-filled areas made on first use, at most KVIXO_SIM_MAX_AREAS of them.
// Not synchronised: the owning device serialises every call.
class SimMemory {
public:
    // True when [offset, offset + length) lies inside an area.
    static bool Fits(uint32_t offset, uint32_t length);

    // The area's bytes, made on first use; null when no further area may be
    // made (limit reached or out of memory). Stays valid until Clear.
    unsigned char* Area(const RoxAddr& target, uint32_t indexGroup);

    void Clear() { areas_.clear(); }
    std::size_t AreaCount() const { return areas_.size(); }

private:
    using AreaKey = std::pair<uint64_t, uint32_t>;  // (net id and port, index group)

    std::map<AreaKey, std::vector<unsigned char>> areas_;
};

}  // namespace kvixosim

#endif  // KV_IXO_SIM_MEMORY_H
