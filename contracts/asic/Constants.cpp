#include "contracts/asic/Constants.h"

#include <charconv>

#include "contracts/qel/Assert.h"

namespace Asic {

namespace {
constexpr char kRoot[] = "hardware/velum/orderedTable/";
constexpr char kUnitPrefix[] = "unit";
}  // namespace

Lumo::String Constants::canonicalizeGroupName(Lumo::String const& agentName, Lumo::String const& groupName) {
    return agentName + "." + groupName;
}

Lumo::String Constants::canonicalGroupTableConfigTesselPathBase(Lumo::String const& canonicalGroupName,
                                                                Lumo::String const& tableNamespace,
                                                                Lumo::String const& tableName) {
    return kRoot + canonicalGroupName + "/" + tableNamespace + "::" + tableName + "/config/";
}

Lumo::String Constants::canonicalGroupTableConfigTesselPath(Lumo::String const& canonicalGroupName,
                                                            Lumo::String const& tableNamespace,
                                                            Lumo::String const& tableName, UnitId unitId) {
    return canonicalGroupTableConfigTesselPathBase(canonicalGroupName, tableNamespace, tableName) + kUnitPrefix +
           std::to_string(unitId);
}

Lumo::String Constants::canonicalGroupTableEntryLogTesselPath(Lumo::String const& canonicalGroupName,
                                                              Lumo::String const& tableNamespace,
                                                              Lumo::String const& tableName) {
    return kRoot + canonicalGroupName + "/" + tableNamespace + "::" + tableName + "/entryLog";
}

std::optional<UnitId> Constants::parseUnitIdFromConfigPath(Lumo::String const& path) {
    auto slash = path.rfind('/');
    std::string_view leaf =
        slash == Lumo::String::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    if (leaf.rfind(kUnitPrefix, 0) != 0) return std::nullopt;
    leaf.remove_prefix(sizeof(kUnitPrefix) - 1);
    unsigned value = 0;
    auto [end, ec] = std::from_chars(leaf.data(), leaf.data() + leaf.size(), value);
    if (ec != std::errc{} || end != leaf.data() + leaf.size() || leaf.empty() || value > 0xFFFF) return std::nullopt;
    return static_cast<UnitId>(value);
}

UnitId Constants::getUnitIdFromConfigPath(Lumo::String const& path) {
    auto unit = parseUnitIdFromConfigPath(path);
    QEL_ASSERT_MSG(unit.has_value(), "unitIdFromConfigPath", path.c_str());
    return *unit;
}

}  // namespace Asic
