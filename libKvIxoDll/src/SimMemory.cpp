#include "SimMemory.h"

#include <new>

#include "KvIxoSim.h"
#include "SimTarget.h"

namespace kvixosim {
bool SimMemory::Fits(uint32_t offset, uint32_t length) {
    return static_cast<uint64_t>(offset) + length <= KVIXO_SIM_AREA_SIZE;
}

unsigned char* SimMemory::Area(const RoxAddr& target, uint32_t indexGroup) {
    const AreaKey key{TargetKey(target), indexGroup};
    auto found = areas_.find(key);
    if (found != areas_.end()) return found->second.data();
    if (areas_.size() >= KVIXO_SIM_MAX_AREAS) return nullptr;
    try {
        auto made = areas_.emplace(key, std::vector<unsigned char>(KVIXO_SIM_AREA_SIZE, 0));
        return made.first->second.data();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace kvixosim
