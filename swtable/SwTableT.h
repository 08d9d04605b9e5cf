#pragma once
// SwTableT<F>: the per-unit software image of one hardware table, written once for both
// table families (TcamSwTable and TcamActionSwTable derive from it).
//
// Besides what the framework base keeps, the table holds the requests accepted but not yet
// committed (the transient collections), the per-key request versions, the pending remove-all
// count, the in-log queue of handles waiting for the table status, and the mark-and-sweep
// bookkeeping. The committed state lives in the entry log. All of it runs on the agent's one
// thread and takes no lock.
//
// Invariants: a key is never in both transient entry collections; a key has a version in
// transientVersionForKey at least while an accepted request for it is uncommitted; the in-log
// queue is in the order the commits were logged.
#include <optional>

#include "api/Export.h"
#include "contracts/asic/GroupResolver.h"
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/SwTableSet.h"
#include "contracts/lumo/Exception.h"
#include "contracts/qel/HashMap2018.h"
#include "swtable/EntryHandleT.h"
#include "swtable/InLogQueue.h"
#include "swtable/IteratorStateT.h"

namespace VornTunnelTcamMgr {

template <typename F>
class VORN_TCAMMGR_API SwTableT : public Asic::OrderedSwTableWithMarkSweep {
  public:
    static constexpr char const* qelTraceClassName() { return F::kSwTableTypeName; }
    using Family = F;
    using Key = typename F::Key;
    using Entry = typename F::Entry;
    using Wrapper = typename F::Wrapper;
    using ResolverEntry = typename F::ResolverEntry;
    using HelperBase = typename F::HelperBase;
    using EntryLog = typename F::EntryLog;
    using IteratorState = typename F::IteratorState;
    using SwTable = typename F::SwTable;
    using EntryHandle = EntryHandleT<F>;
    using WrapperColl = Qel::HashMap2018<Key, Lumo::Ptr<Wrapper>>;
    using VersionColl = Qel::HashMap2018<Key, Asic::EntryVersion>;
    using QE_EntryHandleInLog = InLogQueue<EntryHandle>;
    using EntryIterator = OrderedSwTableEntryIterator<SwTable, Entry, Key, IteratorState>;

    // Attribute identities, in declaration order, for change notification.
    enum Attr : Lumo::AttributeId {
        kSwTableHelper = 1,
        kTransientAddEntry,
        kTransientRemoveEntry,
        kTransientVersionForKey,
        kTransientRemoveAllVersion,
        kEntryLog,
        kGroupResolver,
        kEntryHandleInLog,
        kMarkedKey,
        kInMarkingState,
        kFirstFamilyAttr,
    };

    // A snapshot of the merged view, built by getTableEntries_py.
    class SwTableEntries_py : public Lumo::Node {
      public:
        char const* typeData() const override { return "SwTableEntries_py"; }
        Qel::HashMap2018<Key, Entry> const& tableEntries() const { return tableEntries_; }
        Entry tableEntries(Key const& key) const { return tableEntries_.get(key); }
        void tableEntriesIs(Entry const& entry) { tableEntries_.set(entry.key(), entry); }
        void tableEntriesDel(Key const& key) { tableEntries_.del(key); }
        void tableEntriesDelAll() { tableEntries_.delAll(); }

      private:
        Qel::HashMap2018<Key, Entry> tableEntries_;
    };

    SwTableT(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName, Asic::SwTableId swTableId, Asic::UnitId unitId,
             Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<EntryLog> const& entryLog,
             Lumo::Ptr<Asic::GroupResolver> const& groupResolver);
    ~SwTableT() override;
    char const* typeData() const override { return F::kSwTableTypeName; }

    // Makes the handle of one request of `swTable`; every handle of the table is made here.
    static Lumo::Ptr<EntryHandle> entryHandleFactory(Asic::EntryVersion version, Key const& key, SwTable* swTable) {
        return EntryHandle::EntryHandleIs(version, key, swTable);
    }

    // ---- attributes
    Lumo::Ptr<HelperBase> const& swTableHelper() const { return swTableHelper_; }
    void swTableHelperIs(Lumo::Ptr<HelperBase> const& helper);

    Lumo::Ptr<Wrapper> transientAddEntry(Key const& key) const { return transientAddEntry_.get(key); }
    Lumo::Ptr<Wrapper> transientRemoveEntry(Key const& key) const { return transientRemoveEntry_.get(key); }
    void transientAddEntryIs(Lumo::Ptr<Wrapper> const& wrapper);
    void transientRemoveEntryIs(Lumo::Ptr<Wrapper> const& wrapper);
    Lumo::Ptr<Wrapper> transientAddEntryDel(Key const& key);
    Lumo::Ptr<Wrapper> transientRemoveEntryDel(Key const& key);
    void transientAddEntryDelAll();
    void transientRemoveEntryDelAll();
    WrapperColl const& transientAddEntryColl() const { return transientAddEntry_; }
    WrapperColl const& transientRemoveEntryColl() const { return transientRemoveEntry_; }

    Asic::EntryVersion transientVersionForKey(Key const& key) const { return transientVersionForKey_.get(key); }
    std::optional<Asic::EntryVersion> transientVersionForKeyGet(Key const& key) const;
    void transientVersionForKeyIs(Key const& key, Asic::EntryVersion version);
    void transientVersionForKeyDel(Key const& key);
    void transientVersionForKeyDelAll();
    VersionColl const& transientVersionForKeyColl() const { return transientVersionForKey_; }

