#pragma once
// Mark and sweep, table status and pending hardware writes of SwTableT<F>.
#include "contracts/qel/RingTrace.h"
#include "swtable/internal/Read-defs.h"

namespace VornTunnelTcamMgr {

template <typename F>
void SwTableT<F>::mark() {
    QEL_TRACE_AT(trace(), 8, "");
    if (!inMarkingState_) inMarkingStateIs(true);
}

// Removes every entry of the merged view whose key was not written while marked. The removals
// go into the transient remove collection while the walk goes on; the iterator's bookmark
// keeps its place and skips keys pending removal.
template <typename F>
void SwTableT<F>::sweep() {
    QEL_TRACE_AT(trace(), 8, "");
    std::int64_t swept = 0;
    if (inMarkingState_) {
        for (auto it = entryIteratorConst(); !(it.current() == Entry{}); ++it) {
            Key const key = it.current().key();
            if (!markedKeyHas(key)) {
                self().entryRemove(key, nullptr);
                ++swept;
            }
        }
        if (inMarkingState_) inMarkingStateIs(false);
        markedKeyDelAll();
    }
    Qel::RingTrace::record("Swept {} entries", {swept});
    QEL_TRACE_AT(trace(), 6, "Swept {} entries", swept);
}

template <typename F>
void SwTableT<F>::tableStatusVersion(Asic::LogVersion version) {
    QEL_TRACE_AT(trace(), 8, "tableVersion: {}", version);
    entryLog_->cleanupEntryLog(version);
    groupResolver_->updateGenId();
    while (auto front = entryHandleInLogFront()) {
        if (version < front->logVersion()) break;  // the status is still behind this handle
        entryHandleInLogDeq();
        QEL_TRACE_AT(trace(), 3, "Processing version: {}, key: {}", front->logVersion(), front->key());
        front->entryStateIs(Asic::EntryState::done);
        front->callResponseHandler();
    }
    if (auto* set = swTableSet()) set->maybeUpdatePendingHwWrites();
}

template <typename F>
bool SwTableT<F>::hasPendingHwWrites() {
    QEL_TRACE_AT(trace(), 8, "");
    bool pending;
    if (!transientAddEntry_.empty() || !transientRemoveEntry_.empty()) {
        pending = true;
    } else if (transientRemoveAllVersion_.valid()) {
        pending = true;
    } else {
        pending = entryLog_->tableVersion() != entryLog_->cleanedVersion();
    }
    QEL_TRACE_AT(trace(), 3, " pendingHwWrites for swTable: tableId: {}, unitId{} is {}", swTableId(), unitId(),
                 pending);
    return pending;
}

}  // namespace VornTunnelTcamMgr
