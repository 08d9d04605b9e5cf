#pragma once
// Start-up, per-unit table creation and reconciliation of TableInterfaceT<I>.
#include "contracts/asic/Constants.h"
#include "contracts/qel/Assert.h"
#include "contracts/qel/RingTrace.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TableInterfaceT.h"

namespace VornTunnelTcamMgr {

template <typename I>
Lumo::Ptr<typename I::Interface> TableInterfaceT<I>::getIntf(Lumo::Ptr<Asic::OrderedTableInterface> const& ordTblIntf) {
    auto singleton = Asic::SwTableInterfacesSingleton::instance();
    if (auto existing = singleton->swTableIntf(I::kRegistrationName)) return Lumo::ptr_cast<Interface>(existing);
    return Lumo::make<Interface>(ordTblIntf);
}

template <typename I>
TableInterfaceT<I>::TableInterfaceT(Lumo::Ptr<Asic::OrderedTableInterface> const& orderedTableIntf)
    : Asic::TableInterfaceBase(orderedTableIntf),
      tableName_(I::kTableName),
      groupName_(kGroupName),
      agentName_(kAgentName),
      tableNamespace_(kTableNamespace) {
    handleInitialized();
}

template <typename I>
TableInterfaceT<I>::~TableInterfaceT() {
    onDelete();
    entryLog_ = nullptr;
    swTableStatus_ = nullptr;
    swTableSet_ = nullptr;
}

template <typename I>
Lumo::Ptr<Asic::GroupInterface> TableInterfaceT<I>::groupInterface() const {
    return orderedTableIntf()->groupIntf(Asic::Constants::canonicalizeGroupName(agentName_, groupName_));
}

template <typename I>
void TableInterfaceT<I>::handleInitialized() {
    auto singleton = Asic::SwTableInterfacesSingleton::instance();
    QEL_ASSERT_MSG(!singleton->swTableIntfHas(I::kRegistrationName), I::kNotYetRegisteredText,
                   "Interface already created");
    orderedTableIntf()->makeGroupIntf(agentName_, groupName_, tableId().agentAndGroupId());
    Lumo::Ptr<Asic::GroupInterface> groupIntf = groupInterface();
    QEL_ASSERT(groupIntf, "groupIntf");
    QEL_TRACE_AT(trace(), 3, "Creating entry log for {}", tableId());
    entryLogIs(tableId(), orderedTableIntf()->entityManager(), groupIntf, agentName_);
    swTableStatusIs(tableId());
    if (auto recorded = groupIntf->tableVersion(tableId())) {
        Asic::LogVersion const version = *recorded;
        entryLog_->cleanupEntryLog(version);
        QEL_TRACE_AT(trace(), 3, "Cleaned entry log until table version: {}", version);
        if (version < entryLog_->tableVersion()) {
            QEL_TRACE_AT(trace(), 2, "Turning ON pendingHwWrites");
            swTableStatus_->pendingHwWritesIs(true);
        }
    }
    QEL_TRACE_AT(trace(), 2, "Entry log created for table id: {} at version: {}", tableId(), entryLog_->tableVersion());
    swTableSetIs(tableId(), swTableStatus_);
    groupIntf->swTableSetIs(swTableSet_);
    orderedTableIntf()->swTableIntfIs(I::kRegistrationName, this);
    singleton->swTableIntfIs(I::kRegistrationName, Lumo::Ptr<Asic::TableInterfaceBase>(this));
}

template <typename I>
void TableInterfaceT<I>::onDelete() {
    QEL_TRACE_AT(trace(), 2, " onDelete ");
    orderedTableIntf()->swTableIntfDel(I::kRegistrationName);
}

template <typename I>
auto TableInterfaceT<I>::entryLogIs(Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> const& entityManager,
                                    Lumo::Ptr<Asic::GroupInterface> const& groupInterface,
                                    Lumo::String const& agentName) -> Lumo::Ptr<EntryLog> {
    if (entryLog_ && entryLog_->tableId() == tableId && entryLog_->entityManager() == entityManager &&
        entryLog_->groupInterface() == groupInterface.ptr() && entryLog_->agentName() == agentName) {
        return entryLog_;
    }
    entryLog_ = Lumo::make<EntryLog>(tableId, entityManager, groupInterface, agentName);
    notify(kEntryLog);
    return entryLog_;
}

template <typename I>
Lumo::Ptr<Asic::OrderedSwTableStatus> TableInterfaceT<I>::swTableStatusIs(Asic::SwTableId tableId) {
    if (swTableStatus_ && swTableStatus_->tableId() == tableId) return swTableStatus_;
    swTableStatus_ = Lumo::make<Asic::OrderedSwTableStatus>(tableId);
    notify(kSwTableStatus);
    return swTableStatus_;
}

template <typename I>
Lumo::Ptr<Asic::OrderedSwTableSet> TableInterfaceT<I>::swTableSetIs(
    Asic::SwTableId tableId, Lumo::Ptr<Asic::OrderedSwTableStatus> const& swTableStatus) {
    if (swTableSet_ && swTableSet_->tableId() == tableId && swTableSet_->status() == swTableStatus) return swTableSet_;
    swTableSet_ = Lumo::make<Asic::OrderedSwTableSet>(tableId, swTableStatus);
    notify(kSwTableSet);
    return swTableSet_;
}

template <typename I>
auto TableInterfaceT<I>::entryLogDel() -> Lumo::Ptr<EntryLog> {
    auto old = std::move(entryLog_);
    if (old) notify(kEntryLog);
    return old;
}

template <typename I>
Lumo::Ptr<Asic::OrderedSwTableStatus> TableInterfaceT<I>::swTableStatusDel() {
    auto old = std::move(swTableStatus_);
    if (old) notify(kSwTableStatus);
    return old;
}

template <typename I>
Lumo::Ptr<Asic::OrderedSwTableSet> TableInterfaceT<I>::swTableSetDel() {
    auto old = std::move(swTableSet_);
    if (old) notify(kSwTableSet);
    return old;
}

template <typename I>
auto TableInterfaceT<I>::makeSwTable(Asic::UnitId unitId, Lumo::Ptr<HelperBase> const& swTableHelper, bool reset)
    -> Lumo::Ptr<SwTable> {
    QEL_TRACE_AT(trace(), 8, "unitId: {}", unitId);
    Lumo::Ptr<Asic::GroupInterface> groupIntf = groupInterface();
    QEL_ASSERT(groupIntf, "groupIntf");
    QEL_ASSERT(groupIntf->swTableSetHas(tableId()), "groupIntf->swTableSetHas( tableId() )");
    if (auto found = swTableSet_->swTable(unitId)) {
        QEL_TRACE_AT(trace(), 3, "swTable with unitId: {} exists", unitId);
        return existingSwTable(found, swTableHelper, reset);
    }
    return newSwTable(unitId, swTableHelper, reset, groupIntf);
}

template <typename I>
auto TableInterfaceT<I>::existingSwTable(Lumo::Ptr<Asic::OrderedSwTable> const& found,
                                         Lumo::Ptr<HelperBase> const& swTableHelper, bool reset) -> Lumo::Ptr<SwTable> {
    Lumo::Ptr<SwTable> existingTbl = Lumo::ptr_cast<SwTable>(found);
    QEL_ASSERT(existingTbl, "existingTbl");
    if (swTableHelper) {
        QEL_TRACE_AT(trace(), 2, "Update software table helper");
        existingTbl->swTableHelperIs(swTableHelper);
    }
    if (reset) {
        QEL_TRACE_AT(trace(), 2, " Clearing entries for table id: {}", tableId());
        existingTbl->clearTable(false);
    }
    return existingTbl;
}

template <typename I>
auto TableInterfaceT<I>::newSwTable(Asic::UnitId unitId, Lumo::Ptr<HelperBase> const& swTableHelper, bool reset,
                                    Lumo::Ptr<Asic::GroupInterface> const& groupIntf) -> Lumo::Ptr<SwTable> {
    Asic::LogVersion const version = groupIntf->tableVersion(tableId()).value_or(0);
    entryLog_->mountTesselConfig(unitId, version);
    auto name =
        Lumo::make<Asic::CanonicalTableName>(Asic::kOrderedSwTableType, groupName_, tableNamespace_, tableName_);
    auto table = Lumo::make<SwTable>(name, tableId(), unitId, swTableSet_.ptr(), entryLog_, groupIntf->groupResolver());
    if (swTableHelper) table->swTableHelperIs(swTableHelper);
    table->statusIs(swTableStatus_);
    I::connectResources(*this, *table);
    if (reset) {
        QEL_TRACE_AT(trace(), 2, "Clearing entries for table: {}, unitId: {}", tableName_, unitId);
        Qel::RingTrace::record(I::kClearingRingText, {unitId});
        table->clearTable(false);
    } else {
        table->restoreEntries();
        auto const restored = table->entrys();
        QEL_TRACE_AT(trace(), 2, "Restored {} entries for table: {}, unitId: {}", restored, tableName_, unitId);
        Qel::RingTrace::record(I::kRestoredRingText, {restored, unitId});
    }
    swTableSet_->swTableIs(table);
    table->tableStatusVersion(version);
    groupIntf->sweepableSwTableSetIs(table);
    if (!reset && !orderedTableIntf()->skipMarkOnCreate()) table->mark();
    return table;
}

template <typename I>
void TableInterfaceT<I>::reconcile() {
    QEL_TRACE_AT(trace(), 8, "");
    auto const& stateDb = orderedTableIntf()->entityManager();
    auto shm = QelSharedMem::EntityManager::getEntityManager(stateDb->name(), stateDb->local());
    Lumo::String const pathBase = Asic::Constants::canonicalGroupTableConfigTesselPathBase(
        Asic::Constants::canonicalizeGroupName(agentName_, groupName_), tableNamespace_, tableName_);
    auto const paths = shm->findEntities(pathBase, QelSharedMem::QelSharedMemType::tessel);
    QEL_TRACE_AT(trace(), 3, "No. of config entities found: {}, in tessel path: {}", paths.size(), pathBase);
    for (auto const& path : paths) {
        Asic::UnitId const unitId = Asic::Constants::getUnitIdFromConfigPath(path);
        if (swTableSet_->swTableHas(unitId)) continue;
        QEL_TRACE_AT(trace(), 3, " Found inactive unit id: {} ", unitId);
        makeSwTable(unitId, nullptr, true);
    }
}

}  // namespace VornTunnelTcamMgr
