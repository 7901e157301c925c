// Small helpers on Ixo addresses shared by the simulated device's classes.
#ifndef KV_IXO_SIM_TARGET_H
#define KV_IXO_SIM_TARGET_H

#include <cstdint>
#include <cstring>

#include "KvIxoDll.h"

namespace kvixosim {

inline bool SameNetId(const RoxNetId& a, const RoxNetId& b) {
    return std::memcmp(a.b, b.b, sizeof a.b) == 0;
}

// Net id and port packed into one map key.
inline uint64_t TargetKey(const RoxAddr& target) {
    uint64_t key = 0;
    for (unsigned char byte : target.netId.b) key = (key << 8) | byte;
    return (key << 16) | target.port;
}

}  // namespace kvixosim

#endif  // KV_IXO_SIM_TARGET_H
