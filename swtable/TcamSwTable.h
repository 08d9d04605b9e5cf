#pragma once
// TcamSwTable: the software table of the key table ("Tcam", TcamEntryKey to TcamEntry) for one
// unit. All behaviour comes from SwTableT; the key table has no resources.
#include "api/Export.h"
#include "entrylog/TcamEntryLog.h"
#include "swtable/SwTableT.h"
#include "swtable/TcamSwTableHelperBase.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamSwTable final : public SwTableT<TcamFamily> {
  public:
    using SwTableT::SwTableT;
    ~TcamSwTable() override;
    static Lumo::Ptr<TcamSwTable> TcamSwTableIs(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                                Asic::SwTableId swTableId, Asic::UnitId unitId,
                                                Asic::OrderedSwTableSet* swTableSet,
                                                Lumo::Ptr<TcamEntryLog> const& entryLog,
                                                Lumo::Ptr<Asic::GroupResolver> const& groupResolver);
};

VORN_TCAMMGR_API Lumo::Ptr<TcamSwTable> tcamSwTableFactory(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                                           Asic::SwTableId swTableId, Asic::UnitId unitId,
                                                           Asic::OrderedSwTableSet* swTableSet,
                                                           Lumo::Ptr<TcamEntryLog> const& entryLog,
                                                           Lumo::Ptr<Asic::GroupResolver> const& groupResolver);

}  // namespace VornTunnelTcamMgr
