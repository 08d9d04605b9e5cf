#pragma once
// VornTcamAgent::Runtime: one agent process's bring-up of the library on the platform layer.
//
// It owns the agent's single event loop, the state database, the ordered-table interface with
// its group, the InLif index resource table, the simulated hardware writer, and the two table
// interfaces; it creates the software tables of each unit and reconciles the rest. Everything
// runs on the thread that calls runUntilIdle(). Destruction releases every table and handle of
// the process (but leaves shared memory as it is), so that a test can model an agent restart
// by destroying one Runtime and constructing another on the same namespace.
#include <cstdint>
#include <map>

#include "agent/DesiredState.h"
#include "contracts/asic/HardwareWriterSim.h"
#include "contracts/asic/OrderedTableInterface.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/qel/EventLoop.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TcamActionInterface.h"
#include "interface/TcamInterface.h"

namespace VornTcamAgent {

struct RuntimeOptions {
    // Pool sizes of the InLif index resource table: one index of each pool per distinct InLif
    // key, so that every state validate() accepts fits (InLif0 0x10000.., InLif23 0x20000..).
    VornTunnelNiLib::InLifIndexResourceTableConfig inLif{.inLif0PoolSize = static_cast<std::uint32_t>(kMaxInLifKeys),
                                                         .inLif23PoolSize = static_cast<std::uint32_t>(kMaxInLifKeys)};
    // Changes the simulated hardware applies per table per event-loop task.
    std::uint32_t hardwareBatch = 8192;
    // Hold the hardware back from the start (tests release it with hardware().holdIs(false)).
    bool holdHardware = false;
};

// The software tables of one unit.
struct UnitTables {
    Lumo::Ptr<VornTunnelTcamMgr::TcamActionSwTable> action;
    Lumo::Ptr<VornTunnelTcamMgr::TcamSwTable> tcam;
};

class Runtime {
  public:
    // The name of the agent's state-database entity manager.
    static constexpr char kEntityManagerName[] = "VornTunnelNiEm";

    // Starts the process's side of the agent: state database, relaunch generation entity,
    // InLif table, group, both table interfaces (which clean their change logs up to the
    // version the hardware reached), and the hardware side, told about changes logged by an
    // earlier run that it never confirmed.
    explicit Runtime(RuntimeOptions const& options = {});
    ~Runtime();
    Runtime(Runtime const&) = delete;
    Runtime& operator=(Runtime const&) = delete;

    Qel::EventLoop& loop() { return loop_; }
    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return entityManager_; }
    Lumo::Ptr<Asic::OrderedTableInterface> const& orderedTableIntf() const { return orderedTableIntf_; }
    Lumo::Ptr<Asic::GroupInterface> const& group() const { return group_; }
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> const& inLifTable() const { return inLifTable_; }
    Asic::HardwareWriterSim& hardware() { return *hardware_; }
    Lumo::Ptr<VornTunnelTcamMgr::TcamInterface> const& tcamIntf() const { return tcamIntf_; }
    Lumo::Ptr<VornTunnelTcamMgr::TcamActionInterface> const& actionIntf() const { return actionIntf_; }

    // The relaunch generation of the agent in the state database (raised when a stored table
    // was found wiped).
    std::uint64_t relaunchMajorId() const;
    // The state-database path of the relaunch generation entity (inline: the read-only views
    // use it without the runtime).
    static Lumo::String relaunchPath() {
        return Lumo::String("hardware/velum/agent/relaunch/config/") + VornTunnelTcamMgr::kAgentName;
    }

    // Creates (or returns) the software tables of a unit, the action table first since key
    // entries depend on action entries. Without reset the stored entries are restored and
    // marked; with reset the unit's tables are cleared.
    UnitTables const& bringUp(Asic::UnitId unitId, bool reset = false);
    UnitTables const* unit(Asic::UnitId unitId) const;
    std::map<Asic::UnitId, UnitTables> const& units() const { return units_; }

    // Creates and clears the tables of every unit stored in shared memory but not brought
    // up. Returns the units it reconciled.
    std::vector<Asic::UnitId> reconcile();

    // Ends the start-up. Sweeps every marked table (removes what was restored and not written
    // again), then releases the InLif allocations reloaded from the previous run that no entry
    // asked for. The run path's order is: bringUp per unit, reconcile, write the desired state,
    // sweepAll, runUntilIdle. Every restored or written action entry has requested its InLif
    // key by then (requests are synchronous), so an allocation still unclaimed here is used by
    // nothing; a key swept away is released through its entries' removal as usual.
    void sweepAll();

    // Runs the event loop until nothing is left to do. Returns the number of tasks run.
    std::uint64_t runUntilIdle() { return loop_.runUntilIdle(); }

  private:
    Qel::EventLoop loop_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<Asic::OrderedTableInterface> orderedTableIntf_;
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> inLifTable_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<Asic::HardwareWriterSim> hardware_;
    Lumo::Ptr<VornTunnelTcamMgr::TcamActionInterface> actionIntf_;
    Lumo::Ptr<VornTunnelTcamMgr::TcamInterface> tcamIntf_;
    std::map<Asic::UnitId, UnitTables> units_;
};

}  // namespace VornTcamAgent
