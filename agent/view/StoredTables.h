#pragma once
// Typed reading of what the two tables keep in shared memory, through a read-only view
// (QelSharedMem::ReadOnlyView): the description of each table family (name, paths, record
// types), the units a table has stored, and walks over a unit's configuration records and the
// change log. `show`, the dry run of `run` and the Python view all read through here, so they
// decode records the same way: a record that fails its checksum or has another size is
// counted as corrupt and never decoded.
#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "contracts/asic/Types.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/types/TcamConstants.h"
#include "contracts/types/TcamRecords.h"
#include "contracts/types/TcamTypes.h"

namespace VornTcamAgent {

// One table family as stored: its name, its paths and the types of its keys, entries and
// records.
template <char const* TableName, typename KeyT, typename EntryT, typename LogRecordT, typename ConfigRecordT>
struct StoredFamily {
    static constexpr char const* kName = TableName;
    using Constants = VornTunnelTcamMgr::TableConstants<TableName>;
    using Key = KeyT;
    using Entry = EntryT;
    using LogRecord = LogRecordT;
    using ConfigRecord = ConfigRecordT;
};

// The key table ("Tcam") and the action table ("TcamAction").
using TcamFamily =
    StoredFamily<VornTunnelTcamMgr::kTcamTableName, VornTunnelTcamMgr::TcamEntryKey, VornTunnelTcamMgr::TcamEntry,
                 VornTunnelTcamMgr::TcamLogTesselEntry, VornTunnelTcamMgr::TcamConfigTesselEntry>;
using TcamActionFamily = StoredFamily<VornTunnelTcamMgr::kTcamActionTableName, VornTunnelTcamMgr::TcamActionEntryKey,
                                      VornTunnelTcamMgr::TcamActionEntry, VornTunnelTcamMgr::TcamActionLogTesselEntry,
                                      VornTunnelTcamMgr::TcamActionConfigTesselEntry>;

// The entity manager that keeps the tables, as the agent chooses it (NOT_LOCAL_EM).
struct StoredManager {
    Lumo::String name;
    bool local = true;
};
StoredManager tablesManager();
// The manager of the agent's state database (relaunch generation, InLif allocations).
StoredManager stateManager();

// One unit's configuration table.
struct StoredUnitPath {
    Asic::UnitId unitId = 0;
    Lumo::String path;
};

// The record a stored value holds, when intact and of this build's size.
template <typename Record>
bool decodeRecord(QelSharedMem::ReadOnlyView::Record const& stored, Record& record) {
    if (!stored.intact || stored.bytes.size() != sizeof(Record)) return false;
    std::memcpy(&record, stored.bytes.data(), sizeof(Record));
    return true;
}

// The units whose configuration table the family has stored, by unit number.
std::vector<StoredUnitPath> storedUnitPaths(QelSharedMem::ReadOnlyView const& view, Lumo::String const& unitPath0);

template <typename Family>
std::vector<StoredUnitPath> storedUnits(QelSharedMem::ReadOnlyView const& view) {
    return storedUnitPaths(view, Family::Constants::configTesselPath(0));
}

// Calls fn(record) for every intact configuration record of the table at `path`, in key order,
// and returns how many records were not intact.
template <typename Family, typename Fn>
std::uint64_t forEachConfigRecord(QelSharedMem::ReadOnlyView const& view, Lumo::String const& path, Fn&& fn) {
    StoredManager const manager = tablesManager();
    std::uint64_t corrupt = 0;
    view.forEachRecord(manager.name, manager.local, path, false, [&](QelSharedMem::ReadOnlyView::Record const& stored) {
        typename Family::ConfigRecord record;
        if (decodeRecord(stored, record)) {
            fn(record);
        } else {
            ++corrupt;
        }
        return true;
    });
    return corrupt;
}

// The entry a configuration record holds: the logged part followed by the resource keys.
template <typename Family>
typename Family::Entry entryOf(typename Family::ConfigRecord const& record) {
    return typename Family::Entry{record.logEntry, record.rsrcKeys};
}

// The key as the library formats it (what `show` prints and --key matches).
template <typename Key>
std::string keyText(Key const& key) {
    return fmt::format("{}", key);
}

}  // namespace VornTcamAgent
