#pragma once
// TcamMgr: the library brought up on one agent's platform pieces, as one object.
//
// Construction takes the platform pieces an agent already has (event loop, state database,
// ordered-table interface, InLif index resource table) and makes the ones it lacks; it wires
// the tables' group (with its commit group and the simulated hardware side), the InLif table's
// resource listener and both table interfaces. bringUp() gives the software tables of a unit.
// Destruction tears all of it down in the one order that works, whatever the caller still
// holds: tables, entry handles and interfaces the caller keeps stay valid objects that may be
// released at any time, before or after the manager (they are detached: nothing queued on them
// is committed any more). Shared memory is left as it is, so that a new manager on the same
// namespace models an agent restart. Everything runs on the thread that runs the event loop.
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "api/Export.h"
#include "contracts/asic/HardwareWriterSim.h"
#include "contracts/asic/OrderedTableInterface.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/qel/EventLoop.h"
#include "interface/TcamActionInterface.h"
#include "interface/TcamInterface.h"

namespace VornTunnelTcamMgr {

// The platform pieces an agent already has. Any left empty is made by the manager with the
// defaults of TcamMgrConfig. A given ordered-table interface must be built on the given (or
// the default) state database and event loop; a given InLif table on the same event loop.
struct TcamMgrPlatform {
    Qel::EventLoop* loop = nullptr;  // not owned; must outlive the manager
    Lumo::Ptr<Ledra::EntityManager> entityManager;
    Lumo::Ptr<Asic::OrderedTableInterface> orderedTableIntf;
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> inLifTable;
};

// What the manager makes when the platform does not supply it.
struct TcamMgrConfig {
    // The name of the state database the manager makes.
    Lumo::String entityManagerName = "VornTunnelNiEm";
    // Pool sizes of the InLif table the manager makes.
    VornTunnelNiLib::InLifIndexResourceTableConfig inLif{};
    // Changes the simulated hardware applies per table per event-loop task.
    std::uint32_t hardwareBatch = 8192;
    // Hold the hardware back from the start (release it with hardware().holdIs(false)).
    bool holdHardware = false;
};

// The software tables of one unit.
struct TcamMgrUnit {
    Lumo::Ptr<TcamActionSwTable> action;
    Lumo::Ptr<TcamSwTable> tcam;
};

class VORN_TCAMMGR_API TcamMgr : public Lumo::Node {
  public:
    // Brings the library up. The table interfaces clean their change logs up to the version
    // the group recorded as applied; changes an earlier run logged and the hardware never
    // confirmed are handed to the hardware side again. Requires: no other TcamMgr (or table
    // interface) lives in the process.
    explicit TcamMgr(TcamMgrConfig const& config = {}, TcamMgrPlatform platform = {});
    ~TcamMgr() override;
    char const* typeData() const override { return "VornTunnelTcamMgr::TcamMgr"; }

    Qel::EventLoop& loop() const { return *loop_; }
    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return entityManager_; }
    Lumo::Ptr<Asic::OrderedTableInterface> const& orderedTableIntf() const { return orderedTableIntf_; }
    Lumo::Ptr<Asic::GroupInterface> const& group() const { return group_; }
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> const& inLifTable() const { return inLifTable_; }
    Asic::HardwareWriterSim& hardware() const { return *hardware_; }
    Lumo::Ptr<TcamInterface> const& tcamIntf() const { return tcamIntf_; }
    Lumo::Ptr<TcamActionInterface> const& actionIntf() const { return actionIntf_; }

    // Creates (or returns) the software tables of a unit, the action table first since key
    // entries depend on action entries. Without reset the stored entries are restored and
    // marked for mark and sweep; with reset the unit's tables are cleared.
    TcamMgrUnit const& bringUp(Asic::UnitId unitId, bool reset = false);
    TcamMgrUnit const* unit(Asic::UnitId unitId) const;
    std::map<Asic::UnitId, TcamMgrUnit> const& units() const { return units_; }

    // Creates and clears the tables of every unit stored in shared memory but not brought up.
    // Returns the units it reconciled, in ascending order.
    std::vector<Asic::UnitId> reconcile();

    // Ends the start-up: sweeps every marked table (removes what was restored and not written
    // again), then releases the InLif allocations reloaded from an earlier run that no entry
    // asked for. Call it after the desired state is written: requests are synchronous, so
    // every restored or written action entry has claimed its InLif key by then.
    void sweepAll();

    // Runs the event loop until nothing is left to do. Returns the number of tasks run.
    std::uint64_t runUntilIdle() { return loop_->runUntilIdle(); }

  private:
    void makePlatform(TcamMgrConfig const& config, TcamMgrPlatform platform);
    void wireGroup(TcamMgrConfig const& config);
    void tearDown();

    std::unique_ptr<Qel::EventLoop> ownLoop_;  // when the platform brought no loop
    Qel::EventLoop* loop_ = nullptr;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<Asic::OrderedTableInterface> orderedTableIntf_;
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> inLifTable_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<Asic::HardwareWriterSim> hardware_;
    Lumo::Ptr<TcamActionInterface> actionIntf_;
    Lumo::Ptr<TcamInterface> tcamIntf_;
    std::map<Asic::UnitId, TcamMgrUnit> units_;
};

// Brings the library up on `platform`, making what it lacks (see TcamMgr).
VORN_TCAMMGR_API Lumo::Ptr<TcamMgr> tcamMgrFactory(TcamMgrConfig const& config = {}, TcamMgrPlatform platform = {});

}  // namespace VornTunnelTcamMgr
