#pragma once
// Construction, destruction and attribute operations of SwTableT<F>.
#include "contracts/qel/Assert.h"
#include "swtable/SwTableT.h"

namespace VornTunnelTcamMgr {

template <typename F>
Lumo::String EntryHandleT<F>::tableName() const {
    QEL_TRACE_AT(F::trace(), 8, "");
    return swTable_->tableName()->name();
}

template <typename F>
Asic::SwTableId EntryHandleT<F>::tableId() const {
    QEL_TRACE_AT(F::trace(), 8, "");
    return swTable_->swTableId();
}

template <typename F>
SwTableT<F>::SwTableT(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName, Asic::SwTableId swTableId,
                      Asic::UnitId unitId, Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<EntryLog> const& entryLog,
                      Lumo::Ptr<Asic::GroupResolver> const& groupResolver)
    : Asic::OrderedSwTableWithMarkSweep(tableName, swTableId, unitId, swTableSet),
      entryLog_(entryLog),
      groupResolver_(groupResolver) {
    handleInitialized();
}

template <typename F>
SwTableT<F>::~SwTableT() {
    markedKey_.delAll();
    entryHandleInLogDelAll();
}

template <typename F>
void SwTableT<F>::handleInitialized() {
    QEL_TRACE_AT(trace(), 8, "doesMarkSweep: True hwErrorHandling: False");
    swTableHelperIs(Lumo::make<HelperBase>());
    statsIs();
}

template <typename F>
void SwTableT<F>::swTableHelperIs(Lumo::Ptr<HelperBase> const& helper) {
    if (helper == swTableHelper_) return;
    swTableHelper_ = helper;
    notify(kSwTableHelper);
}

namespace detail {
template <typename Coll, typename Wrapper>
bool wrapperIs(Coll& coll, Lumo::Ptr<Wrapper> const& wrapper, char const* attribute) {
    if (!wrapper) throw Lumo::NullArgumentException(attribute);
    return coll.set(wrapper->key(), wrapper);
}
}  // namespace detail

template <typename F>
void SwTableT<F>::transientAddEntryIs(Lumo::Ptr<Wrapper> const& wrapper) {
    if (detail::wrapperIs(transientAddEntry_, wrapper, "transientAddEntry")) notify(kTransientAddEntry);
}

template <typename F>
void SwTableT<F>::transientRemoveEntryIs(Lumo::Ptr<Wrapper> const& wrapper) {
    if (detail::wrapperIs(transientRemoveEntry_, wrapper, "transientRemoveEntry")) notify(kTransientRemoveEntry);
}

template <typename F>
Lumo::Ptr<typename F::Wrapper> SwTableT<F>::transientAddEntryDel(Key const& key) {
    auto removed = transientAddEntry_.del(key);
    if (!removed) return nullptr;
    notify(kTransientAddEntry);
    return std::move(*removed);
}

template <typename F>
Lumo::Ptr<typename F::Wrapper> SwTableT<F>::transientRemoveEntryDel(Key const& key) {
    auto removed = transientRemoveEntry_.del(key);
    if (!removed) return nullptr;
    notify(kTransientRemoveEntry);
    return std::move(*removed);
}

template <typename F>
void SwTableT<F>::transientAddEntryDelAll() {
    if (transientAddEntry_.empty()) return;
    transientAddEntry_.delAll();
    notify(kTransientAddEntry);
}

template <typename F>
void SwTableT<F>::transientRemoveEntryDelAll() {
    if (transientRemoveEntry_.empty()) return;
    transientRemoveEntry_.delAll();
    notify(kTransientRemoveEntry);
}

template <typename F>
std::optional<Asic::EntryVersion> SwTableT<F>::transientVersionForKeyGet(Key const& key) const {
    Asic::EntryVersion const* v = transientVersionForKey_.find(key);
    return v ? std::optional<Asic::EntryVersion>(*v) : std::nullopt;
}

template <typename F>
void SwTableT<F>::transientVersionForKeyIs(Key const& key, Asic::EntryVersion version) {
    auto same = [](Asic::EntryVersion const& a, Asic::EntryVersion const& b) { return a.isEq(b); };
    if (transientVersionForKey_.set(key, version, same)) notify(kTransientVersionForKey);
}

template <typename F>
void SwTableT<F>::transientVersionForKeyDel(Key const& key) {
    if (transientVersionForKey_.del(key)) notify(kTransientVersionForKey);
}

template <typename F>
void SwTableT<F>::transientVersionForKeyDelAll() {
    if (transientVersionForKey_.empty()) return;
    transientVersionForKey_.delAll();
    notify(kTransientVersionForKey);
}

template <typename F>
void SwTableT<F>::transientRemoveAllVersionIs(Asic::MajorVersion version) {
    if (version == transientRemoveAllVersion_) return;
    transientRemoveAllVersion_ = version;
    notify(kTransientRemoveAllVersion);
}

template <typename F>
void SwTableT<F>::entryHandleInLogEnq(Lumo::Ptr<EntryHandle> const& handle) {
    auto position = entryHandleInLog_.enq(handle);
    notify(kEntryHandleInLog, position);
}

template <typename F>
Lumo::Ptr<EntryHandleT<F>> SwTableT<F>::entryHandleInLogDeq() {
    if (entryHandleInLog_.empty()) return nullptr;
    auto position = entryHandleInLog_.frontPosition();
    auto handle = entryHandleInLog_.deq();
    notify(kEntryHandleInLog, position);
    return handle;
}

template <typename F>
void SwTableT<F>::entryHandleInLogDelAll() {
    while (!entryHandleInLog_.empty()) entryHandleInLogDeq();
    entryHandleInLog_.clear();
}

template <typename F>
void SwTableT<F>::markedKeyIs(Key const& key) {
    if (markedKey_.insert(key)) notify(kMarkedKey);
}

template <typename F>
void SwTableT<F>::markedKeyDel(Key const& key) {
    if (markedKey_.del(key)) notify(kMarkedKey);
}

template <typename F>
void SwTableT<F>::markedKeyDelAll() {
    if (markedKey_.empty()) return;
    markedKey_.delAll();
    notify(kMarkedKey);
}

template <typename F>
void SwTableT<F>::inMarkingStateIs(bool flag) {
    if (flag == inMarkingState_) return;
    inMarkingState_ = flag;
    notify(kInMarkingState);
}

}  // namespace VornTunnelTcamMgr
