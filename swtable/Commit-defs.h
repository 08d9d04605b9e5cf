#pragma once
// Resolution and commit: the group resolver asks whether a queued request may commit now and
// then commits it. A commit tells the client hook, records the request in the entry log, cleans
// the request's transient state unless a newer request for the key came in, and completes the
// entry handle at once or queues it until the table status reaches its log version.
#include "contracts/qel/Assert.h"
#include "contracts/qel/System.h"
#include "swtable/OrderedSwTableAccessor.h"
#include "swtable/ResourceChecks.h"

namespace Asic {

template <typename T>
void OrderedSwTableAccessor<T>::completeHandle(EntryHandle& handle, EntryState state) {
    handle.entryStateIs(state);
    handle.callResponseHandler();
}

template <typename T>
void OrderedSwTableAccessor<T>::transientCleanup(T& table, bool removeSide, Key const& key,
                                                 EntryVersion committedVersion) {
    auto wrapper = removeSide ? table.transientRemoveEntry(key) : table.transientAddEntry(key);
    // A different version means a newer request for the key came in (or a remove-all dropped
    // this one): its transient state is not ours to clean.
    if (!wrapper || !wrapper->entryHandle()->version().isEq(committedVersion)) return;
    if (removeSide) {
        table.transientRemoveEntryDel(key);
    } else {
        table.transientAddEntryDel(key);
    }
    table.transientVersionForKeyDel(key);
}

template <typename T>
void OrderedSwTableAccessor<T>::commitTail(T& table) {
    updateSuspendAndPendingWrites(table);
    table.stats()->lastCommitTimeIs(Qel::System::currentTimeUtc());
    table.stats()->commitCntInc(1);
}

template <typename T>
template <typename Linkage>
bool OrderedSwTableAccessor<T>::isResolverEntryResolved(T& table, Lumo::Ptr<ResolverEntryType> const& resolverEntry,
                                                        Linkage const& linkage) {
    auto const& wrapper = resolverEntry->swTableEntry();
    Key const& key = wrapper->key();
    if (table.entryLog()->tableEntryLog()->entryLogConfig().size() > kChangeLogRecordLimit) {
        QEL_TRACE_AT(T::trace(), 1, "key: {}, isEntryDeleted: {} : no space in entryLog!", key,
                     resolverEntry->isEntryDeleted());
        return false;
    }
    if (auto const& dependency = resolverEntry->dependantEntryHandle()) {
        if (dependency->entryState() == EntryState::pending) {
            QEL_TRACE_AT(T::trace(), 3, "key: {} dependant entry not yet resolved", key);
            return false;
        }
        QEL_TRACE_AT(T::trace(), 3, "key: {} dependant entry is resolved", key);
    }
    if (!resolverEntry->isEntryDeleted()) {
        table.setRsrcPtrs(wrapper, true);
        if constexpr (F::kHasResources) {
            if (!VornTunnelTcamMgr::resAccessorCheckResolved<F>(wrapper, linkage)) return false;
        }
    }
    QEL_TRACE_AT(T::trace(), 3, "key: {}, isEntryDeleted: {}, isTableDeleted: {}, resolved: true", key,
                 resolverEntry->isEntryDeleted(), resolverEntry->isTableDeleted());
    return true;
}

template <typename T>
template <typename Linkage>
void OrderedSwTableAccessor<T>::commitEntry(T& table, Lumo::Ptr<ResolverEntry> const& resolverEntry,
                                            Linkage const& linkage) {
    auto const& request = static_cast<ResolverEntryType const&>(*resolverEntry);
    Lumo::Ptr<Wrapper> const wrapper = request.swTableEntry();
    bool const isEntryDelete = request.isEntryDeleted();
    bool const isTableDelete = request.isTableDeleted();
    QEL_TRACE_AT(T::trace(), 8, "Entry: {}, isEntryDeleted: {}, isTableDeleted: {}", wrapper->key(), isEntryDelete,
                 isTableDelete);
    QEL_ASSERT(!(isEntryDelete && isTableDelete), "!( isEntryDelete && isTableDelete )");
    QEL_ASSERT(wrapper->entryHandle() != nullptr, "entryHandle != NULL");
    Lumo::Ptr<EntryHandle> handle = Lumo::static_ptr_cast<EntryHandle>(wrapper->entryHandle());
    if (!isTableDelete) QEL_ASSERT(handle->version().valid(), "entryConfVersion.valid()");
    EntryVersion const committedVersion = handle->version();
    auto const& dependency = request.dependantEntryHandle();
    Key const key = wrapper->key();
    Lumo::Ptr<typename F::SwTable> const swTable(&table);

    if (dependency && SwTableBase::isFailed(dependency->entryState())) {
        if (isTableDelete) {
            QEL_TRACE_AT(T::trace(), 1, "Failed dependent entry for remove all");
            QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry remove all operation");
        } else {
            QEL_TRACE_AT(T::trace(), 1, "Failed dependent entry for key: {}", key);
            QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry key: {}", key);
        }
        completeHandle(*handle, EntryState::failed);
        commitTail(table);
        return;
    }

    if (isTableDelete) {
        MajorVersion const currRemoveAllVersion = table.transientRemoveAllVersion();
        QEL_ASSERT(currRemoveAllVersion.valid(), "currRemoveAllVersion.valid()");
        QEL_TRACE_AT(T::trace(), 8, "Committing table delete for version: {}", currRemoveAllVersion);
        Lumo::Ptr<NeededEntry> needed = table.getNeededEntrySet(wrapper);
        if (dependency) needed->add(dependency->entryTableVersion());
        table.delAllEntries(true, needed, handle);
        table.transientRemoveAllVersionIs(currRemoveAllVersion.value == 0 ? MajorVersion::invalid()
                                                                          : MajorVersion(currRemoveAllVersion.value - 1));
        commitTail(table);
        return;
    }

    if (isEntryDelete) {
        Entry const before = table.entryFromConfig(key);
        auto needed = Lumo::make<NeededEntry>();
        if (dependency) needed->add(dependency->entryTableVersion());
        transientCleanup(table, true, key, committedVersion);
        wrapper->finalizeOnSuccess(swTable, true);
        LogVersion const logVersion = table.entryLog()->entryDel(key, needed, table.unitId());
        handle->logVersionIs(logVersion);
        if (logVersion == 0) {
            completeHandle(*handle, EntryState::done);
        } else {
            handle->entryStateIs(EntryState::logged);
            table.entryHandleInLogEnq(handle);
        }
        if constexpr (F::kHasResources) linkage->updateLocalUsage(wrapper, before, true);
        commitTail(table);
        return;
    }

    // A write. The action table first checks that the entry's resource resolved.
    bool resolved = true;
    if constexpr (F::kHasResources) {
        if (!VornTunnelTcamMgr::checkResolveSuccess<F>(wrapper, linkage)) {
            resolved = false;
            table.stats()->resolveFailCntInc(1);
            if (!wrapper->finalizeOnFailure(swTable, false)) {
                transientCleanup(table, false, key, committedVersion);
                QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry key: {}", key);
                completeHandle(*handle, EntryState::failed);
                commitTail(table);
                return;
            }
        }
    }
    if (resolved) wrapper->finalizeOnSuccess(swTable, false);
    transientCleanup(table, false, key, committedVersion);
    Lumo::Ptr<NeededEntry> needed = table.getNeededEntrySet(wrapper);
    Entry const before = table.entryFromConfig(key);
    if (dependency) needed->add(dependency->entryTableVersion());
    bool const suppressIdenticalWrites = (request.flags() & kWrittenWhileMarkingFlag) != 0;
    LogVersion const logVersion = table.entryLog()->entryIs(wrapper->logEntry(), wrapper->rsrcKeys(), needed,
                                                            table.unitId(), table.stats(), suppressIdenticalWrites);
    handle->logVersionIs(logVersion);
    if (table.entryLog()->cleanedVersion() < logVersion) {
        handle->entryStateIs(EntryState::logged);
        table.entryHandleInLogEnq(handle);
    } else {
        completeHandle(*handle, EntryState::done);
    }
    if constexpr (F::kHasResources) linkage->updateLocalUsage(wrapper, before, false);
    commitTail(table);
}

}  // namespace Asic
