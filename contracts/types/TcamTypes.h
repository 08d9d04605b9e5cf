#pragma once
// Value types of the tunnel-termination TCAM, as the sibling types library defines them.
//
// Key table ("Tcam"): a key matches the outer header of a tunnelled packet (VRF, tunnel type,
// address family, source and destination address); its entry names the action entry to apply.
// Action table ("TcamAction"): decapsulation type, the VRF after decapsulation and the
// resolved InLif0/InLif23 indexes of the entry's InLif.
//
// Every type is fixed-width, trivially copyable and free of padding (reserved fields are
// explicit and zero), so it can be stored in shared memory, hashed over its bytes and
// compared with ==. A default-constructed value stands for no entry.
#include <fmt/format.h>

#include <array>
#include <compare>
#include <cstdint>
#include <type_traits>

#include "contracts/types/Codec.h"
#include "contracts/types/InLifTypes.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornTunnelTcamMgr {

enum class TunnelType : std::uint8_t { none = 0, ipInIp = 1, gre = 2, vxlan = 3, mplsOverGre = 4 };
enum class AddressFamily : std::uint8_t { none = 0, ipv4 = 4, ipv6 = 6 };
enum class DecapType : std::uint8_t { none = 0, decapOuter = 1, decapOuterAndInnerL2 = 2, forwardOnly = 3 };

using IpBytes = std::array<std::uint8_t, 16>;  // IPv4 addresses use the first 4 bytes

// ---------------------------------------------------------------- key table
struct TcamEntryKey {
    std::uint32_t vrfId = 0;
    std::uint8_t tunnelType = 0;     // TunnelType
    std::uint8_t addressFamily = 0;  // AddressFamily
    std::uint16_t reserved = 0;
    IpBytes srcAddr{};
    IpBytes dstAddr{};

    friend constexpr auto operator<=>(TcamEntryKey const&, TcamEntryKey const&) = default;
    friend constexpr bool operator==(TcamEntryKey const&, TcamEntryKey const&) = default;

    static constexpr std::size_t kEncodedSize = 4 + 1 + 1 + 2 + 16 + 16;
    void encode(std::uint8_t* out) const {
        out = codec::put32(out, vrfId);
        out = codec::put8(out, tunnelType);
        out = codec::put8(out, addressFamily);
        out = codec::put16(out, reserved);
        out = codec::putBytes(out, srcAddr.data(), srcAddr.size());
        codec::putBytes(out, dstAddr.data(), dstAddr.size());
    }
};
static_assert(sizeof(TcamEntryKey) == 40 && alignof(TcamEntryKey) == 4);

struct TcamActionEntryKey {
    std::uint32_t actionId = 0;

    friend constexpr auto operator<=>(TcamActionEntryKey const&, TcamActionEntryKey const&) = default;
    friend constexpr bool operator==(TcamActionEntryKey const&, TcamActionEntryKey const&) = default;

    static constexpr std::size_t kEncodedSize = 4;
    void encode(std::uint8_t* out) const { codec::put32(out, actionId); }
};
static_assert(sizeof(TcamActionEntryKey) == 4);

// The logged part of a key-table entry: everything but its resource keys. The key comes first.
struct TcamLogEntry {
    TcamEntryKey key;
    TcamActionEntryKey actionKey;  // the action entry this key applies
    std::uint16_t priority = 0;
    std::uint8_t ttlCheck = 0;  // 1: drop packets whose outer TTL is 1
    std::uint8_t reserved = 0;

    friend constexpr bool operator==(TcamLogEntry const&, TcamLogEntry const&) = default;
};
static_assert(sizeof(TcamLogEntry) == 48);

// The key table's resource keys: none.
struct TcamResourceKeys {
    friend constexpr bool operator==(TcamResourceKeys const&, TcamResourceKeys const&) = default;
};

struct TcamEntry {
    TcamLogEntry logEntry;
    [[no_unique_address]] TcamResourceKeys rsrcKeys;

    TcamEntryKey const& key() const { return logEntry.key; }
    void keyIs(TcamEntryKey const& k) { logEntry.key = k; }
    friend constexpr bool operator==(TcamEntry const&, TcamEntry const&) = default;
};
static_assert(sizeof(TcamEntry) == 48);

