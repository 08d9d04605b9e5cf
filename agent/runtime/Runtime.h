#pragma once
// VornTcamAgent::Runtime: one agent process's bring-up of the library on the platform layer.
//
// It keeps the agent's state database with its relaunch generation entity and the library's
// TcamMgr, which owns the event loop, the group, the InLif index resource table, the simulated
// hardware writer and the two table interfaces, and tears them down. Everything runs on the
// thread that calls runUntilIdle(). Destruction releases every table and handle of the process
// (but leaves shared memory as it is), so that a test can model an agent restart by destroying
// one Runtime and constructing another on the same namespace.
#include <cstdint>
#include <map>

#include "agent/state/DesiredState.h"
#include "agent/view/AgentSetup.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TcamMgr.h"

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
using UnitTables = VornTunnelTcamMgr::TcamMgrUnit;

class Runtime {
  public:
    // The name of the agent's state-database entity manager (agent/view/AgentSetup.h).
    static constexpr char const* kEntityManagerName = VornTcamAgent::kEntityManagerName;

    // Starts the process's side of the agent: state database, relaunch generation entity and
    // the library's manager (InLif table, group, both table interfaces, which clean their
    // change logs up to the version the hardware reached, and the hardware side, told about
    // changes logged by an earlier run that it never confirmed).
    explicit Runtime(RuntimeOptions const& options = {});
    ~Runtime();
    Runtime(Runtime const&) = delete;
    Runtime& operator=(Runtime const&) = delete;

    VornTunnelTcamMgr::TcamMgr& mgr() const { return *mgr_; }
    Qel::EventLoop& loop() const { return mgr_->loop(); }
    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return mgr_->entityManager(); }
    Lumo::Ptr<Asic::OrderedTableInterface> const& orderedTableIntf() const { return mgr_->orderedTableIntf(); }
    Lumo::Ptr<Asic::GroupInterface> const& group() const { return mgr_->group(); }
    Lumo::Ptr<VornTunnelNiLib::InLifIndexResourceTable> const& inLifTable() const { return mgr_->inLifTable(); }
    Asic::HardwareWriterSim& hardware() const { return mgr_->hardware(); }
    Lumo::Ptr<VornTunnelTcamMgr::TcamInterface> const& tcamIntf() const { return mgr_->tcamIntf(); }
    Lumo::Ptr<VornTunnelTcamMgr::TcamActionInterface> const& actionIntf() const { return mgr_->actionIntf(); }

    // The relaunch generation of the agent in the state database (raised when a stored table
    // was found wiped).
    std::uint64_t relaunchMajorId() const;
    // The state-database path of the relaunch generation entity (agent/view/AgentSetup.h).
    static Lumo::String relaunchPath() { return VornTcamAgent::relaunchPath(); }

    // Creates (or returns) the software tables of a unit (TcamMgr::bringUp).
    UnitTables const& bringUp(Asic::UnitId unitId, bool reset = false) { return mgr_->bringUp(unitId, reset); }
    UnitTables const* unit(Asic::UnitId unitId) const { return mgr_->unit(unitId); }
    std::map<Asic::UnitId, UnitTables> const& units() const { return mgr_->units(); }

    // Creates and clears the tables of every unit stored in shared memory but not brought
    // up. Returns the units it reconciled.
    std::vector<Asic::UnitId> reconcile() { return mgr_->reconcile(); }

    // Ends the start-up (TcamMgr::sweepAll). The run path's order is: bringUp per unit,
    // reconcile, write the desired state, sweepAll, runUntilIdle.
    void sweepAll() { mgr_->sweepAll(); }

    // Runs the event loop until nothing is left to do. Returns the number of tasks run.
    std::uint64_t runUntilIdle() { return mgr_->runUntilIdle(); }

  private:
    Lumo::Ptr<VornTunnelTcamMgr::TcamMgr> mgr_;
};

}  // namespace VornTcamAgent
