#pragma once
// Asic::OrderedSwTableAccessor<T>: the generic algorithms of a software table, written once
// and instantiated for TcamSwTable and TcamActionSwTable. The table's own operations trace and
// forward here; the action table passes its InLif linkage as the extra `linkage` argument, the
// key table passes NoLinkage.
//
// The bodies live in the *-defs.h headers of this folder, one per concern (write path, commit,
// reads, restore, mark and sweep); each family's .cpp includes them and instantiates the table.
#include "entrylog/EntryLogCapacity.h"
#include "swtable/SwTableT.h"

namespace Asic {

template <typename T>
struct OrderedSwTableAccessor {
    using F = typename T::Family;
    using Key = typename F::Key;
    using Entry = typename F::Entry;
    using Wrapper = typename F::Wrapper;
    using ResolverEntryType = typename F::ResolverEntry;
    using EntryHandle = VornTunnelTcamMgr::EntryHandleT<F>;
    using ResponseHandler = VornTunnelTcamMgr::ResponseHandler;
    using DependencyPtr = Lumo::Ptr<DependencyEntryHandle const>;

    // Traces name the table class the algorithms run for.
    static constexpr char const* qelTraceClassName() { return F::kSwTableTypeName; }

    // New commits wait while the change log holds more records than this: one below its
    // capacity (kChangeLogCapacity outside of tests), so that the commit let through still
    // finds room.
    static std::uint32_t changeLogRecordLimit(T const& table) { return table.entryLog()->changeLogCapacity() - 1; }

    // ---- write and remove path
    template <typename Linkage>
    static Lumo::Ptr<EntryHandle const> entryWriteGeneric(T& table, Key const& key, Entry const& entry,
                                                          DependencyPtr const& dependency,
                                                          ResponseHandler const& responseHandler,
                                                          Linkage const& linkage);
    static Lumo::Ptr<EntryHandle const> entryRemoveGeneric(T& table, Key const& key, DependencyPtr const& dependency,
                                                           ResponseHandler const& responseHandler);
    static void entryRemoveAllGeneric(T& table, DependencyPtr const& dependency,
                                      ResponseHandler const& responseHandler);

    // ---- resolution and commit
    template <typename Linkage>
    static bool isResolverEntryResolved(T& table, Lumo::Ptr<ResolverEntryType> const& resolverEntry,
                                        Linkage const& linkage);
    template <typename Linkage>
    static void commitEntry(T& table, Lumo::Ptr<ResolverEntry> const& resolverEntry, Linkage const& linkage);

  private:
    // The version of a new write or remove of `key`.
    static EntryVersion requestVersion(T& table, Key const& key);
    static Lumo::Ptr<EntryHandle> newHandle(T& table, EntryVersion version, Key const& key,
                                            ResponseHandler const& responseHandler);
    static void queueRequest(T& table, Lumo::Ptr<ResolverEntryType> const& resolverEntry);
    static void updateSuspendAndPendingWrites(T& table);
    static void completeHandle(EntryHandle& handle, EntryState state);
    static void transientCleanup(T& table, bool removeSide, Key const& key, EntryVersion committedVersion);
    static void commitTail(T& table);

    // One request being committed: what every branch of commitEntry works on.
    struct Commit {
        T& table;
        ResolverEntryType const& request;
        Lumo::Ptr<Wrapper> wrapper;
        Lumo::Ptr<EntryHandle> handle;
        DependencyPtr const& dependency;
        Key key;
    };
    static void commitAfterFailedDependency(Commit const& c, bool isTableDelete);
    static void commitRemoveAll(Commit const& c);
    template <typename Linkage>
    static void commitRemove(Commit const& c, Linkage const& linkage);
    template <typename Linkage>
    static void commitWrite(Commit const& c, Linkage const& linkage);
    // Logs the committed version on the handle and completes it, or queues it until the table
    // status reaches that version.
    static void logOrComplete(Commit const& c, LogVersion logVersion, bool waitForStatus);
};

}  // namespace Asic
