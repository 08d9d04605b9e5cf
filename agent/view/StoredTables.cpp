#include "agent/view/StoredTables.h"

#include <algorithm>

#include "agent/view/AgentSetup.h"
#include "contracts/asic/Constants.h"

namespace VornTcamAgent {

StoredManager tablesManager() { return StoredManager{kEntityManagerName, !tablesUseNonLocalManager()}; }

StoredManager stateManager() { return StoredManager{kEntityManagerName, true}; }

std::vector<StoredUnitPath> storedUnitPaths(QelSharedMem::ReadOnlyView const& view, Lumo::String const& unitPath0) {
    // The configuration tables are named after their unit under one base path.
    Lumo::String const base = unitPath0.substr(0, unitPath0.rfind('/') + 1);
    StoredManager const manager = tablesManager();
    std::vector<StoredUnitPath> units;
    for (Lumo::String const& path : view.findEntities(manager.name, manager.local, base)) {
        if (auto const unitId = Asic::Constants::parseUnitIdFromConfigPath(path))
            units.push_back(StoredUnitPath{*unitId, path});
    }
    // Paths sort as text ("unit10" before "unit2"); units go by number.
    std::sort(units.begin(), units.end(), [](auto const& a, auto const& b) { return a.unitId < b.unitId; });
    return units;
}

}  // namespace VornTcamAgent
