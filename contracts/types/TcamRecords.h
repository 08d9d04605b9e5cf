#pragma once
// Records of the shared-memory tables: one change-log record per committed change, keyed by
// its version, and one configuration record per committed key of a unit.
//
// These are a stored format: fixed-width fields, 8-byte aligned 64-bit fields (the same
// layout on 32-bit and 64-bit builds), explicit zeroed reserved bytes. Change kRecordLayout
// whenever a layout changes: a table stored with another layout is recreated empty.
#include "contracts/asic/Types.h"
#include "contracts/types/TcamTypes.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornTunnelTcamMgr {

inline constexpr std::uint32_t kRecordLayout = 1;

// Change-log record (one per committed change of a table).
template <typename LogEntry>
struct LogTesselEntryT {
    static constexpr std::uint8_t kEntryDeleted = 1;
    static constexpr std::uint8_t kTableDeleted = 2;

    alignas(8) Asic::LogVersion version = 0;
    std::uint8_t flags = 0;  // entryDeleted (bit 0), tableDeleted (bit 1)
    std::uint8_t reserved0 = 0;
    Asic::UnitId unitId = 0;
    std::uint32_t reserved1 = 0;
    LogEntry logEntry{};

    bool entryDeleted() const { return flags & kEntryDeleted; }
    bool tableDeleted() const { return flags & kTableDeleted; }
    void entryDeletedIs(bool v) {
        flags = static_cast<std::uint8_t>(v ? flags | kEntryDeleted : flags & ~kEntryDeleted);
    }
    void tableDeletedIs(bool v) {
        flags = static_cast<std::uint8_t>(v ? flags | kTableDeleted : flags & ~kTableDeleted);
    }
    Asic::LogVersion key() const { return version; }
    friend constexpr bool operator==(LogTesselEntryT const&, LogTesselEntryT const&) = default;
};

// Configuration record (the committed state of one key of one unit).
template <typename LogEntry, typename ResourceKeys>
struct ConfigTesselEntryT {
    LogEntry logEntry{};
    [[no_unique_address]] ResourceKeys rsrcKeys{};
    alignas(8) Asic::LogVersion logVersion = 0;
    std::uint8_t inDeletion = 0;  // bool stored as a byte
    std::uint8_t reserved[7] = {};

    auto const& key() const { return logEntry.key; }
    friend constexpr bool operator==(ConfigTesselEntryT const&, ConfigTesselEntryT const&) = default;
};

using TcamLogTesselEntry = LogTesselEntryT<TcamLogEntry>;
using TcamActionLogTesselEntry = LogTesselEntryT<TcamActionLogEntry>;
using TcamConfigTesselEntry = ConfigTesselEntryT<TcamLogEntry, TcamResourceKeys>;
using TcamActionConfigTesselEntry = ConfigTesselEntryT<TcamActionLogEntry, TcamActionResourceKeys>;

static_assert(sizeof(TcamLogTesselEntry) == 64 && alignof(TcamLogTesselEntry) == 8);
static_assert(sizeof(TcamActionLogTesselEntry) == 40 && alignof(TcamActionLogTesselEntry) == 8);
static_assert(sizeof(TcamConfigTesselEntry) == 64 && alignof(TcamConfigTesselEntry) == 8);
static_assert(sizeof(TcamActionConfigTesselEntry) == 48 && alignof(TcamActionConfigTesselEntry) == 8);
static_assert(std::is_trivially_copyable_v<TcamLogTesselEntry> && std::is_trivially_copyable_v<TcamConfigTesselEntry>);

}  // namespace VornTunnelTcamMgr

#pragma GCC visibility pop
