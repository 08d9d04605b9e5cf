#include <map>
#include <set>
#include <type_traits>
#include <utility>

#include "agent/commands/DryRun.h"
#include "agent/commands/RemoveFirst.h"
#include "agent/view/StoredTables.h"
#include "contracts/shm/ReadOnlyView.h"

namespace VornTcamAgent {

namespace {

using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamEntry;

std::vector<TcamEntry> desiredEntries(TcamFamily, DesiredUnit const& unit) {
    std::vector<TcamEntry> entries;
    for (auto const& k : unit.keyEntries) entries.push_back(k.entry());
    return entries;
}

std::vector<TcamActionEntry> desiredEntries(TcamActionFamily, DesiredUnit const& unit) {
    std::vector<TcamActionEntry> entries;
    for (auto const& a : unit.actionEntries) entries.push_back(a.entry());
    return entries;
}

// Whether writing `desired` over the restored record `stored` is suppressed as identical.
// The library compares the logged entry, and for the action table the InLif key too. The
// InLif indexes of a desired action entry are what the library resolves its InLif key to:
// for a restored key, the indexes the restored record is made to carry, so they are taken
// from the record.
template <typename Family>
bool identical(typename Family::ConfigRecord const& stored, typename Family::Entry desired) {
    if constexpr (std::is_same_v<Family, TcamActionFamily>) {
        desired.inLif0IndexIs(stored.logEntry.inLif0Index);
        desired.inLif23IndexIs(stored.logEntry.inLif23Index);
        return stored.logEntry == desired.logEntry && stored.rsrcKeys == desired.rsrcKeys;
    } else {
        return stored.logEntry == desired.logEntry;
    }
}

// A unit's restored records by key, and its corrupt records.
template <typename Family>
struct RestoredUnit {
    std::map<typename Family::Key, typename Family::ConfigRecord> live;
    std::uint64_t corrupt = 0;
};

template <typename Family>
RestoredUnit<Family> readRestored(QelSharedMem::ReadOnlyView const& view, Lumo::String const& path) {
    RestoredUnit<Family> unit;
    unit.corrupt = forEachConfigRecord<Family>(view, path, [&](auto const& record) {
        if (!record.inDeletion) unit.live.emplace(record.key(), record);
    });
    return unit;
}

std::uint64_t capacity(TcamFamily) { return tcamTableCapacity(); }
std::uint64_t capacity(TcamActionFamily) { return actionTableCapacity(); }

template <typename Family>
DryRunUnit planUnit(Asic::UnitId unitId, RestoredUnit<Family> const& restored, DesiredUnit const* desired,
                    std::optional<std::uint64_t> limit) {
    DryRunUnit plan;
    plan.unitId = unitId;
    plan.reconciled = desired == nullptr;
    plan.restored = plan.reconciled ? 0 : restored.live.size();
    plan.corruptRecords = restored.corrupt;
    std::set<typename Family::Key> wanted;
    if (desired) {
        for (auto const& entry : desiredEntries(Family{}, *desired)) {
            wanted.insert(entry.key());
            auto const found = restored.live.find(entry.key());
            if (found == restored.live.end()) {
                ++plan.added;
            } else if (identical<Family>(found->second, entry)) {
                ++plan.suppressed;
            } else {
                ++plan.rewritten;
            }
        }
    }
    for (auto const& [key, record] : restored.live) {
        if (wanted.count(key)) continue;
        ++plan.swept;
        if (!limit || plan.sweptKeys.size() < *limit) plan.sweptKeys.push_back(keyText(key));
    }
    if (!plan.reconciled && mustRemoveFirst(plan.restored, plan.added, capacity(Family{})))
        plan.removedFirst = std::exchange(plan.swept, 0);
    return plan;
}

template <typename Family>
DryRunTable planTable(QelSharedMem::ReadOnlyView const* view, DesiredState const& state,
                      std::optional<std::uint64_t> limit) {
    std::map<Asic::UnitId, RestoredUnit<Family>> stored;
    if (view) {
        for (StoredUnitPath const& unit : storedUnits<Family>(*view))
            stored[unit.unitId] = readRestored<Family>(*view, unit.path);
    }
    std::set<Asic::UnitId> units;
    for (auto const& [unitId, unit] : stored) units.insert(unitId);
    for (auto const& unit : state.units) units.insert(unit.unitId);

    DryRunTable table;
    table.table = Family::kName;
    RestoredUnit<Family> const nothing;
    for (Asic::UnitId unitId : units) {
        auto const found = stored.find(unitId);
        table.units.push_back(
            planUnit<Family>(unitId, found == stored.end() ? nothing : found->second, state.findUnit(unitId), limit));
    }
    return table;
}

// Whether the family's entry log handed out versions in an earlier run.
template <typename Family>
bool logHasVersions(QelSharedMem::ReadOnlyView const& view) {
    StoredManager const manager = tablesManager();
    auto const meta = view.metadata(manager.name, manager.local, Family::Constants::tableEntryLogTesselPath());
    return meta && meta->scratchpad > 0;
}

}  // namespace

DryRunPlan planRestart(QelSharedMem::ReadOnlyView const* view, DesiredState const& state,
                       std::optional<std::uint64_t> limit) {
    DryRunPlan plan;
    plan.exists = view != nullptr;
    plan.restart = view && (logHasVersions<TcamFamily>(*view) || logHasVersions<TcamActionFamily>(*view));
    plan.tables.push_back(planTable<TcamFamily>(view, state, limit));
    plan.tables.push_back(planTable<TcamActionFamily>(view, state, limit));
    for (auto const& table : plan.tables)
        for (auto const& unit : table.units)
            if (unit.restored || unit.reconciled) plan.restart = true;
    return plan;
}

}  // namespace VornTcamAgent
