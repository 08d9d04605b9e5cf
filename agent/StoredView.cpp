#include "agent/StoredView.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "agent/AgentSetup.h"
#include "agent/EntryJson.h"
#include "agent/Runtime.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/types/TcamConstants.h"
#include "contracts/types/TcamRecords.h"

namespace VornTcamAgent {

namespace {

using QelSharedMem::ReadOnlyView;

// The record a stored value holds, when intact and of this build's size.
template <typename Record>
bool decode(ReadOnlyView::Record const& stored, Record& record) {
    if (!stored.intact || stored.bytes.size() != sizeof(Record)) return false;
    std::memcpy(&record, stored.bytes.data(), sizeof(Record));
    return true;
}

// Entry type per configuration record: the logged part followed by the resource keys.
VornTunnelTcamMgr::TcamEntry entryOf(VornTunnelTcamMgr::TcamConfigTesselEntry const& r) {
    return VornTunnelTcamMgr::TcamEntry{r.logEntry, r.rsrcKeys};
}
VornTunnelTcamMgr::TcamActionEntry entryOf(VornTunnelTcamMgr::TcamActionConfigTesselEntry const& r) {
    return VornTunnelTcamMgr::TcamActionEntry{r.logEntry, r.rsrcKeys};
}

template <typename Constants, typename LogRecord, typename ConfigRecord>
StoredTable readTable(ReadOnlyView const& view, std::string const& tableName) {
    Lumo::String const manager = Runtime::kEntityManagerName;
    bool const local = !tablesUseNonLocalManager();
    StoredTable table;
    table.table = tableName;

    Lumo::String const logPath = Constants::tableEntryLogTesselPath();
    if (auto meta = view.metadata(manager, local, logPath)) {
        table.changeLog.present = true;
        table.changeLog.scratchpad = meta->scratchpad;
    }
    table.changeLog.records = view.recordCount(manager, local, logPath);
    auto versionAtEnd = [&](bool backward) {
        std::uint64_t version = 0;
        view.forEachRecord(manager, local, logPath, backward, [&](ReadOnlyView::Record const& stored) {
            LogRecord record;
            if (!decode(stored, record)) return true;  // look past a damaged record
            version = record.version;
            return false;
        });
        return version;
    };
    table.changeLog.oldestVersion = versionAtEnd(false);
    table.changeLog.newestVersion = versionAtEnd(true);

    // The configuration tables are named after their unit under one base path.
    Lumo::String const unitPath = Constants::configTesselPath(0);
    Lumo::String const base = unitPath.substr(0, unitPath.rfind('/') + 1);
    std::vector<StoredUnit> units;
    for (Lumo::String const& path : view.findEntities(manager, local, base)) {
        auto const unitId = Asic::Constants::parseUnitIdFromConfigPath(path);
        if (!unitId) continue;
        StoredUnit unit;
        unit.unitId = *unitId;
        view.forEachRecord(manager, local, path, false, [&](ReadOnlyView::Record const& stored) {
            ConfigRecord record;
            if (!decode(stored, record)) {
                ++unit.corruptRecords;
                return true;
            }
            StoredEntry entry{fmt::format("{}", record.key()), entryJson(entryOf(record))};
            (record.inDeletion ? unit.inDeletion : unit.live).push_back(std::move(entry));
            return true;
        });
        units.push_back(std::move(unit));
    }
    // Paths sort as text ("unit10" before "unit2"); show units by number.
    std::sort(units.begin(), units.end(), [](auto const& a, auto const& b) { return a.unitId < b.unitId; });
    table.units = std::move(units);
    return table;
}

}  // namespace

StoredView readStoredView(std::string const& nameSpace) {
    StoredView result;
    result.nameSpace = nameSpace;
    std::unique_ptr<ReadOnlyView> view = ReadOnlyView::open(nameSpace);
    if (!view) return result;
    result.exists = true;
    // The relaunch generation entity (Asic::GenId) keeps its major id in the value "majorId".
    result.relaunchMajorId = Ledra::EntityManager::storedValue(*view, Runtime::kEntityManagerName, true,
                                                               Runtime::relaunchPath(), "majorId")
                                 .value_or(0);
    result.tables.push_back(readTable<VornTunnelTcamMgr::TcamConstants, VornTunnelTcamMgr::TcamLogTesselEntry,
                                      VornTunnelTcamMgr::TcamConfigTesselEntry>(*view, "Tcam"));
    result.tables.push_back(
        readTable<VornTunnelTcamMgr::TcamActionConstants, VornTunnelTcamMgr::TcamActionLogTesselEntry,
                  VornTunnelTcamMgr::TcamActionConfigTesselEntry>(*view, "TcamAction"));
    return result;
}

}  // namespace VornTcamAgent
