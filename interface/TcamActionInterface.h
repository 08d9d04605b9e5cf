#pragma once
// TcamActionInterface: the table interface of the action table ("TcamAction", 0x1B080402).
// Its software tables are connected to the InLif index resource table.
#include "api/Export.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TableInterfaceT.h"
#include "swtable/TcamActionSwTable.h"

namespace VornTunnelTcamMgr {

class TcamActionInterface;

struct VORN_TCAMMGR_API TcamActionInterfaceTraits {
    using Interface = TcamActionInterface;
    using SwTable = TcamActionSwTable;
    using HelperBase = TcamActionSwTableHelperBase;
    using EntryLog = TcamActionEntryLog;
    static constexpr char kRegistrationName[] = "VornTunnelTcamMgr::TcamActionInterface";
    static constexpr char kNotYetRegisteredText[] =
        "!singleton->swTableIntfHas( \"VornTunnelTcamMgr::TcamActionInterface\" )";
    static constexpr char const* kTableName = kTcamActionTableName;
    static constexpr std::uint32_t kTableId = kTcamActionTableId;
    static constexpr char kClearingRingText[] = "Clearing entries for table: TcamAction, unitId: {}";
    static constexpr char kRestoredRingText[] = "Restored {} entries for table: TcamAction, unitId: {}";
    static Qel::TraceHandle& trace();
    // Connects a new table to the InLif index resource table through a new linkage.
    static void connectResources(TableInterfaceT<TcamActionInterfaceTraits>& intf, TcamActionSwTable& table);
};

class VORN_TCAMMGR_API TcamActionInterface final : public TableInterfaceT<TcamActionInterfaceTraits> {
  public:
    using TableInterfaceT::TableInterfaceT;
    ~TcamActionInterface() override;
};

}  // namespace VornTunnelTcamMgr
