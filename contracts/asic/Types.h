#pragma once
// Identifiers and versions of the ordered-table framework.
#include <fmt/format.h>

#include <cstdint>
#include <functional>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

// A hardware unit.
using UnitId = std::uint16_t;

// A log version: 0 means nothing logged.
using LogVersion = std::uint64_t;

// A software table: agent id (8 bits), group id (8 bits) and table id (16 bits).
// 0x1B080401 is agent 0x1B, group 0x08, table 0x0401.
class SwTableId {
  public:
    constexpr SwTableId() = default;
    constexpr explicit SwTableId(std::uint32_t value) : value_(value) {}
    constexpr std::uint32_t value() const { return value_; }
    constexpr std::uint8_t agentId() const { return static_cast<std::uint8_t>(value_ >> 24); }
    constexpr std::uint8_t groupId() const { return static_cast<std::uint8_t>(value_ >> 16); }
    constexpr std::uint16_t tblId() const { return static_cast<std::uint16_t>(value_); }
    constexpr std::uint16_t agentAndGroupId() const { return static_cast<std::uint16_t>(value_ >> 16); }
    friend constexpr auto operator<=>(SwTableId, SwTableId) = default;

  private:
    std::uint32_t value_ = 0;
};

// The version of one request: a 64-bit counter and a 16-bit field. All bits set is invalid,
// which is also the default.
struct EntryVersion {
    std::uint64_t counter = ~std::uint64_t{0};
    std::uint16_t field = 0xFFFF;

    constexpr EntryVersion() = default;
    constexpr EntryVersion(std::uint64_t c, std::uint16_t f) : counter(c), field(f) {}
    static constexpr EntryVersion invalid() { return EntryVersion(); }
    constexpr bool valid() const { return !(counter == ~std::uint64_t{0} && field == 0xFFFF); }
    constexpr bool isEq(EntryVersion const& o) const { return counter == o.counter && field == o.field; }
    friend constexpr bool operator==(EntryVersion const& a, EntryVersion const& b) { return a.isEq(b); }
};

// A 64-bit major version; all bits set is invalid, which is also the default.
struct MajorVersion {
    std::uint64_t value = ~std::uint64_t{0};

    constexpr MajorVersion() = default;
    constexpr explicit MajorVersion(std::uint64_t v) : value(v) {}
    static constexpr MajorVersion invalid() { return MajorVersion(); }
    constexpr bool valid() const { return value != ~std::uint64_t{0}; }
    friend constexpr bool operator==(MajorVersion const&, MajorVersion const&) = default;
};

// The version a table has reached, or that a change needs of another table.
struct TableVersion {
    SwTableId tableId;
    LogVersion version = 0;
    friend constexpr bool operator==(TableVersion const&, TableVersion const&) = default;
};

// Flags of a request: 1 entry delete, 2 table delete, 4 written while marking.
using EntryFlags = std::uint8_t;
inline constexpr EntryFlags kEntryDeleteFlag = 1;
inline constexpr EntryFlags kTableDeleteFlag = 2;
inline constexpr EntryFlags kWrittenWhileMarkingFlag = 4;

struct SwTableBase {
    // Entry states of a request's handle. 0 pending, 1 logged, 4 done or resolved, 5 failed;
    // 3, 5 and 6 count as failed; 2 is not shown to clients.
    enum class EntryState : std::uint8_t {
        pending = 0,           // accepted, not yet committed
        logged = 1,            // committed and logged; waits for the table status to reach its version
        resolvedOther = 2,     // resolved for its dependents; never a state a resource handle presents
        failedOther = 3,       // failed elsewhere in the framework; counts as failed
        done = 4,              // complete (or, for a resource, resolved)
        failed = 5,            // failed; the response handler has been called
        resolutionFailed = 6,  // a resource that failed to resolve; counts as failed
    };
    static constexpr bool isFailed(EntryState s) {
        return s == EntryState::failedOther || s == EntryState::failed || s == EntryState::resolutionFailed;
    }
};
using EntryState = SwTableBase::EntryState;

}  // namespace Asic

template <>
struct std::hash<Asic::SwTableId> {
    std::size_t operator()(Asic::SwTableId id) const noexcept { return std::hash<std::uint32_t>()(id.value()); }
};

template <>
struct fmt::formatter<Asic::SwTableId> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(Asic::SwTableId id, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{:02x}:{:02x}:{:04x}", id.agentId(), id.groupId(), id.tblId());
    }
};

template <>
struct fmt::formatter<Asic::EntryVersion> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(Asic::EntryVersion const& v, FormatContext& ctx) const -> decltype(ctx.out()) {
        if (!v.valid()) return fmt::format_to(ctx.out(), "(invalid)");
        return fmt::format_to(ctx.out(), "({}, {})", v.counter, v.field);
    }
};

template <>
struct fmt::formatter<Asic::MajorVersion> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(Asic::MajorVersion const& v, FormatContext& ctx) const -> decltype(ctx.out()) {
        if (!v.valid()) return fmt::format_to(ctx.out(), "invalid");
        return fmt::format_to(ctx.out(), "{}", v.value);
    }
};

template <>
struct fmt::formatter<Asic::TableVersion> : fmt::formatter<std::string_view> {
    template <typename FormatContext>
    auto format(Asic::TableVersion const& v, FormatContext& ctx) const -> decltype(ctx.out()) {
        return fmt::format_to(ctx.out(), "{}@{}", v.tableId, v.version);
    }
};

#pragma GCC visibility pop
