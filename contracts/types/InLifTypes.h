#pragma once
// The InLif key: which logical interface an action entry's InLif indexes belong to.
// A default-constructed key is the null key: the entry needs no InLif resource.
#include <fmt/format.h>

#include <compare>
#include <cstdint>
#include <functional>

#include "contracts/types/Codec.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornInLif {

struct InLifKey {
    std::uint32_t intfId = 0;  // logical interface id
    std::uint16_t vlanId = 0;  // outer VLAN of the logical interface
    std::uint16_t reserved = 0;

    bool isEq(InLifKey const& o) const { return *this == o; }
    std::size_t hash() const { return VornTunnelTcamMgr::codec::hashBytes(*this); }
    bool isNull() const { return *this == InLifKey{}; }
    friend constexpr auto operator<=>(InLifKey const&, InLifKey const&) = default;
    friend constexpr bool operator==(InLifKey const&, InLifKey const&) = default;
};
static_assert(sizeof(InLifKey) == 8 && alignof(InLifKey) == 4);
static_assert(std::is_trivially_copyable_v<InLifKey>);

}  // namespace VornInLif

namespace VornTunnelNiLib {
// The resource key of the InLif index resource table.
using InLifIndexEntryKey = VornInLif::InLifKey;
}  // namespace VornTunnelNiLib

template <>
struct std::hash<VornInLif::InLifKey> {
    std::size_t operator()(VornInLif::InLifKey const& k) const noexcept { return k.hash(); }
};

template <>
struct fmt::formatter<VornInLif::InLifKey> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornInLif::InLifKey const& k, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "InLif(intf={}, vlan={})", k.intfId, k.vlanId);
    }
};

#pragma GCC visibility pop
