#include "agent/Runtime.h"

#include <algorithm>

#include "contracts/asic/GenId.h"
#include "contracts/types/TcamConstants.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"

namespace VornTcamAgent {

using VornTunnelTcamMgr::kAgentName;
using VornTunnelTcamMgr::kGroupName;

// The desired state's size check stands for the configuration tables' capacity.
static_assert(kMaxEntriesPerTable == VornTunnelTcamMgr::TcamEntryLog::kConfigCapacity &&
              kMaxEntriesPerTable == VornTunnelTcamMgr::TcamActionEntryLog::kConfigCapacity);
// The pools must not reach each other's first index.
static_assert(RuntimeOptions{}.inLif.inLif0Base + kMaxInLifKeys <= RuntimeOptions{}.inLif.inLif23Base);

namespace {

// Starts the table's status where the hardware is: at the version the group recorded as
// applied by an earlier run. A change of another table that needs one of this table's logged
// versions then goes to the hardware at once, also when this run writes nothing to this table
// (a restart whose entries are all unchanged).
// Then tells the hardware side about changes an earlier run logged that it never confirmed, so
// that the table's status moves up to the log's version and the tables see no pending writes.
// The log can be ahead of the group's record also when there is no record at all: an earlier
// run logged changes and was killed before the hardware confirmed the first of them.
template <typename Intf>
void resumePendingHardwareWrites(Intf const& intf, Asic::GroupInterface const& group,
                                 Asic::HardwareWriterSim& hardware) {
    Asic::LogVersion const applied = group.tableVersion(intf->tableId()).value_or(0);
    intf->swTableStatus()->versionIs(applied);
    Asic::LogVersion const logged = intf->entryLog()->tableVersion();
    if (!intf->swTableStatus()->pendingHwWrites() && logged <= applied) return;
    hardware.pendingFromLogIs(intf->tableId(), logged);
}

}  // namespace

Runtime::Runtime(RuntimeOptions const& options) {
    entityManager_ = Lumo::make<Ledra::EntityManager>(kEntityManagerName, true);
    entityManager_->entityIs<Asic::GenId>(relaunchPath());
    orderedTableIntf_ = Lumo::make<Asic::OrderedTableInterface>(entityManager_, &loop_);

    // The InLif table reloads the allocations of the previous run from shared memory; they stay
    // reserved for their keys until sweepAll() ends the start-up.
    inLifTable_ = Lumo::make<VornTunnelNiLib::InLifIndexResourceTable>(&loop_, options.inLif, entityManager_);
    orderedTableIntf_->resourceTableIs(VornTunnelNiLib::InLifIndexResourceTable::canonicalName(), inLifTable_);

    group_ = orderedTableIntf_->makeGroupIntf(
        kAgentName, kGroupName, Asic::SwTableId(VornTunnelTcamMgr::TcamInterface::tableId()).agentAndGroupId());
    // A resolved or failed InLif handle may let a queued action request commit.
    inLifTable_->stateChangeListenerIs([resolver = group_->groupResolver()] { resolver->updateGenId(); });
    hardware_ = Lumo::make<Asic::HardwareWriterSim>(group_, &loop_, options.hardwareBatch);
    hardware_->holdIs(options.holdHardware);

    actionIntf_ = VornTunnelTcamMgr::TcamActionInterface::getIntf(orderedTableIntf_);
    tcamIntf_ = VornTunnelTcamMgr::TcamInterface::getIntf(orderedTableIntf_);
    resumePendingHardwareWrites(actionIntf_, *group_, *hardware_);
    resumePendingHardwareWrites(tcamIntf_, *group_, *hardware_);
}

Runtime::~Runtime() {
    // The group reaches the tables through their sets, and the tables reach the group through
    // their entry logs: break that cycle first, so that no table (and its mapped shared memory)
    // outlives the runtime.
    units_.clear();
    inLifTable_->stateChangeListenerIs(nullptr);
    group_->shutdown();
    hardware_ = nullptr;
    auto singleton = Asic::SwTableInterfacesSingleton::instance();
    singleton->swTableIntfDel(VornTunnelTcamMgr::TcamInterfaceTraits::kRegistrationName);
    singleton->swTableIntfDel(VornTunnelTcamMgr::TcamActionInterfaceTraits::kRegistrationName);
    tcamIntf_ = nullptr;
    actionIntf_ = nullptr;
    group_ = nullptr;
    orderedTableIntf_ = nullptr;
    inLifTable_ = nullptr;
    // Tasks still posted may hold the last references of what they work on.
    loop_ = Qel::EventLoop();
    entityManager_ = nullptr;
}

void Runtime::sweepAll() {
    group_->sweepAll();
    inLifTable_->releaseUnclaimed();
}

std::uint64_t Runtime::relaunchMajorId() const {
    auto genId = Lumo::ptr_cast<Asic::GenId>(entityManager_->getEntity(relaunchPath()));
    return genId ? genId->majorId() : 0;
}

UnitTables const& Runtime::bringUp(Asic::UnitId unitId, bool reset) {
    UnitTables tables;
    tables.action = actionIntf_->makeSwTable(unitId, nullptr, reset);
    tables.tcam = tcamIntf_->makeSwTable(unitId, nullptr, reset);
    return units_[unitId] = tables;
}

UnitTables const* Runtime::unit(Asic::UnitId unitId) const {
    auto found = units_.find(unitId);
    return found == units_.end() ? nullptr : &found->second;
}

std::vector<Asic::UnitId> Runtime::reconcile() {
    std::vector<Asic::UnitId> before;
    for (auto [unitId, table] : actionIntf_->swTableSet()->swTables()) before.push_back(unitId);
    for (auto [unitId, table] : tcamIntf_->swTableSet()->swTables()) before.push_back(unitId);
    actionIntf_->reconcile();
    tcamIntf_->reconcile();
    std::vector<Asic::UnitId> reconciled;
    auto note = [&](Asic::UnitId unitId) {
        if (std::find(before.begin(), before.end(), unitId) != before.end()) return;
        if (std::find(reconciled.begin(), reconciled.end(), unitId) == reconciled.end()) reconciled.push_back(unitId);
    };
    for (auto [unitId, table] : actionIntf_->swTableSet()->swTables()) note(unitId);
    for (auto [unitId, table] : tcamIntf_->swTableSet()->swTables()) note(unitId);
    std::sort(reconciled.begin(), reconciled.end());
    return reconciled;
}

}  // namespace VornTcamAgent
