#pragma once
// Point reads, the entry count and the merged iteration of SwTableT<F>.
#include <optional>

#include "contracts/qel/Assert.h"
#include "contracts/shm/ReadPass.h"
#include "entrylog/GuardedRead.h"
#include "swtable/IteratorStateT.h"
#include "swtable/SwTableT.h"

namespace VornTunnelTcamMgr {

template <typename F>
typename F::Entry SwTableT<F>::entryRead(Key const& key) const {
    QEL_TRACE_AT(trace(), 8, " key: {}", key);
    QEL_TRACE_AT(trace(), 8, "key: {}", key);
    if (Lumo::Ptr<Wrapper> const* w = transientAddEntry_.find(key)) return (*w)->entry();
    if (transientRemoveEntry_.has(key)) return Entry{};
    if (entryLog_->entryHas(key, unitId())) return entryFromConfig(key);
    QEL_TRACE_AT(trace(), 1, "Failed to find entry for key: {}", key);
    return Entry{};
}

template <typename F>
bool SwTableT<F>::entryHas(Key const& key) const {
    QEL_TRACE_AT(trace(), 8, "key: {}", key);
    if (transientAddEntry_.has(key)) return true;
    if (transientRemoveEntry_.has(key)) return false;
    if (transientRemoveAllVersion_.valid()) return false;
    return entryLog_->entryHas(key, unitId());
}

template <typename F>
typename F::Entry SwTableT<F>::entryFromConfig(Key const& key) const {
    QEL_TRACE_AT(trace(), 8, "key: {}", key);
    auto cfg = entryLog_->tableConfigTessel(unitId());
    auto& coll = cfg->swTableEntries();
    auto record = entrylog::guardedRead(coll, [&] { return coll.lookup(key); });
    if (!record || record->inDeletion) return Entry{};
    return Entry{record->logEntry, record->rsrcKeys};
}

template <typename F>
std::uint32_t SwTableT<F>::entrys() const {
    if (transientRemoveAllVersion_.valid()) return static_cast<std::uint32_t>(transientAddEntry_.size());
    auto adds = static_cast<std::int64_t>(transientAddEntry_.size());
    auto removes = static_cast<std::int64_t>(transientRemoveEntry_.size());
    auto const committed = static_cast<std::int64_t>(entryLog_->entrys(unitId()));
    for (auto [key, wrapper] : transientAddEntry_)
        if (entryLog_->entryHas(key, unitId())) --adds;  // the write replaces a committed entry
    for (auto [key, wrapper] : transientRemoveEntry_)
        if (!entryLog_->entryHas(key, unitId())) --removes;  // nothing committed to remove
    return static_cast<std::uint32_t>(adds + committed - removes);
}

template <typename F>
Lumo::Ptr<typename F::IteratorState> SwTableT<F>::initIterState() const {
    auto state = Lumo::make<IteratorState>();
    state->swTableIs(&self());
    state->state().skipTblCfgIs(transientRemoveAllVersion_.valid());
    state->state().inAddCollIs(true);
    return state;
}

template <typename F>
Lumo::Ptr<typename F::IteratorState> SwTableT<F>::initIterStateFromKey(Key const& key) const {
    QEL_TRACE_AT(trace(), 8, " key: {}", key);
    auto state = Lumo::make<IteratorState>();
    state->swTableIs(&self());
    state->state().skipTblCfgIs(transientRemoveAllVersion_.valid());
    state->bookmarkKeyIs(key);
    state->state().hasBookmarkIs(true);
    if (transientAddEntry_.has(key)) {
        state->state().inAddCollIs(true);
    } else if (!state->state().skipTblCfg() && entryLog_->entryHas(key, unitId())) {
        state->state().inTblCfgIs(true);
    }
    return state;
}

template <typename F>
auto SwTableT<F>::getTableEntries_py() const -> Lumo::Ptr<SwTableEntries_py> {
    auto snapshot = Lumo::make<SwTableEntries_py>();
    auto state = initIterState();
    Entry entry = state->maybeUpdateCurrentEntry();
    while (state->state().hasCurrent()) {
        snapshot->tableEntriesIs(entry);
        entry = state->maybeUpdateCurrentEntry();
    }
    return snapshot;
}

template <typename F>
typename F::Entry IteratorStateT<F>::maybeUpdateCurrentEntry() {
    auto& t = swTableIterTrace();
    QEL_TRACE_AT(t, 8, "");
    Entry result{};
    if (state_.inAddColl()) {
        if (addPhase(result)) return result;
    }
    if (state_.inTblCfg()) {
        if (configPhase(result)) return result;
    }
    QEL_TRACE_AT(t, 9, "  no more entries");
    state_.hasCurrentIs(false);
    state_.inAddCollIs(false);
    state_.inTblCfgIs(false);
    return Entry{};
}

// The slot of the bookmarked key in the transient add collection, or npos when the key has
// left it. The slot the last step noted is taken when it still holds the key (a key occupies
// one slot at a time, so that is the slot a lookup would find); otherwise the key is looked up.
template <typename F>
template <typename AddColl>
std::uint32_t IteratorStateT<F>::bookmarkPosition(AddColl const& adds) const {
    if (adds.liveAt(bookmarkPos_) && adds.keyAt(bookmarkPos_) == bookmarkKey_) return bookmarkPos_;
    return adds.positionOf(bookmarkKey_);
}

// The add phase: produces the next pending write, or hands over to the configuration phase.
template <typename F>
bool IteratorStateT<F>::addPhase(Entry& result) {
    auto& t = swTableIterTrace();
    auto const* iterState_ = this;
    QEL_ASSERT(!iterState_->state().inTblCfg(), "!iterState_->state().inTblCfg()");
    QEL_TRACE_AT(t, 9, "  in transientAdd collection");
    auto const& adds = swTable_->transientAddEntryColl();
    auto pos = state_.hasBookmark() ? bookmarkPosition(adds) : adds.first();
    if (pos == adds.npos) {
        QEL_TRACE_AT(t, 9, "  done with transAdd");
        state_.inAddCollIs(false);
        state_.inTblCfgIs(!state_.skipTblCfg());
        QEL_ASSERT(!iterState_->state().inAddColl(), "!iterState_->state().inAddColl()");
        return false;
    }
    state_.hasCurrentIs(true);
    QEL_TRACE_AT(t, 9, "  found entry: {}", adds.keyAt(pos));
    result = adds.valueAt(pos)->entry();
    auto next = adds.next(pos);
    if (next != adds.npos) {
        bookmarkKey_ = adds.keyAt(next);
        bookmarkPos_ = next;
        state_.hasBookmarkIs(true);
    } else {
        state_.hasBookmarkIs(false);
        QEL_TRACE_AT(t, 9, "  done with transAdd");
        state_.inAddCollIs(false);
        state_.inTblCfgIs(!state_.skipTblCfg());
    }
    return true;
}

// The configuration phase: produces the next committed entry that no pending request hides.
template <typename F>
bool IteratorStateT<F>::configPhase(Entry& result) {
    auto& t = swTableIterTrace();
    QEL_TRACE_AT(t, 9, "  in cfgTessel collection");
    auto cfg = swTable_->entryLog()->tableConfigTessel(swTable_->unitId());
    auto& coll = cfg->swTableEntries();
    using Record = std::remove_cvref_t<decltype(*coll.first())>;
    std::optional<Record> candidate =
        entrylog::guardedRead(coll, [&] { return state_.hasBookmark() ? coll.atOrAfter(bookmarkKey_) : coll.first(); });
    // The reads of the rest of this step (skips and the record after the produced one) share
    // one read transaction. Nothing is written between them; the first read above has shown
    // that the environment is open.
    std::optional<QelSharedMem::ReadPass> pass;
    if (candidate) pass.emplace();
    while (candidate) {
        Key const key = candidate->key();
        // The record's own flag first: it costs nothing, the collection lookups hash the key.
        bool const hidden = candidate->inDeletion || swTable_->transientRemoveEntryColl().has(key) ||
                            swTable_->transientAddEntryColl().has(key);
        if (!hidden) break;
        candidate = entrylog::guardedRead(coll, [&] { return coll.after(key); });
    }
    if (!candidate) return false;
    state_.hasCurrentIs(true);
    result = Entry{candidate->logEntry, candidate->rsrcKeys};
    QEL_TRACE_AT(t, 9, "  found entry: {}", candidate->key());
    auto next = entrylog::guardedRead(coll, [&] { return coll.after(candidate->key()); });
    if (next) {
        bookmarkKey_ = next->key();
        state_.hasBookmarkIs(true);
        return true;
    }
    QEL_TRACE_AT(t, 9, "  done with cfgTessel");
    state_.hasBookmarkIs(false);
    state_.inTblCfgIs(false);
    return true;
}

}  // namespace VornTunnelTcamMgr
