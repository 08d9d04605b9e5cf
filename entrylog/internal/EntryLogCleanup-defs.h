#pragma once
// EntryLogT: removal of change-log records the hardware no longer needs, together with the
// configuration records those records deleted.
#include "contracts/qel/Trace.h"
#include "entrylog/EntryLogT.h"
#include "entrylog/GuardedRead.h"

namespace VornTunnelTcamMgr {

namespace entrylog {
// Change-log records removed per shared-memory transaction. Each record and the configuration
// records it deleted go in the same transaction, so a crash never separates them; grouping many
// records per transaction keeps the cost of a large cleanup down to a few commits.
inline constexpr unsigned kCleanupBatch = 1024;
}  // namespace entrylog

template <typename Traits>
void EntryLogT<Traits>::cleanupEntryLog(Asic::LogVersion tableVersion) {
    QEL_TRACE_AT(trace(), 8, " version {}", tableVersion);
    auto const& changeLog = tableEntryLog_->entryLogConfig();
    if (cleanedVersion() == 0) {
        // First cleanup of this instance: nothing is known about what earlier runs left, so
        // the whole change log is walked. A damaged record ends the walk; its report removes
        // every damaged record of the log, so the walk is made once more. A damaged record may
        // have been the change that deleted configuration records: those the hardware has
        // applied are dropped as a mount drops them.
        if (!cleanupWalk(tableVersion)) {
            cleanupWalk(tableVersion);
            for (auto [unitId, cfg] : tableConfigTessel_) settleConfig(*cfg, tableVersion);
        }
    } else if (cleanedVersion() <= tableVersion) {
        // Every version up to cleanedVersion is gone already: visit only the newer ones.
        Asic::LogVersion version = cleanedVersion();
        bool more = true;
        while (more) {
            QelSharedMem::WriteTransaction txn;
            for (unsigned visited = 0; more && visited < entrylog::kCleanupBatch; ++visited) {
                std::optional<LogRecord> const change =
                    entrylog::guardedRead(changeLog, [&] { return changeLog.lookup(version); });
                if (change) takeChangeRecord(*change);
                more = version != tableVersion;
                ++version;
            }
        }
    }
    cleanedVersionIs(tableVersion);
}

template <typename Traits>
bool EntryLogT<Traits>::cleanupWalk(Asic::LogVersion tableVersion) {
    auto const& changeLog = tableEntryLog_->entryLogConfig();
    bool reported = false;
    std::optional<LogRecord> cur = entrylog::guardedRead(
        changeLog, [&] { return changeLog.first(); }, reported);
    while (cur) {
        QelSharedMem::WriteTransaction txn;
        for (unsigned taken = 0; cur && taken < entrylog::kCleanupBatch;) {
            Asic::LogVersion const version = cur->version;
            if (version <= tableVersion) {
                takeChangeRecord(*cur);
                ++taken;
            }
            cur = entrylog::guardedRead(
                changeLog, [&] { return changeLog.after(version); }, reported);
        }
    }
    return !reported;
}

// Removes one change-log record and applies it (the copy) to its unit.
template <typename Traits>
void EntryLogT<Traits>::takeChangeRecord(LogRecord const& change) {
    tableEntryLog_->entryLogConfigDel(change.version);
    applyRemovedChange(change);
}

// Drops the configuration records that the removed change deleted and nothing later touched.
template <typename Traits>
void EntryLogT<Traits>::applyRemovedChange(LogRecord const& change) {
    Lumo::Ptr<ConfigTessel> const* cfg = tableConfigTessel_.find(change.unitId);
    if (cfg == nullptr) {
        QEL_TRACE_AT(trace(), 3, " configTessel not found for unitId: {}", change.unitId);
        return;
    }
    ConfigTessel& table = **cfg;
    auto const& entries = table.swTableEntries();
    if (change.entryDeleted()) {
        Key const key = change.logEntry.key;
        ConfigRecord const stored = entrylog::guardedRead(entries, [&] { return entries.find(key); });
        if (stored.logVersion == change.version) table.swTableEntriesDel(key);
    } else if (change.tableDeleted()) {
        QEL_TRACE_AT(trace(), 3, " deleteing all entries for unitId: {}", change.unitId);
        entrylog::forEachRecord(entries, [&](ConfigRecord const& record) {
            if (record.logVersion == change.version) table.swTableEntriesDel(record.key());
        });
    }
}

}  // namespace VornTunnelTcamMgr
