#pragma once
// EntryLogT: the writing and reading operations on a unit's configuration table and the
// change log.
#include "contracts/lumo/Format.h"
#include "contracts/qel/Assert.h"
#include "contracts/qel/Trace.h"
#include "entrylog/EntryLogT.h"
#include "entrylog/GuardedRead.h"

namespace VornTunnelTcamMgr {

// Writes the configuration records (`configWrites`), the change-log record and the scratchpad
// in one transaction, then tells the group. When the transaction fails, nothing of it is stored
// and the version it took is given back, so that versions stay consecutive.
template <typename Traits>
template <typename ConfigWrites>
Asic::LogVersion EntryLogT<Traits>::commitChange(ConfigWrites&& configWrites, LogRecord const& change,
                                                 NeededEntryPtr const& neededEntry) {
    try {
        QelSharedMem::WriteTransaction txn;
        configWrites();
        tableEntryLog_->entryLogConfigIs(change);
        changeLogControl_->scratchpadIs(change.version);
    } catch (...) {
        tableVersionIs(change.version - 1);
        throw;
    }
    groupInterface()->addLogEntry(tableId(), change.version, neededEntry);
    return change.version;
}

// The version to answer a suppressed write with, or 0 when the write must go on.
template <typename Traits>
Asic::LogVersion EntryLogT<Traits>::suppressedVersion(ConfigTessel const& cfg, LogEntry const& tableEntry,
                                                      ResourceKeys const& rsrcKeys, Asic::SwTableStats* stats) const {
    auto const& entries = cfg.swTableEntries();
    ConfigRecord const stored = entrylog::guardedRead(entries, [&] { return entries.find(tableEntry.key); });
    if (stored == ConfigRecord{} || stored.inDeletion) return 0;
    bool same = stored.logEntry == tableEntry;
    if constexpr (Traits::kStoresRsrcKeys) same = same && stored.rsrcKeys == rsrcKeys;
    if (!same) {
        QEL_TRACE_AT(trace(), 3, "Not Suppressing write because entry or resource key is different  for key: {}",
                     tableEntry.key);
        if (stats) stats->suppressCheckDiffCntInc(1);
        return 0;
    }
    if (stats) stats->suppressedWriteCntInc(1);
    QEL_TRACE_AT(trace(), 3, "Suppressing identical write for key: {}", tableEntry.key);
    return stored.logVersion;
}

template <typename Traits>
Asic::LogVersion EntryLogT<Traits>::entryIs(LogEntry const& tableEntry, ResourceKeys const& rsrcKeys,
                                            NeededEntryPtr const& neededEntry, Asic::UnitId unitId,
                                            Lumo::Ptr<Asic::SwTableStats> const& stats, bool suppressIdenticalWrites) {
    ConfigTessel& cfg = requiredConfig(unitId);
    if (suppressIdenticalWrites) {
        if (Asic::LogVersion const stored = suppressedVersion(cfg, tableEntry, rsrcKeys, stats.get())) return stored;
    }
    Asic::LogVersion const version = tableVersionInc(1);
    QEL_TRACE_AT(trace(), 8, " logEntry: {} neededEntry: {} version: {} unitId: {} suppressIdenticalWrites: {}",
                 tableEntry, neededEntry, version, unitId, suppressIdenticalWrites);
    ConfigRecord record;
    record.logEntry = tableEntry;
    if constexpr (Traits::kStoresRsrcKeys) record.rsrcKeys = rsrcKeys;
    record.logVersion = version;
    LogRecord change;
    change.version = version;
    change.unitId = unitId;
    change.logEntry = tableEntry;
    return commitChange([&] { cfg.swTableEntriesIs(record); }, change, neededEntry);
}

template <typename Traits>
Asic::LogVersion EntryLogT<Traits>::entryDel(Key const& key, NeededEntryPtr const& neededEntry, Asic::UnitId unitId) {
    QEL_TRACE_AT(trace(), 8, " key:{} neededEntry: {} unitId: {}", key, neededEntry, unitId);
    ConfigTessel& cfg = requiredConfig(unitId);
    auto const& entries = cfg.swTableEntries();
    // A corrupt record counts as absent, as for every other lookup.
    std::optional<ConfigRecord> record = entrylog::guardedRead(entries, [&] { return entries.lookup(key); });
    if (!record) {
        QEL_TRACE_AT(trace(), 3, " key: {} entry does not exist. So ignoring delete", key);
        return 0;
    }
    Asic::LogVersion const version = tableVersionInc(1);
    record->logVersion = version;
    record->inDeletion = 1;
    LogRecord change;
    change.version = version;
    change.entryDeletedIs(true);
    change.unitId = unitId;
    change.logEntry = record->logEntry;
    return commitChange([&] { cfg.swTableEntriesIs(*record); }, change, neededEntry);
}

template <typename Traits>
Asic::LogVersion EntryLogT<Traits>::tableDel(NeededEntryPtr const& neededEntry, Asic::UnitId unitId) {
    QEL_TRACE_AT(trace(), 8, " neededEntry:{}, unitId: {}", neededEntry, unitId);
    ConfigTessel& cfg = requiredConfig(unitId);
    Asic::LogVersion const version = tableVersionInc(1);
    LogRecord change;
    change.version = version;
    change.tableDeletedIs(true);
    change.unitId = unitId;
    auto markAll = [&] {
        // Records already in deletion keep the version of the change that deleted them.
        entrylog::forEachRecord(cfg.swTableEntries(), [&](ConfigRecord record) {
            if (record.inDeletion) return;
            record.logVersion = version;
            record.inDeletion = 1;
            cfg.swTableEntriesIs(record);
        });
    };
    return commitChange(markAll, change, neededEntry);
}

template <typename Traits>
auto EntryLogT<Traits>::entry(Key const& key, Asic::UnitId unitId) const -> LogEntry {
    QEL_TRACE_AT(trace(), 8, " key: {} unitId:{}", key, unitId);
    auto const& entries = requiredConfig(unitId).swTableEntries();
    ConfigRecord const record = entrylog::guardedRead(entries, [&] { return entries.find(key); });
    return record.inDeletion ? LogEntry{} : record.logEntry;
}

template <typename Traits>
bool EntryLogT<Traits>::entryHas(Key const& key, Asic::UnitId unitId) const {
    QEL_TRACE_AT(trace(), 8, " key: {} unitId:{}", key, unitId);
    auto const& entries = requiredConfig(unitId).swTableEntries();
    std::optional<ConfigRecord> const record = entrylog::guardedRead(entries, [&] { return entries.lookup(key); });
    return record && !record->inDeletion;
}

template <typename Traits>
auto EntryLogT<Traits>::entryRsrcKeys(Key const& key, Asic::UnitId unitId) const -> ResourceKeys {
    QEL_TRACE_AT(trace(), 8, " key: {} unitId:{}", key, unitId);
    if constexpr (!Traits::kStoresRsrcKeys) {
        return ResourceKeys{};
    } else {
        auto const& entries = requiredConfig(unitId).swTableEntries();
        return entrylog::guardedRead(entries, [&] { return entries.find(key); }).rsrcKeys;
    }
}

template <typename Traits>
Asic::LogVersion EntryLogT<Traits>::entryLogVersion(Key const& key, Asic::UnitId unitId) const {
    QEL_TRACE_AT(trace(), 8, " key: {} unitId:{}", key, unitId);
    auto const& entries = requiredConfig(unitId).swTableEntries();
    return entrylog::guardedRead(entries, [&] { return entries.find(key); }).logVersion;
}

template <typename Traits>
std::uint32_t EntryLogT<Traits>::entrysInDeletion(Asic::UnitId unitId) const {
    QEL_TRACE_AT(trace(), 8, " unitId:{}", unitId);
    std::uint32_t inDeletion = 0;
    entrylog::forEachRecord(requiredConfig(unitId).swTableEntries(), [&](ConfigRecord const& record) {
        if (record.inDeletion) ++inDeletion;
    });
    return inDeletion;
}

template <typename Traits>
std::uint32_t EntryLogT<Traits>::entrys(Asic::UnitId unitId) const {
    QEL_TRACE_AT(trace(), 8, " unitId:{}", unitId);
    std::uint32_t const all = requiredConfig(unitId).swTableEntries().size();
    return all - entrysInDeletion(unitId);
}

}  // namespace VornTunnelTcamMgr
