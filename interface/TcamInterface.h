#pragma once
// TcamInterface: the table interface of the key table ("Tcam", 0x1B080401).
#include "api/Export.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TableInterfaceT.h"
#include "swtable/TcamSwTable.h"

namespace VornTunnelTcamMgr {

class TcamInterface;

struct VORN_TCAMMGR_API TcamInterfaceTraits {
    using Interface = TcamInterface;
    using SwTable = TcamSwTable;
    using HelperBase = TcamSwTableHelperBase;
    using EntryLog = TcamEntryLog;
    static constexpr char kRegistrationName[] = "VornTunnelTcamMgr::TcamInterface";
    static constexpr char kNotYetRegisteredText[] =
        "!singleton->swTableIntfHas( \"VornTunnelTcamMgr::TcamInterface\" )";
    static constexpr char const* kTableName = kTcamTableName;
    static constexpr std::uint32_t kTableId = kTcamTableId;
    static constexpr char kClearingRingText[] = "Clearing entries for table: Tcam, unitId: {}";
    static constexpr char kRestoredRingText[] = "Restored {} entries for table: Tcam, unitId: {}";
    static Qel::TraceHandle& trace();
    // The key table has no resources to connect.
    static void connectResources(TableInterfaceT<TcamInterfaceTraits>&, TcamSwTable&) {}
};

class VORN_TCAMMGR_API TcamInterface final : public TableInterfaceT<TcamInterfaceTraits> {
  public:
    using TableInterfaceT::TableInterfaceT;
    ~TcamInterface() override;
};

}  // namespace VornTunnelTcamMgr