// ---------------------------------------------------------------- action table
struct TcamActionLogEntry {
    TcamActionEntryKey key;
    std::uint8_t decapType = 0;  // DecapType
    std::uint8_t reserved0 = 0;
    std::uint16_t reserved1 = 0;
    std::uint32_t vrfId = 0;        // VRF of the inner packet
    std::uint32_t inLif0Index = 0;  // resolved from the entry's InLif
    std::uint32_t inLif23Index = 0;

    friend constexpr bool operator==(TcamActionLogEntry const&, TcamActionLogEntry const&) = default;
};
static_assert(sizeof(TcamActionLogEntry) == 20);

struct TcamActionResourceKeys {
    VornTunnelNiLib::InLifIndexEntryKey inLifKey;
    friend constexpr bool operator==(TcamActionResourceKeys const&, TcamActionResourceKeys const&) = default;
};
static_assert(sizeof(TcamActionResourceKeys) == 8);

struct TcamActionEntry {
    TcamActionLogEntry logEntry;
    TcamActionResourceKeys rsrcKeys;

    TcamActionEntryKey const& key() const { return logEntry.key; }
    void keyIs(TcamActionEntryKey const& k) { logEntry.key = k; }
    VornTunnelNiLib::InLifIndexEntryKey const& inLifIndexKey() const { return rsrcKeys.inLifKey; }
    std::uint32_t inLif0Index() const { return logEntry.inLif0Index; }
    std::uint32_t inLif23Index() const { return logEntry.inLif23Index; }
    void inLif0IndexIs(std::uint32_t v) { logEntry.inLif0Index = v; }
    void inLif23IndexIs(std::uint32_t v) { logEntry.inLif23Index = v; }
    friend constexpr bool operator==(TcamActionEntry const&, TcamActionEntry const&) = default;
};
static_assert(sizeof(TcamActionEntry) == 28);

static_assert(std::is_trivially_copyable_v<TcamEntry> && std::is_trivially_copyable_v<TcamActionEntry>);
static_assert(std::has_unique_object_representations_v<TcamEntryKey>);
static_assert(std::has_unique_object_representations_v<TcamActionEntryKey>);

}  // namespace VornTunnelTcamMgr

template <>
struct std::hash<VornTunnelTcamMgr::TcamEntryKey> {
    std::size_t operator()(VornTunnelTcamMgr::TcamEntryKey const& k) const noexcept {
        return VornTunnelTcamMgr::codec::hashBytes(k);
    }
};
template <>
struct std::hash<VornTunnelTcamMgr::TcamActionEntryKey> {
    std::size_t operator()(VornTunnelTcamMgr::TcamActionEntryKey const& k) const noexcept {
        return VornTunnelTcamMgr::codec::hashBytes(k);
    }
};

namespace VornTunnelTcamMgr {
// Formats an address by its family: dotted quad, or eight groups of hex.
std::string formatAddress(std::uint8_t family, IpBytes const& bytes);
}  // namespace VornTunnelTcamMgr

template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamEntryKey> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamEntryKey const& k, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "TcamKey(vrf={}, tunnel={}, src={}, dst={})", k.vrfId, k.tunnelType,
                              VornTunnelTcamMgr::formatAddress(k.addressFamily, k.srcAddr),
                              VornTunnelTcamMgr::formatAddress(k.addressFamily, k.dstAddr));
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamActionEntryKey> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamActionEntryKey const& k, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "TcamActionKey({})", k.actionId);
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamLogEntry> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamLogEntry const& e, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{{{} -> action {}, prio {}, ttlCheck {}}}", e.key, e.actionKey.actionId,
                              e.priority, e.ttlCheck);
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamResourceKeys> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamResourceKeys const&, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{{}}");
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamEntry> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamEntry const& e, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{}", e.logEntry);
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamActionLogEntry> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamActionLogEntry const& e, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{{{}, decap {}, vrf {}, inLif0 {}, inLif23 {}}}", e.key, e.decapType, e.vrfId,
                              e.inLif0Index, e.inLif23Index);
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamActionResourceKeys> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamActionResourceKeys const& r, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{{{}}}", r.inLifKey);
    }
};
template <>
struct fmt::formatter<VornTunnelTcamMgr::TcamActionEntry> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(VornTunnelTcamMgr::TcamActionEntry const& e, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{} {}", e.logEntry, e.rsrcKeys);
    }
};

#pragma GCC visibility pop
