#pragma once
// TableInterfaceT<I>: the entry point through which the hosting agent enters the library for
// one table, written once for both tables (TcamInterface, TcamActionInterface).
//
// The first getIntf of a process constructs the interface; construction creates the group,
// the entry log (which mounts the change log), the table status and the software-table set,
// cleans the log up to the table version the group records, and registers the interface.
// makeSwTable then gives the software table of each unit, and reconcile clears the units that
// have stored configuration but were not brought up.
#include "api/Export.h"
#include "contracts/asic/OrderedTableInterface.h"
#include "contracts/qel/Trace.h"

namespace VornTunnelTcamMgr {

template <typename I>
class VORN_TCAMMGR_API TableInterfaceT : public Asic::TableInterfaceBase {
  public:
    static constexpr char const* qelTraceClassName() { return I::kRegistrationName; }
    using Interface = typename I::Interface;
    using SwTable = typename I::SwTable;
    using HelperBase = typename I::HelperBase;
    using EntryLog = typename I::EntryLog;

    enum Attr : Lumo::AttributeId { kEntryLog = 1, kSwTableStatus, kSwTableSet };

    // The one interface of this table in the process, created on first use.
    static Lumo::Ptr<Interface> getIntf(Lumo::Ptr<Asic::OrderedTableInterface> const& ordTblIntf);

    explicit TableInterfaceT(Lumo::Ptr<Asic::OrderedTableInterface> const& orderedTableIntf);
    ~TableInterfaceT() override;
    char const* typeData() const override { return I::kRegistrationName; }

    Lumo::String const& tableName() const { return tableName_; }
    static constexpr Asic::SwTableId tableId() { return Asic::SwTableId(I::kTableId); }
    Lumo::String const& groupName() const { return groupName_; }
    Lumo::String const& agentName() const { return agentName_; }
    Lumo::String const& tableNamespace() const { return tableNamespace_; }

    Lumo::Ptr<EntryLog> const& entryLog() const { return entryLog_; }
    Lumo::Ptr<Asic::OrderedSwTableStatus> const& swTableStatus() const { return swTableStatus_; }
    Lumo::Ptr<Asic::OrderedSwTableSet> const& swTableSet() const { return swTableSet_; }

    // Instantiating setters: keep the existing object when its construction arguments are
    // equal, else construct a new one in its place.
    Lumo::Ptr<EntryLog> entryLogIs(Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                   Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                   Lumo::String const& agentName);
    Lumo::Ptr<Asic::OrderedSwTableStatus> swTableStatusIs(Asic::SwTableId tableId);
    Lumo::Ptr<Asic::OrderedSwTableSet> swTableSetIs(Asic::SwTableId tableId,
                                                    Lumo::Ptr<Asic::OrderedSwTableStatus> const& swTableStatus);
    Lumo::Ptr<EntryLog> entryLogDel();
    Lumo::Ptr<Asic::OrderedSwTableStatus> swTableStatusDel();
    Lumo::Ptr<Asic::OrderedSwTableSet> swTableSetDel();

    // The software table of a unit: the existing one, or a new one mounted, restored (or
    // cleared when `reset`), joined to the set and the group, and marked for mark and sweep.
    Lumo::Ptr<SwTable> makeSwTable(Asic::UnitId unitId, Lumo::Ptr<HelperBase> const& swTableHelper, bool reset);
    void handleInitialized();
    void onDelete();
    // Creates and clears the software table of every unit that has a stored configuration
    // table but no software table.
    void reconcile() override;

    static Qel::TraceHandle& trace() { return I::trace(); }

  private:
    Lumo::Ptr<Asic::GroupInterface> groupInterface() const;
    Lumo::Ptr<SwTable> existingSwTable(Lumo::Ptr<Asic::OrderedSwTable> const& found,
                                       Lumo::Ptr<HelperBase> const& swTableHelper, bool reset);
    Lumo::Ptr<SwTable> newSwTable(Asic::UnitId unitId, Lumo::Ptr<HelperBase> const& swTableHelper, bool reset,
                                  Lumo::Ptr<Asic::GroupInterface> const& groupIntf);

    Lumo::String tableName_;
    Lumo::String groupName_;
    Lumo::String agentName_;
    Lumo::String tableNamespace_;
    Lumo::Ptr<EntryLog> entryLog_;
    Lumo::Ptr<Asic::OrderedSwTableStatus> swTableStatus_;
    Lumo::Ptr<Asic::OrderedSwTableSet> swTableSet_;
};

}  // namespace VornTunnelTcamMgr
