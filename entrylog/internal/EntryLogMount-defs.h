#pragma once
// EntryLogT: construction, mounting and the unit collection of configuration tables.
#include <fmt/format.h>

#include "contracts/qel/Assert.h"
#include "contracts/qel/Trace.h"
#include "entrylog/EntryLogT.h"
#include "entrylog/EnvironmentCommitGroup.h"
#include "entrylog/GuardedRead.h"
#include "entrylog/MountTessel.h"

namespace VornTunnelTcamMgr {

template <typename Traits>
EntryLogT<Traits>::EntryLogT(Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> entityManager,
                             Lumo::Ptr<Asic::GroupInterface> groupInterface, Lumo::String agentName)
    : Asic::EntryLogBase(tableId, std::move(entityManager), std::move(groupInterface), std::move(agentName)) {
    // The group's resolver commits into this log's storage: its passes group their writes in
    // one shared-memory transaction.
    if (auto const& group = this->groupInterface(); group && !group->groupResolver()->commitGroup())
        group->groupResolver()->commitGroupIs(environmentCommitGroup());
    handleInitialized();
}

// Nothing is unmounted: the records stay in shared memory for the next instance.
template <typename Traits>
EntryLogT<Traits>::~EntryLogT() {
    tableConfigTessel_.delAll();
}

template <typename Traits>
void EntryLogT<Traits>::handleInitialized() {
    QEL_TRACE_AT(trace(), 8, "");
    mountTesselChangeLog();
}

// Each module instantiating the template has its own trace handle and log messages, made
// when the module is loaded.
template <typename Traits>
EntryLogMessages const EntryLogT<Traits>::messages_{};

template <typename Traits>
Qel::TraceHandle& EntryLogT<Traits>::trace() {
    static Qel::TraceHandle handle(Traits::kTraceName);
    return handle;
}

// Mounts one of the entry log's tables with its single collection; a wiped table is reported
// as "<item>::<table name>".
template <typename Traits>
template <typename Table>
Lumo::Ptr<Table> EntryLogT<Traits>::mountTable(char const* typeName, Lumo::String const& path, char const* collection,
                                               std::uint32_t capacity, char const* item) {
    return checkAndwriteMountTessel<Table>(
        entityManager(), typeName, path, agentName(),
        [&](QelTessel::MountInfo& info) {
            info.collectionInfoIs(QelTessel::CollectionInfo{collection, capacity, false});
        },
        [](Lumo::Ptr<Table>& table) { return table ? table->collectionControl() : nullptr; },
        [this, item] {
            ++wipedMounts_;
            std::string const text = fmt::format("{}::{}", item, Traits::kTableName);
            Qel::log(messages_.hwAbstractionError, text.c_str());
        });
}

template <typename Traits>
void EntryLogT<Traits>::mountTesselChangeLog() {
    QEL_TRACE_AT(trace(), 8, "");
    Lumo::String const path = Traits::Constants::tableEntryLogTesselPath();
    changeLogCapacity_ = testChangeLogCapacity_ != 0 ? testChangeLogCapacity_ : kChangeLogCapacity;
    Lumo::Ptr<ChangeLogTessel> const table = mountTable<ChangeLogTessel>(
        Traits::kChangeLogTypeName, path, ChangeLogTessel::kCollectionName, changeLogCapacity_, "entryLog");
    // The service either yields the table or throws; anything else is a broken installation.
    QEL_ASSERT(table, "entryLogTessel");
    changeLogControl_ = table->collectionControl();
    tableEntryLog_ = table;
    tableVersionIs(changeLogControl_->scratchpad());
    notify(kTableEntryLog);
    QEL_TRACE_AT(trace(), 2, " Mounted entryLog: {}, tableVersion: {}", path, tableVersion());
}

template <typename Traits>
void EntryLogT<Traits>::mountTesselConfig(Asic::UnitId unitId, Asic::LogVersion tableVersion) {
    QEL_TRACE_AT(trace(), 8, " unitId:{}, logVersion: {}", unitId, tableVersion);
    Lumo::String const path = Traits::Constants::configTesselPath(unitId);
    Lumo::Ptr<ConfigTessel> const cfgTessel = mountTable<ConfigTessel>(
        Traits::kConfigTypeName, path, ConfigTessel::kCollectionName, configCapacity(), "entryCfg");
    QEL_ASSERT(cfgTessel, "cfgTessel");
    tableConfigTesselIs(unitId, cfgTessel);
    QEL_TRACE_AT(trace(), 2, " Mounted config for unitId: {} at {}", unitId, path);
    settleConfig(*cfgTessel, tableVersion);
}

template <typename Traits>
void EntryLogT<Traits>::settleConfig(ConfigTessel& cfg, Asic::LogVersion tableVersion) {
    auto const& entries = cfg.swTableEntries();
    for (int walk = 0; walk < 2; ++walk) {
        std::uint64_t const removed = entries.quarantined();
        bool complete = false;
        {
            QelSharedMem::WriteTransaction txn;
            complete = entrylog::forEachRecord(entries, [&](ConfigRecord const& record) {
                // Deletions the hardware has already applied need not wait for cleanup; with
                // version 0 the hardware state is unknown and the records in deletion stay.
                if (tableVersion != 0 && record.inDeletion && record.logVersion <= tableVersion)
                    cfg.swTableEntriesDel(record.key());
            });
        }
        if (complete || entries.quarantined() == removed) return;
        QEL_TRACE_AT(trace(), 2, " {} damaged configuration records removed: walking the table again",
                     entries.quarantined() - removed);
    }
}

template <typename Traits>
void EntryLogT<Traits>::tableConfigTesselIs(Asic::UnitId unitId, Lumo::Ptr<ConfigTessel> const& table) {
    if (!table) {
        tableConfigTesselDel(unitId);
        return;
    }
    if (tableConfigTessel_.set(unitId, table)) notify(kTableConfigTessel, unitId);
}

template <typename Traits>
auto EntryLogT<Traits>::tableConfigTesselDel(Asic::UnitId unitId) -> Lumo::Ptr<ConfigTessel> {
    std::optional<Lumo::Ptr<ConfigTessel>> removed = tableConfigTessel_.del(unitId);
    if (!removed) return nullptr;
    notify(kTableConfigTessel, unitId);
    return std::move(*removed);
}

template <typename Traits>
void EntryLogT<Traits>::tableConfigTesselDelAll() {
    if (tableConfigTessel_.empty()) return;
    tableConfigTessel_.delAll();
    notify(kTableConfigTessel);
}

template <typename Traits>
auto EntryLogT<Traits>::requiredConfig(Asic::UnitId unitId) const -> ConfigTessel& {
    Lumo::Ptr<ConfigTessel> const* cfg = tableConfigTessel_.find(unitId);
    QEL_ASSERT_MSG(cfg != nullptr, "tableConfigTesselHas( unitId )",
                   fmt::format("Config tessel for unitId:{} is not created yet!", unitId).c_str());
    return **cfg;
}

}  // namespace VornTunnelTcamMgr
