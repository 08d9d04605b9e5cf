#pragma once
// Names, ids and shared-memory paths of the two TCAM tables: the one source every layer takes
// them from.
#include <cstdint>

#include "contracts/asic/Constants.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

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
// Software-table ids: agent 0x1B, group 0x08, table 0x0401 and 0x0402.
inline constexpr std::uint32_t kTcamTableId = 0x1B080401;
inline constexpr std::uint32_t kTcamActionTableId = 0x1B080402;
using TcamConstants = TableConstants<kTcamTableName>;
using TcamActionConstants = TableConstants<kTcamActionTableName>;

}  // namespace VornTunnelTcamMgr

#pragma GCC visibility pop
