#pragma once
// The one entry point to the software tables' template bodies (swtable/internal/, private to
// the library: included only by the two files that instantiate a family, never installed).
// The table's published operations: each traces and forwards to the generic algorithm, the
// action table adding its InLif linkage. Also the resource binding of both families.
#include "swtable/internal/Commit-defs.h"
#include "swtable/internal/MarkSweep-defs.h"
#include "swtable/internal/Restore-defs.h"
#include "swtable/internal/SwTableModel-defs.h"
#include "swtable/internal/WritePath-defs.h"

namespace VornTunnelTcamMgr {

template <typename F>
auto SwTableT<F>::entryWrite(Key const& key, Entry const& entry,
                             Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency)
    -> Lumo::Ptr<EntryHandle const> {
    return entryWriteWithResponseHandler(key, entry, dependency, ResponseHandler{});
}

template <typename F>
auto SwTableT<F>::entryWriteWithResponseHandler(Key const& key, Entry const& entry,
                                                Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
                                                ResponseHandler const& responseHandler)
    -> Lumo::Ptr<EntryHandle const> {
    QEL_TRACE_AT(trace(), 8, " key: {}", key);
    return Asic::OrderedSwTableAccessor<SwTable>::entryWriteGeneric(self(), key, entry, dependency, responseHandler,
                                                                    linkage());
}

template <typename F>
auto SwTableT<F>::entryRemove(Key const& key, Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency)
    -> Lumo::Ptr<EntryHandle const> {
    return entryRemoveWithResponseHandler(key, dependency, ResponseHandler{});
}

template <typename F>
auto SwTableT<F>::entryRemoveWithResponseHandler(Key const& key,
                                                 Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
                                                 ResponseHandler const& responseHandler)
    -> Lumo::Ptr<EntryHandle const> {
    QEL_TRACE_AT(trace(), 8, " key: {}", key);
    return Asic::OrderedSwTableAccessor<SwTable>::entryRemoveGeneric(self(), key, dependency, responseHandler);
}

template <typename F>
void SwTableT<F>::entryRemoveAll(Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency) {
    entryRemoveAllWithResponseHandler(dependency, ResponseHandler{});
}

template <typename F>
void SwTableT<F>::entryRemoveAllWithResponseHandler(Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
                                                    ResponseHandler const& responseHandler) {
    QEL_TRACE_AT(trace(), 8, "");
    Asic::OrderedSwTableAccessor<SwTable>::entryRemoveAllGeneric(self(), dependency, responseHandler);
}

template <typename F>
bool SwTableT<F>::isResolverEntryResolved(Lumo::Ptr<ResolverEntry> const& resolverEntry) {
    return Asic::OrderedSwTableAccessor<SwTable>::isResolverEntryResolved(self(), resolverEntry, linkage());
}

template <typename F>
void SwTableT<F>::commitEntry(Lumo::Ptr<Asic::ResolverEntry> const& resolverEntry) {
    Asic::OrderedSwTableAccessor<SwTable>::commitEntry(self(), resolverEntry, linkage());
}

template <typename F>
void SwTableT<F>::setRsrcPtrs(Lumo::Ptr<Wrapper> const& entry, bool refresh) {
    QEL_TRACE_AT(trace(), 8, "key: {}, refresh: {}", entry->key(), refresh);
    if constexpr (F::kHasResources) {
        if (refresh) {
            linkage()->resolveEntry(entry);
        } else {
            linkage()->setResourceHandle(entry);
        }
    }
}

template <typename F>
Lumo::Ptr<Asic::NeededEntry> SwTableT<F>::getNeededEntrySet(Lumo::Ptr<Wrapper const> const& entry) const {
    QEL_TRACE_AT(trace(), 8, "key: {}", entry->key());
    if constexpr (F::kHasResources) {
        Lumo::Ptr<Asic::NeededEntry> needed = linkage()->getNeededEntrySet(entry);
        auto own = Lumo::make<Asic::NeededEntry>();  // the table's own needs: none
        needed->merge(*own);
        return needed;
    } else {
        return Lumo::make<Asic::NeededEntry>();
    }
}

}  // namespace VornTunnelTcamMgr
