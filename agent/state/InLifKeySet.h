#pragma once
// A set of distinct InLif keys, for counting what the InLif pools must hold. Keys are packed into
// 64 bits and hashed with all 64 mixed in: std::hash of a 64-bit integer on a 32-bit build keeps
// only the low word, which for packed keys is the VLAN, so every key of one VLAN would collide.
#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "contracts/types/InLifTypes.h"

namespace VornTcamAgent {

struct InLifKeyHash {
    std::size_t operator()(std::uint64_t v) const {
        v ^= v >> 33;  // the finaliser of MurmurHash3: every input bit reaches the low word
        v *= 0xff51afd7ed558ccdULL;
        v ^= v >> 33;
        return static_cast<std::size_t>(v);
    }
};

inline std::uint64_t packedInLifKey(VornInLif::InLifKey const& k) {
    return std::uint64_t{k.intfId} << 32 | std::uint64_t{k.vlanId} << 16 | k.reserved;
}

using InLifKeySet = std::unordered_set<std::uint64_t, InLifKeyHash>;

}  // namespace VornTcamAgent
