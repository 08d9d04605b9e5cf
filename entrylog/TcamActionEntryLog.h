#pragma once
// TcamActionEntryLog: the persistent entry log of the action table ("TcamAction"): its change
// log and the configuration table of each unit. Configuration records also keep the entry's
// InLif key, and an identical rewrite is suppressed only when that key is unchanged too; the
// change log carries no resource keys.
#include "api/Export.h"
#include "contracts/types/TcamConstants.h"
#include "contracts/types/TcamRecords.h"
#include "contracts/types/TcamTessel.h"
#include "entrylog/EntryLogT.h"

namespace VornTunnelTcamMgr {

struct VORN_TCAMMGR_API TcamActionEntryLogTraits {
    using LogEntry = TcamActionLogEntry;
    using Key = TcamActionEntryKey;
    using ResourceKeys = TcamActionResourceKeys;
    using LogRecord = TcamActionLogTesselEntry;
    using ConfigRecord = TcamActionConfigTesselEntry;
    using ChangeLogTessel = TcamActionEntryLogTessel;
    using ConfigTessel = TcamActionConfigTessel;
    using Constants = TcamActionConstants;

    static constexpr char kTypeName[] = "VornTunnelTcamMgr::TcamActionEntryLog";
    static constexpr char kChangeLogTypeName[] = "VornTunnelTcamMgr::TcamActionEntryLogTessel";
    static constexpr char kConfigTypeName[] = "VornTunnelTcamMgr::TcamActionConfigTessel";
    static constexpr char const* kTableName = kTcamActionTableName;
    static constexpr char kTraceName[] = "TcamActionEntryLog";
    static constexpr bool kStoresRsrcKeys = true;
};

extern template class EntryLogT<TcamActionEntryLogTraits>;

class VORN_TCAMMGR_API TcamActionEntryLog final : public EntryLogT<TcamActionEntryLogTraits> {
  public:
    using EntryLogT::EntryLogT;
    ~TcamActionEntryLog() override;
    static Lumo::Ptr<TcamActionEntryLog> TcamActionEntryLogIs(Asic::SwTableId tableId,
                                                              Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                                              Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                                              Lumo::String const& agentName);
};

VORN_TCAMMGR_API Lumo::Ptr<TcamActionEntryLog> tcamActionEntryLogFactory(
    Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> const& entityManager,
    Lumo::Ptr<Asic::GroupInterface> const& groupInterface, Lumo::String const& agentName);

}  // namespace VornTunnelTcamMgr
