#pragma once
// Naming helpers of the ordered-table framework: canonical group names and the paths of the
// shared-memory tables of a group's tables.
#include <optional>

#include "contracts/asic/Types.h"
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

struct Constants {
    // "<agent>.<group>"
    static Lumo::String canonicalizeGroupName(Lumo::String const& agentName, Lumo::String const& groupName);
    // The path under which every unit's configuration table of one table lies.
    static Lumo::String canonicalGroupTableConfigTesselPathBase(Lumo::String const& canonicalGroupName,
                                                                Lumo::String const& tableNamespace,
                                                                Lumo::String const& tableName);
    // The configuration table path of one unit: the path base followed by the unit number.
    static Lumo::String canonicalGroupTableConfigTesselPath(Lumo::String const& canonicalGroupName,
                                                            Lumo::String const& tableNamespace,
                                                            Lumo::String const& tableName, UnitId unitId);
    // The path of a table's change log.
    static Lumo::String canonicalGroupTableEntryLogTesselPath(Lumo::String const& canonicalGroupName,
                                                              Lumo::String const& tableNamespace,
                                                              Lumo::String const& tableName);
    // Inverts canonicalGroupTableConfigTesselPath: the unit of a configuration table path.
    static UnitId getUnitIdFromConfigPath(Lumo::String const& path);
    // As getUnitIdFromConfigPath, empty when the path does not end in a unit number.
    static std::optional<UnitId> parseUnitIdFromConfigPath(Lumo::String const& path);
};

}  // namespace Asic

#pragma GCC visibility pop
