#pragma once
// Write, remove and remove-all: stamp the request with a version, record it in the transient
// collections, wrap it and queue it with the group resolver. Nothing here touches the entry
// log or the hardware; the commit comes later, from the resolver.
#include "contracts/qel/Assert.h"
#include "swtable/OrderedSwTableAccessor.h"

namespace Asic {

template <typename T>
EntryVersion OrderedSwTableAccessor<T>::requestVersion(T& table, Key const& key) {
    auto current = table.transientVersionForKeyGet(key);
    if (!current) {
        QEL_TRACE_AT(T::trace(), 8, " Key: {} not found in entry version collection", key);
        return EntryVersion(0, 0);
    }
    EntryVersion const& currEntryVersion = *current;
    QEL_ASSERT(currEntryVersion.valid(), "currEntryVersion.valid()");
    return EntryVersion(currEntryVersion.counter + 1, currEntryVersion.field);
}

template <typename T>
auto OrderedSwTableAccessor<T>::newHandle(T& table, EntryVersion version, Key const& key,
                                          ResponseHandler const& responseHandler) -> Lumo::Ptr<EntryHandle> {
    auto handle = T::entryHandleFactory(version, key, &table);
    if (responseHandler) handle->responseHandlerIs(responseHandler);
    handle->entryStateIs(EntryState::pending);
    return handle;
}

template <typename T>
void OrderedSwTableAccessor<T>::queueRequest(T& table, Lumo::Ptr<ResolverEntryType> const& resolverEntry) {
    table.groupResolver()->resolverQueueEnq(resolverEntry);
    table.groupResolver()->updateGenId();
}

template <typename T>
void OrderedSwTableAccessor<T>::updateSuspendAndPendingWrites(T& table) {
    table.groupResolver()->maybeUpdateSuspend();
    if (auto* set = table.swTableSet()) set->maybeUpdatePendingHwWrites();
}

template <typename T>
template <typename Linkage>
auto OrderedSwTableAccessor<T>::entryWriteGeneric(T& table, Key const& key, Entry const& entry,
                                                  DependencyPtr const& dependency,
                                                  ResponseHandler const& responseHandler, Linkage const& linkage)
    -> Lumo::Ptr<EntryHandle const> {
    QEL_TRACE_AT(T::trace(), 8, "key: {}", key);
    table.prefetchKey(key);
    EntryVersion const version = requestVersion(table, key);
    table.transientVersionForKeyIs(key, version);
    if (table.inMarkingState()) table.markedKeyIs(key);

    auto handle = newHandle(table, version, key, responseHandler);
    auto wrapper = Lumo::make<Wrapper>(entry, handle);
    wrapper->keyIs(key);
    table.transientRemoveEntryDel(key);
    table.transientAddEntryIs(wrapper);
    if constexpr (F::kHasResources) linkage->resolveEntry(wrapper);

    EntryFlags const flags = table.inMarkingState() ? kWrittenWhileMarkingFlag : EntryFlags{0};
    auto resolverEntry = Lumo::make<ResolverEntryType>(dependency, flags, &table, wrapper);
    queueRequest(table, resolverEntry);
    QEL_TRACE_AT(T::trace(), 2, "Done processing write for key: {} ", key);
    table.stats()->entryWriteCntInc(1);
    updateSuspendAndPendingWrites(table);
    return handle;
}

template <typename T>
auto OrderedSwTableAccessor<T>::entryRemoveGeneric(T& table, Key const& key, DependencyPtr const& dependency,
                                                   ResponseHandler const& responseHandler)
    -> Lumo::Ptr<EntryHandle const> {
    QEL_TRACE_AT(T::trace(), 8, " Key: {} ", key);
    table.prefetchKey(key);
    EntryVersion const version = requestVersion(table, key);
    table.transientVersionForKeyIs(key, version);

    auto handle = newHandle(table, version, key, responseHandler);
    Entry removed{};
    removed.keyIs(key);
    auto wrapper = Lumo::make<Wrapper>(removed, handle);
    auto resolverEntry = Lumo::make<ResolverEntryType>(dependency, kEntryDeleteFlag, &table, wrapper);
    table.transientAddEntryDel(key);
    table.transientRemoveEntryIs(wrapper);
    queueRequest(table, resolverEntry);
    QEL_TRACE_AT(T::trace(), 2, " Done processing remove for key: {} ", key);
    table.stats()->entryRemoveCntInc(1);
    updateSuspendAndPendingWrites(table);
    return handle;
}

template <typename T>
void OrderedSwTableAccessor<T>::entryRemoveAllGeneric(T& table, DependencyPtr const& dependency,
                                                      ResponseHandler const& responseHandler) {
    QEL_TRACE_AT(T::trace(), 8, "");
    auto handle = newHandle(table, EntryVersion(0, 0), Key{}, responseHandler);
    auto wrapper = Lumo::make<Wrapper>(Entry{}, handle);
    auto resolverEntry = Lumo::make<ResolverEntryType>(dependency, kTableDeleteFlag, &table, wrapper);
    // Pending writes and removes are dropped here; their resolver entries stay queued and their
    // commits find nothing to clean up. Key versions are kept.
    table.transientAddEntryDelAll();
    table.transientRemoveEntryDelAll();
    MajorVersion const current = table.transientRemoveAllVersion();
    if (current.valid()) {
        QEL_TRACE_AT(T::trace(), 8, "Found valid table remove all version: {}", current);
        table.transientRemoveAllVersionIs(MajorVersion(current.value + 1));
    } else {
        QEL_TRACE_AT(T::trace(), 8, "No remove all operation currently enqueued");
        table.transientRemoveAllVersionIs(MajorVersion(0));
    }
    queueRequest(table, resolverEntry);
    QEL_TRACE_AT(T::trace(), 2, "Done processing remove all ");
    updateSuspendAndPendingWrites(table);
}

}  // namespace Asic
