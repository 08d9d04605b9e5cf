#pragma once
// Paths of the shared-memory tables of the two TCAM tables.
#include "contracts/asic/Constants.h"

namespace VornTunnelTcamMgr {

inline constexpr char kAgentName[] = "VornTunnelNi";
inline constexpr char kGroupName[] = "VornTunnelTcamMgrGroup";
inline constexpr char kTableNamespace[] = "VornTunnelTcamMgr";

template <char const* TableName>
struct TableConstants {
    static Lumo::String tableEntryLogTesselPath() {
        return Asic::Constants::canonicalGroupTableEntryLogTesselPath(
            Asic::Constants::canonicalizeGroupName(kAgentName, kGroupName), kTableNamespace, TableName);
    }
    static Lumo::String configTesselPath(Asic::UnitId unitId) {
        return Asic::Constants::canonicalGroupTableConfigTesselPath(
            Asic::Constants::canonicalizeGroupName(kAgentName, kGroupName), kTableNamespace, TableName, unitId);
    }
};

inline constexpr char kTcamTableName[] = "Tcam";
inline constexpr char kTcamActionTableName[] = "TcamAction";
using TcamConstants = TableConstants<kTcamTableName>;
using TcamActionConstants = TableConstants<kTcamActionTableName>;

}  // namespace VornTunnelTcamMgr
