#include "agent/commands/StoredFit.h"

#include <cstring>

#include "agent/state/InLifKeySet.h"
#include "agent/view/AgentSetup.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/types/TcamConstants.h"
#include "contracts/types/TcamRecords.h"

namespace VornTcamAgent {

namespace {

using QelSharedMem::ReadOnlyView;

// Calls fn(record) for every intact live record of the unit's configuration table.
template <typename Constants, typename Record, typename Fn>
void forEachLive(ReadOnlyView const& view, Asic::UnitId unitId, Fn&& fn) {
    view.forEachRecord(kEntityManagerName, !tablesUseNonLocalManager(), Constants::configTesselPath(unitId), false,
                       [&](ReadOnlyView::Record const& stored) {
                           Record record;
                           if (!stored.intact || stored.bytes.size() != sizeof(Record)) return true;
                           std::memcpy(&record, stored.bytes.data(), sizeof(Record));
                           if (!record.inDeletion) fn(record);
                           return true;
                       });
}

// Every unit stored, desired or not: the InLif keys of its stored action entries stay allocated
// until the run has removed those entries.
void checkInLifKeys(ReadOnlyView const& view, DesiredState const& state) {
    InLifKeySet keys;
    Lumo::String const unitPath = VornTunnelTcamMgr::TcamActionConstants::configTesselPath(0);
    Lumo::String const base = unitPath.substr(0, unitPath.rfind('/') + 1);
    for (Lumo::String const& path : view.findEntities(kEntityManagerName, !tablesUseNonLocalManager(), base)) {
        auto const unitId = Asic::Constants::parseUnitIdFromConfigPath(path);
        if (!unitId) continue;
        forEachLive<VornTunnelTcamMgr::TcamActionConstants, VornTunnelTcamMgr::TcamActionConfigTesselEntry>(
            view, *unitId, [&](auto const& r) {
                if (!r.rsrcKeys.inLifKey.isNull()) keys.insert(packedInLifKey(r.rsrcKeys.inLifKey));
            });
    }
    std::size_t const stored = keys.size();
    for (std::size_t u = 0; u < state.units.size(); ++u) {
        auto const& actions = state.units[u].actionEntries;
        for (std::size_t i = 0; i < actions.size(); ++i) {
            if (actions[i].inLif.isNull()) continue;
            keys.insert(packedInLifKey(actions[i].inLif));
            if (keys.size() <= kMaxInLifKeys) continue;
            throw DesiredStateError(
                "", 0, fmt::format("units[{}].actionEntries[{}].inLif", u, i),
                fmt::format("the stored action entries use {} InLif keys, which keep their indexes until the sweep; "
                            "with the state's keys more than the {} the InLif pools hold; program a smaller step "
                            "first or clean the namespace",
                            stored, kMaxInLifKeys));
        }
    }
}

}  // namespace

void checkFitsStored(DesiredState const& state, std::string const& nameSpace) {
    std::unique_ptr<ReadOnlyView> view;
    try {
        view = ReadOnlyView::open(nameSpace);
    } catch (std::exception const&) {
        return;  // unreadable: the run's own mount decides what is kept
    }
    if (!view) return;
    checkInLifKeys(*view, state);
}

}  // namespace VornTcamAgent
