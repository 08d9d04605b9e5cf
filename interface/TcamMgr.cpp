#include "interface/TcamMgr.h"

#include <algorithm>

#include "contracts/types/TcamConstants.h"

namespace VornTunnelTcamMgr {

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

TcamMgr::TcamMgr(TcamMgrConfig const& config, TcamMgrPlatform platform) {
    try {
        makePlatform(config, std::move(platform));
        wireGroup(config);
        actionIntf_ = TcamActionInterface::getIntf(orderedTableIntf_);
        tcamIntf_ = TcamInterface::getIntf(orderedTableIntf_);
        resumePendingHardwareWrites(actionIntf_, *group_, *hardware_);
        resumePendingHardwareWrites(tcamIntf_, *group_, *hardware_);
    } catch (...) {
        // What was made so far is taken apart as at destruction, so that a retry starts clean.
        tearDown();
        throw;
    }
}

void TcamMgr::makePlatform(TcamMgrConfig const& config, TcamMgrPlatform platform) {
    loop_ = platform.loop;
    if (!loop_) {
        ownLoop_ = std::make_unique<Qel::EventLoop>();
        loop_ = ownLoop_.get();
    }
    entityManager_ = platform.entityManager ? std::move(platform.entityManager)
                                            : Lumo::make<Ledra::EntityManager>(config.entityManagerName, true);
    orderedTableIntf_ = platform.orderedTableIntf ? std::move(platform.orderedTableIntf)
                                                  : Lumo::make<Asic::OrderedTableInterface>(entityManager_, loop_);
    // A table the manager makes reloads the allocations of the previous run from shared memory;
    // they stay reserved for their keys until sweepAll() ends the start-up.
    inLifTable_ = platform.inLifTable
                      ? std::move(platform.inLifTable)
                      : Lumo::make<VornTunnelNiLib::InLifIndexResourceTable>(loop_, config.inLif, entityManager_);
    orderedTableIntf_->resourceTableIs(VornTunnelNiLib::InLifIndexResourceTable::canonicalName(), inLifTable_);
}

void TcamMgr::wireGroup(TcamMgrConfig const& config) {
    group_ = orderedTableIntf_->makeGroupIntf(kAgentName, kGroupName,
                                              Asic::SwTableId(TcamInterface::tableId()).agentAndGroupId());
    // A resolved or failed InLif handle may let a queued action request commit. The listener
    // holds the resolver, not the group: the InLif table must not keep the group alive.
    inLifTable_->stateChangeListenerIs([resolver = group_->groupResolver()] { resolver->updateGenId(); });
    hardware_ = Lumo::make<Asic::HardwareWriterSim>(group_, loop_, config.hardwareBatch);
    hardware_->holdIs(config.holdHardware);
}

TcamMgr::~TcamMgr() { tearDown(); }

// The group holds the tables through their sets, the resolver holds queued requests, the InLif
// table holds its listener (which holds the resolver) and the action tables hold the InLif
// table through their linkages. Each of those links is cut here, from the top, so that what
// the caller still holds reaches neither the event loop nor anything this object made.
void TcamMgr::tearDown() {
    units_.clear();
    if (inLifTable_) inLifTable_->stateChangeListenerIs(nullptr);
    if (actionIntf_) {
        for (auto [unitId, table] : actionIntf_->swTableSet()->swTables())
            Lumo::static_ptr_cast<TcamActionSwTable>(table)->inLifIndexLinkageIs(nullptr);
    }
    if (group_) group_->shutdown();
    hardware_ = nullptr;
    auto singleton = Asic::SwTableInterfacesSingleton::instance();
    singleton->swTableIntfDel(TcamInterfaceTraits::kRegistrationName);
    singleton->swTableIntfDel(TcamActionInterfaceTraits::kRegistrationName);
    tcamIntf_ = nullptr;
    actionIntf_ = nullptr;
    group_ = nullptr;
    orderedTableIntf_ = nullptr;
    inLifTable_ = nullptr;
    // Tasks still posted may hold the last references of what they work on.
    ownLoop_.reset();
    entityManager_ = nullptr;
}

TcamMgrUnit const& TcamMgr::bringUp(Asic::UnitId unitId, bool reset) {
    TcamMgrUnit tables;
    tables.action = actionIntf_->makeSwTable(unitId, nullptr, reset);
    tables.tcam = tcamIntf_->makeSwTable(unitId, nullptr, reset);
    return units_[unitId] = tables;
}

TcamMgrUnit const* TcamMgr::unit(Asic::UnitId unitId) const {
    auto found = units_.find(unitId);
    return found == units_.end() ? nullptr : &found->second;
}

std::vector<Asic::UnitId> TcamMgr::reconcile() {
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

void TcamMgr::sweepAll() {
    group_->sweepAll();
    inLifTable_->releaseUnclaimed();
}

Lumo::Ptr<TcamMgr> tcamMgrFactory(TcamMgrConfig const& config, TcamMgrPlatform platform) {
    return Lumo::make<TcamMgr>(config, std::move(platform));
}

}  // namespace VornTunnelTcamMgr
