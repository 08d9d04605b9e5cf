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
    // What the answer and the commit after it read, asked for at once so the misses overlap.
    if (auto const& dependency = resolverEntry->dependantEntryHandle()) __builtin_prefetch(dependency.ptr());
    table.prefetchKey(key);
    if (table.entryLog()->tableEntryLog()->entryLogConfig().size() > changeLogRecordLimit(table)) {
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
    Commit const c{table, request, wrapper, handle, request.dependantEntryHandle(), wrapper->key()};

    if (c.dependency && SwTableBase::isFailed(c.dependency->entryState())) {
        commitAfterFailedDependency(c, isTableDelete);
    } else if (isTableDelete) {
        commitRemoveAll(c);
    } else if (isEntryDelete) {
        commitRemove(c, linkage);
    } else {
        commitWrite(c, linkage);
    }
    commitTail(table);
}

// The request depends on an entry that failed: it fails too, and nothing is logged.
template <typename T>
void OrderedSwTableAccessor<T>::commitAfterFailedDependency(Commit const& c, bool isTableDelete) {
    if (isTableDelete) {
        QEL_TRACE_AT(T::trace(), 1, "Failed dependent entry for remove all");
        QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry remove all operation");
    } else {
        QEL_TRACE_AT(T::trace(), 1, "Failed dependent entry for key: {}", c.key);
        QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry key: {}", c.key);
    }
    completeHandle(*c.handle, EntryState::failed);
}

// A remove-all: every entry of the unit is deleted under the remove-all's handle, and the
// remove-all version steps back by one.
template <typename T>
void OrderedSwTableAccessor<T>::commitRemoveAll(Commit const& c) {
    MajorVersion const currRemoveAllVersion = c.table.transientRemoveAllVersion();
    QEL_ASSERT(currRemoveAllVersion.valid(), "currRemoveAllVersion.valid()");
    QEL_TRACE_AT(T::trace(), 8, "Committing table delete for version: {}", currRemoveAllVersion);
    Lumo::Ptr<NeededEntry> needed = c.table.getNeededEntrySet(c.wrapper);
    if (c.dependency) needed->add(c.dependency->entryTableVersion());
    Lumo::Ptr<EntryHandle> handle = c.handle;
    c.table.delAllEntries(true, needed, handle);
    c.table.transientRemoveAllVersionIs(currRemoveAllVersion.value == 0 ? MajorVersion::invalid()
                                                                        : MajorVersion(currRemoveAllVersion.value - 1));
}

template <typename T>
template <typename Linkage>
void OrderedSwTableAccessor<T>::commitRemove(Commit const& c, Linkage const& linkage) {
    Entry const before = c.table.entryFromConfig(c.key);
    auto needed = Lumo::make<NeededEntry>();
    if (c.dependency) needed->add(c.dependency->entryTableVersion());
    transientCleanup(c.table, true, c.key, c.handle->version());
    c.wrapper->finalizeOnSuccess(Lumo::Ptr<typename F::SwTable>(&c.table), true);
    LogVersion const logVersion = c.table.entryLog()->entryDel(c.key, needed, c.table.unitId());
    logOrComplete(c, logVersion, logVersion != 0);
    if constexpr (F::kHasResources) linkage->updateLocalUsage(c.wrapper, before, true);
}

// A write. The action table first checks that the entry's resource resolved; an entry that
// did not and cannot be kept fails without being logged.
template <typename T>
template <typename Linkage>
void OrderedSwTableAccessor<T>::commitWrite(Commit const& c, Linkage const& linkage) {
    Lumo::Ptr<typename F::SwTable> const swTable(&c.table);
    EntryVersion const committedVersion = c.handle->version();
    bool resolved = true;
    if constexpr (F::kHasResources) {
        if (!VornTunnelTcamMgr::checkResolveSuccess<F>(c.wrapper, linkage)) {
            resolved = false;
            c.table.stats()->resolveFailCntInc(1);
            if (!c.wrapper->finalizeOnFailure(swTable, false)) {
                transientCleanup(c.table, false, c.key, committedVersion);
                QEL_TRACE_AT(T::trace(), 1, "Failed to commit entry key: {}", c.key);
                completeHandle(*c.handle, EntryState::failed);
                return;
            }
        }
    }
    if (resolved) c.wrapper->finalizeOnSuccess(swTable, false);
    transientCleanup(c.table, false, c.key, committedVersion);
    Lumo::Ptr<NeededEntry> needed = c.table.getNeededEntrySet(c.wrapper);
    Entry const before = c.table.entryFromConfig(c.key);
    if (c.dependency) needed->add(c.dependency->entryTableVersion());
    bool const suppressIdenticalWrites = (c.request.flags() & kWrittenWhileMarkingFlag) != 0;
    LogVersion const logVersion =
        c.table.entryLog()->entryIs(c.wrapper->logEntry(), c.wrapper->rsrcKeys(), needed, c.table.unitId(),
                                    c.table.stats(), suppressIdenticalWrites);
    logOrComplete(c, logVersion, c.table.entryLog()->cleanedVersion() < logVersion);
    if constexpr (F::kHasResources) linkage->updateLocalUsage(c.wrapper, before, false);
}

template <typename T>
void OrderedSwTableAccessor<T>::logOrComplete(Commit const& c, LogVersion logVersion, bool waitForStatus) {
    c.handle->logVersionIs(logVersion);
    if (waitForStatus) {
        c.handle->entryStateIs(EntryState::logged);
        c.table.entryHandleInLogEnq(c.handle);
    } else {
        completeHandle(*c.handle, EntryState::done);
    }
}

}  // namespace Asic
