#pragma once
// TcamEntryLog: the persistent entry log of the key table ("Tcam"): its change log and the
// configuration table of each unit, over TcamLogEntry records. The key table has no resource
// keys, so none are stored or compared.
#include "api/Export.h"
#include "contracts/types/TcamConstants.h"
#include "contracts/types/TcamRecords.h"
#include "contracts/types/TcamTessel.h"
#include "entrylog/EntryLogT.h"

namespace VornTunnelTcamMgr {

struct VORN_TCAMMGR_API TcamEntryLogTraits {
    using LogEntry = TcamLogEntry;
    using Key = TcamEntryKey;
    using ResourceKeys = TcamResourceKeys;
    using LogRecord = TcamLogTesselEntry;
    using ConfigRecord = TcamConfigTesselEntry;
    using ChangeLogTessel = TcamEntryLogTessel;
    using ConfigTessel = TcamConfigTessel;
    using Constants = TcamConstants;

    static constexpr char kTypeName[] = "VornTunnelTcamMgr::TcamEntryLog";
    static constexpr char kChangeLogTypeName[] = "VornTunnelTcamMgr::TcamEntryLogTessel";
    static constexpr char kConfigTypeName[] = "VornTunnelTcamMgr::TcamConfigTessel";
    static constexpr char const* kTableName = kTcamTableName;
    static constexpr char kTraceName[] = "TcamEntryLog";
    static constexpr bool kStoresRsrcKeys = false;
};

extern template class EntryLogT<TcamEntryLogTraits>;

class VORN_TCAMMGR_API TcamEntryLog final : public EntryLogT<TcamEntryLogTraits> {
  public:
    using EntryLogT::EntryLogT;
    ~TcamEntryLog() override;
    static Lumo::Ptr<TcamEntryLog> TcamEntryLogIs(Asic::SwTableId tableId,
                                                  Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                                  Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                                  Lumo::String const& agentName);
};

VORN_TCAMMGR_API Lumo::Ptr<TcamEntryLog> tcamEntryLogFactory(Asic::SwTableId tableId,
                                                             Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                                             Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                                             Lumo::String const& agentName);

}  // namespace VornTunnelTcamMgr