    // Starts reading, all at once, where a request for `key` looks in the transient collections
    // and the marked keys, so that those lookups overlap instead of each waiting in turn for
    // main memory in a large table. Changes nothing.
    void prefetchKey(Key const& key) const {
        transientVersionForKey_.prefetch(key);
        transientAddEntry_.prefetch(key);
        if (!transientRemoveEntry_.empty()) transientRemoveEntry_.prefetch(key);
        if (inMarkingState_) markedKey_.prefetch(key);
    }

    Asic::MajorVersion transientRemoveAllVersion() const { return transientRemoveAllVersion_; }
    void transientRemoveAllVersionIs(Asic::MajorVersion version);

    Lumo::Ptr<EntryLog> const& entryLog() const { return entryLog_; }
    Lumo::Ptr<Asic::GroupResolver> const& groupResolver() const { return groupResolver_; }

    void entryHandleInLogEnq(Lumo::Ptr<EntryHandle> const& handle);
    Lumo::Ptr<EntryHandle> entryHandleInLogDeq();
    Lumo::Ptr<EntryHandle> entryHandleInLogFront() const { return entryHandleInLog_.front(); }
    Lumo::Ptr<EntryHandle> entryHandleInLogBack() const { return entryHandleInLog_.back(); }
    Lumo::Ptr<EntryHandle> entryHandleInLog(std::uint32_t index) const { return entryHandleInLog_.at(index); }
    bool entryHandleInLogHas(std::uint32_t index) const { return entryHandleInLog_.has(index); }
    void entryHandleInLogDelAll();
    std::size_t entryHandleInLogSize() const { return entryHandleInLog_.size(); }
    QE_EntryHandleInLog& TEST_entryHandleInLogQueue() { return entryHandleInLog_; }

    void markedKeyIs(Key const& key);
    void markedKeyDel(Key const& key);
    void markedKeyDelAll();
    bool markedKeyHas(Key const& key) const { return markedKey_.has(key); }
    std::size_t markedKeys() const { return markedKey_.size(); }
    bool inMarkingState() const { return inMarkingState_; }
    void inMarkingStateIs(bool flag);

    // ---- requests (write and remove path)
    Lumo::Ptr<EntryHandle const> entryWrite(Key const& key, Entry const& entry,
                                            Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency);
    Lumo::Ptr<EntryHandle const> entryWriteWithResponseHandler(
        Key const& key, Entry const& entry, Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
        ResponseHandler const& responseHandler);
    Lumo::Ptr<EntryHandle const> entryRemove(Key const& key,
                                             Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency);
    Lumo::Ptr<EntryHandle const> entryRemoveWithResponseHandler(
        Key const& key, Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
        ResponseHandler const& responseHandler);
    void entryRemoveAll(Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency);
    void entryRemoveAllWithResponseHandler(Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependency,
                                           ResponseHandler const& responseHandler);

    // ---- resolver callbacks
    bool isResolverEntryResolved(Lumo::Ptr<ResolverEntry> const& resolverEntry);
    void commitEntry(Lumo::Ptr<Asic::ResolverEntry> const& resolverEntry);

    // ---- resource binding
    void setRsrcPtrs(Lumo::Ptr<Wrapper> const& entry, bool refresh);
    Lumo::Ptr<Asic::NeededEntry> getNeededEntrySet(Lumo::Ptr<Wrapper const> const& entry) const;

    // ---- reads and iteration
    Entry entryRead(Key const& key) const;
    Entry entry(Key const& key) const { return entryRead(key); }
    bool entryHas(Key const& key) const;
    Entry entryFromConfig(Key const& key) const;
    std::uint32_t entrys() const;
    Lumo::Ptr<IteratorState> initIterState() const;
    Lumo::Ptr<IteratorState> initIterStateFromKey(Key const& key) const;
    Lumo::Ptr<SwTableEntries_py> getTableEntries_py() const;
    EntryIterator entryIteratorConst() const { return EntryIterator(&self(), initIterState()); }
    EntryIterator entryIteratorConst(Key const& key) const { return EntryIterator(&self(), initIterStateFromKey(key)); }

    // ---- restore, update, clear
    Lumo::Ptr<Wrapper> entryWrapperFromConfig(Key const& key, bool refreshRsrcPtrs, Lumo::Ptr<EntryHandle>& handle);
    Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> updateEntry(Key const& key);
    void delAllEntries(bool releaseResources, Lumo::Ptr<Asic::NeededEntry const> const& neededEntry,
                       Lumo::Ptr<EntryHandle>& handle);
    void clearTable(bool releaseResources);
    void restoreEntries();

    // ---- mark and sweep, status
    void doCreateHwTable() override {}
    void tableStatusVersion(Asic::LogVersion version) override;
    bool hasPendingHwWrites() override;
    void mark() override;
    void sweep() override;
    void handleInitialized();

    // The family's trace handle ("TcamSwTable" / "TcamActionSwTable").
    static Qel::TraceHandle& trace() { return F::trace(); }

  protected:
    SwTable& self() { return static_cast<SwTable&>(*this); }
    SwTable const& self() const { return static_cast<SwTable const&>(*this); }
    // The linkage argument of the generic algorithms (NoLinkage for the key table).
    auto linkage() const { return F::linkageOf(self()); }

  private:
    // Members in attribute order: destruction releases them in the reverse order.
    Lumo::Ptr<HelperBase> swTableHelper_;
    WrapperColl transientAddEntry_;
    WrapperColl transientRemoveEntry_;
    VersionColl transientVersionForKey_;
    Asic::MajorVersion transientRemoveAllVersion_;
    Lumo::Ptr<EntryLog> entryLog_;
    Lumo::Ptr<Asic::GroupResolver> groupResolver_;
    QE_EntryHandleInLog entryHandleInLog_;
    Qel::HashSet2018<Key> markedKey_;
    bool inMarkingState_ = false;
};

}  // namespace VornTunnelTcamMgr
