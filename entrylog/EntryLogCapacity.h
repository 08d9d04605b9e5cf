#pragma once
// The declared sizes (capacities) of the entry log's collections: one source for the entry log,
// which mounts them, and the commit path, which holds commits back before the change log is full.
#include <cstdint>

namespace VornTunnelTcamMgr {

inline constexpr std::uint32_t kChangeLogCapacity = 1000000;
inline constexpr std::uint32_t kConfigTableCapacity = 0x10000;

}  // namespace VornTunnelTcamMgr
