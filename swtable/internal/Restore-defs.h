#pragma once
// Restore, update and clear: operations that rebuild wrappers from the unit's configuration
// table and act on committed entries without a request of the agent's.
#include "swtable/ResourceChecks.h"
#include "swtable/internal/Read-defs.h"

namespace VornTunnelTcamMgr {

namespace detail {
// Walks the live records of a configuration collection in its order; a corrupt record is
// reported to the collection and ends the walk.
template <typename Collection, typename Fn>
void forEachLiveRecord(Collection& coll, Fn&& fn) {
    entrylog::forEachRecord(coll, [&](auto const& record) {
        if (!record.inDeletion) fn(record);
    });
}
}  // namespace detail

template <typename F>
Lumo::Ptr<typename F::Wrapper> SwTableT<F>::entryWrapperFromConfig(Key const& key, bool refreshRsrcPtrs,
                                                                   Lumo::Ptr<EntryHandle>& handle) {
    QEL_TRACE_AT(trace(), 8, "key: {}, refreshRsrcPtrs: {}", key, refreshRsrcPtrs);
    Entry const entry = entryFromConfig(key);
    if (!handle) handle = entryHandleFactory(Asic::EntryVersion(), key, &self());
    auto wrapper = Lumo::make<Wrapper>(entry, handle);
    wrapper->keyIs(key);
    setRsrcPtrs(wrapper, refreshRsrcPtrs);
    wrapper->retrieveClientData();
    return wrapper;
}

template <typename F>
Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> SwTableT<F>::updateEntry(Key const& key) {
    if (!entryLog_->entryHas(key, unitId())) {
        QEL_TRACE_AT(trace(), 3, " key: {} entry does not exist ", key);
        return nullptr;
    }
    Lumo::Ptr<EntryHandle> handle;
    auto wrapper = entryWrapperFromConfig(key, false, handle);
    auto const committed = wrapper->logEntry();
    wrapper->setResolvedFields();
    bool someResourceHasFailed = false;
    if constexpr (F::kHasResources) someResourceHasFailed = !checkResolveSuccess<F>(wrapper, linkage());
    bool const commitToLog =
        swTableHelper_->finalizeOnResourceUpdate(wrapper, Lumo::Ptr<SwTable>(&self()), someResourceHasFailed);
    if constexpr (F::kHasResources) {
        if (someResourceHasFailed) {
            QEL_TRACE_AT(trace(), 3, " key: {}, some resource had failed", key);
            stats()->updateWithFailedResourceCntInc(1);
        }
    }
    Asic::LogVersion version;
    if (!(wrapper->logEntry() == committed) && commitToLog) {
        Lumo::Ptr<Asic::NeededEntry> neededEntry = getNeededEntrySet(wrapper);
        version = entryLog_->entryIs(wrapper->logEntry(), wrapper->rsrcKeys(), neededEntry, unitId(), stats(), false);
        handle->logVersionIs(version);
        handle->entryStateIs(Asic::EntryState::logged);
        stats()->updateCntInc(1);
        QEL_TRACE_AT(trace(), 3, " key: {}, neededEntry: {}, entryLogVersion: {} ", key, *neededEntry, version);
    } else {
        QEL_TRACE_AT(trace(), 3, " key: {}, commitToLog: {}, no change in logEntry or don't commit to log", key,
                     commitToLog);
        version = entryLog_->entryLogVersion(key, unitId());
        handle->logVersionIs(version);
        handle->entryStateIs(Asic::EntryState::logged);
    }
    return handle;
}

template <typename F>
void SwTableT<F>::delAllEntries(bool releaseResources, Lumo::Ptr<Asic::NeededEntry const> const& neededEntry,
                                Lumo::Ptr<EntryHandle>& handle) {
    QEL_TRACE_AT(trace(), 8, " releaseResources: {}, neededEntry:{} ", releaseResources, neededEntry);
    auto cfg = entryLog_->tableConfigTessel(unitId());
    auto& coll = cfg->swTableEntries();
    if (coll.size() == 0) return;  // nothing stored, not even records in deletion
    if (releaseResources) {
        detail::forEachLiveRecord(coll, [&](auto const& record) {
            auto wrapper = entryWrapperFromConfig(record.key(), false, handle);
            if constexpr (F::kHasResources) linkage()->updateLocalUsage(wrapper, wrapper->entry(), true);
        });
    }
    Asic::LogVersion const version = entryLog_->tableDel(neededEntry, unitId());
    if (handle) {
        handle->logVersionIs(version);
        handle->entryStateIs(Asic::EntryState::logged);
    }
    stats()->tableClearCntInc(1);
}

template <typename F>
void SwTableT<F>::clearTable(bool releaseResources) {
    QEL_TRACE_AT(trace(), 8, "");
    Lumo::Ptr<EntryHandle> handle;
    delAllEntries(releaseResources, nullptr, handle);
}

template <typename F>
void SwTableT<F>::restoreEntries() {
    if constexpr (F::kHasResources) {
        QEL_TRACE_AT(trace(), 8, "");
        auto cfg = entryLog_->tableConfigTessel(unitId());
        detail::forEachLiveRecord(cfg->swTableEntries(), [&](auto const& record) {
            Lumo::Ptr<EntryHandle> handle;
            auto wrapper = entryWrapperFromConfig(record.key(), true, handle);
            linkage()->restoreEntry(wrapper);
        });
        linkage()->handleResourceChangeAtInit();
    }
}

}  // namespace VornTunnelTcamMgr
