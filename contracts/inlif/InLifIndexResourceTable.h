#pragma once
// VornTunnelNiLib::InLifIndexResourceTable: the table that owns the InLif hardware indexes and
// hands them out per InLif key, with its ClientInstance and ResourceHandle.
//
// One ResourceHandle exists per requested key. A new handle is pending; on the next run of the
// event loop it takes one InLif0 and one InLif23 index from two bounded pools and is resolved,
// or fails when a pool is empty. Clients (one per software table) request handles, acknowledge
// the update numbers they took into use, and release a handle when their last user of it goes;
// the indexes of a released handle go back to the pools once the change that dropped the last
// use is done. Single-threaded: everything runs on the event loop given at construction.
//
// Persistence. Made with a state-database entity manager, the table keeps every key's indexes
// and update number in a shared-memory table (InLifIndexTessel), so that they survive an agent
// restart. The next run's table reloads them at construction as resolved handles that no
// client has requested yet ("unclaimed"): a request for such a key returns the handle as it
// was, already resolved, with the same indexes and update number, so entries restored with
// those indexes stay as they are. Start-up order in the agent:
//   1. construct the table (after the state database), which reloads the allocations;
//   2. bring the units up (restoring the action entries requests their keys), reconcile,
//      write the desired state, sweep;
//   3. releaseUnclaimed(): allocations no one requested during start-up are freed;
//   4. run the event loop.
// Made without an entity manager the table lives in process memory only.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/asic/OrderedTableInterface.h"
#include "contracts/inlif/InLifIndexTessel.h"
#include "contracts/qel/EventLoop.h"
#include "contracts/qel/HashMap2018.h"
#include "contracts/types/InLifTypes.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Ledra {
class EntityManager;
}

namespace VornTunnelNiLib {

// Pool sizes and first index values of an InLifIndexResourceTable. Bases are nonzero so that
// index 0 always means "no index".
struct InLifIndexResourceTableConfig {
    std::uint32_t inLif0PoolSize = 16384;
    std::uint32_t inLif23PoolSize = 16384;
    std::uint32_t inLif0Base = 0x10000;
    std::uint32_t inLif23Base = 0x20000;
};

// A bounded pool of consecutive index values starting at a nonzero base. Never-used values are
// handed out first and freed values are reused oldest first, so that a freed index comes back
// as late as possible. The size bounds how many indexes are out at once; it may change at run
// time (shrinking below the number out only blocks new allocations).
class InLifIndexPool {
  public:
    InLifIndexPool(std::uint32_t base, std::uint32_t size);

    // A free index, or 0 when `inUse() == size()`.
    std::uint32_t allocate();
    // Requires: `index` was handed out by this pool and not freed since.
    void free(std::uint32_t index);

    std::uint32_t base() const { return base_; }
    std::uint32_t size() const { return size_; }
    void sizeIs(std::uint32_t size);
    std::uint32_t inUse() const { return inUse_; }
    // Whether `index` is one of the pool's values (base .. base + size - 1).
    bool holds(std::uint32_t index) const { return index >= base_ && index - base_ < size_; }
    // Marks `indexes` as handed out, for allocations reloaded from storage; the values below
    // the highest of them that are not among them become free, lowest first. Requires: nothing
    // handed out yet; the indexes distinct and held by the pool.
    void inUseIs(std::vector<std::uint32_t> indexes);

  private:
    std::uint32_t base_;
    std::uint32_t size_;
    std::uint32_t inUse_ = 0;
    std::uint32_t nextFresh_ = 0;  // values base_ .. base_ + nextFresh_ - 1 have been handed out
    std::deque<std::uint32_t> freed_;
};

// The resource table. Made with Lumo::make and held by Lumo::Ptr: its clients and the tasks it
// posts keep it alive. Registered by the agent under canonicalName().
class InLifIndexResourceTable : public Asic::NamedSwTable {
  public:
    using Config = InLifIndexResourceTableConfig;
    using EntryHandlePtr = Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const>;

    // Handle states, as Asic entry states. A client sees 0, 3, 4 and 6 only.
    static constexpr Asic::EntryState kPending = Asic::EntryState::pending;          // 0: allocation to come
    static constexpr Asic::EntryState kReleased = Asic::EntryState::failedOther;     // 3: released, indexes freed
    static constexpr Asic::EntryState kResolved = Asic::EntryState::done;            // 4: indexes valid
    static constexpr Asic::EntryState kFailed = Asic::EntryState::resolutionFailed;  // 6: no index to be had

    // Attribute the table publishes (index: the key's hash) after any handle changed.
    static constexpr Lumo::AttributeId kHandleChangeAttr = 1;

    class ClientInstance;

    // The ids of the clients using a handle. A key is nearly always used by one client (the
    // action table of its unit), so the first id lives inline: requesting a handle allocates
    // nothing for its users.
    class ClientIds {
      public:
        bool has(std::uint32_t id) const {
            return (size_ > 0 && first_ == id) || std::find(more_.begin(), more_.end(), id) != more_.end();
        }
        bool insert(std::uint32_t id) {
            if (has(id)) return false;
            if (size_ == 0) {
                first_ = id;
            } else {
                more_.push_back(id);
            }
            ++size_;
            return true;
        }
        bool del(std::uint32_t id) {
            if (!has(id)) return false;
            if (first_ != id) {
                more_.erase(std::find(more_.begin(), more_.end(), id));
            } else if (!more_.empty()) {
                first_ = more_.back();
                more_.pop_back();
            }
            --size_;
            return true;
        }
        bool empty() const { return size_ == 0; }
        std::size_t size() const { return size_; }

      private:
        std::uint32_t first_ = 0;  // meaningful while size_ > 0
        std::uint32_t size_ = 0;
        std::vector<std::uint32_t> more_;
    };

    // The indexes of one InLif key as the table currently presents them. Clients hold it as
    // Lumo::Ptr<ResourceHandle const>; only the table changes it. Every change (state, indexes,
    // post-release) raises the update number by one and then publishes kStateChangeAttr.
    class ResourceHandle : public Lumo::PublishingNode {
      public:
        static constexpr Lumo::AttributeId kStateChangeAttr = 1;

        char const* typeData() const override { return "VornTunnelNiLib::InLifIndexResourceTable::ResourceHandle"; }

        Asic::SwTableBase::EntryState entryState() const { return entryState_; }
        InLifIndexEntryKey const& resourceKey() const { return resourceKey_; }
        // 0 unless resolved.
        std::uint32_t inLif0Index() const { return inLif0Index_; }
        std::uint32_t inLif23Index() const { return inLif23Index_; }
        // 0 while first pending; 1 after the first resolution or failure.
        std::uint32_t updateNumber() const { return updateNumber_; }
        // The versions of other tables the indexes depend on; never null, empty unless set
        // with neededEntryIs().
        Lumo::Ptr<Asic::NeededEntry const> const& neededEntry() const { return neededEntry_; }
        // True from the release of the last client's use on.
        bool isPostReleaseProtoState() const { return postRelease_; }
        // How many clients have requested the handle and not released it.
        std::size_t users() const { return users_.size(); }

      private:
        friend class InLifIndexResourceTable;
        ResourceHandle(InLifIndexEntryKey const& key, InLifIndexResourceTable const* owner);

        InLifIndexEntryKey resourceKey_;
        InLifIndexResourceTable const* owner_;  // identity only, never dereferenced
        Asic::EntryState entryState_ = kPending;
        std::uint32_t inLif0Index_ = 0;
        std::uint32_t inLif23Index_ = 0;
        std::uint32_t updateNumber_ = 0;
        Lumo::Ptr<Asic::NeededEntry const> neededEntry_;
        bool postRelease_ = false;
        bool persisted_ = false;  // the stored record of the key holds this handle's indexes
        bool unclaimed_ = false;  // reloaded from storage and not requested since
        ClientIds users_;
    };

    // One client's access to the table (the library makes one per action software table).
    // Keeps its table alive and a log of its latest acknowledgements and releases for tests.
    class ClientInstance : public Lumo::Node {
      public:
        struct AckRecord {
            Lumo::Ptr<ResourceHandle const> handle;
            std::uint32_t updateNumber = 0;
            EntryHandlePtr entryHandle;  // may be null
        };
        struct ReleaseRecord {
            Lumo::Ptr<ResourceHandle const> handle;
            EntryHandlePtr entryHandle;  // may be null
        };
        // The logs keep this many latest records; ackCount()/releaseCount() count all calls.
        static constexpr std::size_t kLogCapacity = 4096;

        ~ClientInstance() override;
        char const* typeData() const override { return "VornTunnelNiLib::InLifIndexResourceTable::ClientInstance"; }

        // The handle of `key`, the same one for every request of the key until it is released;
        // a key released by all its clients gets a new, pending handle. The null key needs no
        // resource: the answer is null. `dep` is accepted for the interface's sake; no
        // resource of this table waits for another entry, so it is not used.
        Lumo::Ptr<ResourceHandle const> request(InLifIndexEntryKey const& key,
                                                Lumo::Ptr<Asic::DependencyEntryHandle const> const& dep);
        // Records that this client took `handle` at `updateNumber` into use behind
        // `entryHandle`. Throws Lumo::NullArgumentException for a null handle.
        void ackUpdate(Lumo::Ptr<ResourceHandle const> const& handle, std::uint32_t updateNumber,
                       EntryHandlePtr const& entryHandle);
        // Drops this client's use of `handle` once the change behind `entryHandle` is done.
        // When no client uses the handle any more it enters its post-release state at once and
        // its indexes are freed on the event loop after `entryHandle` reaches state 4 or a
        // failed state (at the next run if it is null or already there); the handle then shows
        // state 3 and index 0. Throws Lumo::NullArgumentException for a null handle.
        void release(Lumo::Ptr<ResourceHandle const> const& handle, EntryHandlePtr const& entryHandle);

        std::deque<AckRecord> const& ackLog() const { return ackLog_; }
        std::deque<ReleaseRecord> const& releaseLog() const { return releaseLog_; }
        std::uint64_t ackCount() const { return ackCount_; }
        std::uint64_t releaseCount() const { return releaseCount_; }
        void logDelAll() {
            ackLog_.clear();
            releaseLog_.clear();
        }

        std::uint32_t clientId() const { return clientId_; }
        Lumo::Ptr<InLifIndexResourceTable> const& table() const { return table_; }

      private:
        friend class InLifIndexResourceTable;
        ClientInstance(Lumo::Ptr<InLifIndexResourceTable> table, std::uint32_t clientId);

        Lumo::Ptr<InLifIndexResourceTable> table_;
        std::uint32_t clientId_;
        std::deque<AckRecord> ackLog_;
        std::deque<ReleaseRecord> releaseLog_;
        std::uint64_t ackCount_ = 0;
        std::uint64_t releaseCount_ = 0;
    };

    // "ResourceTable.VornTunnelNiLib::InLifIndex.featureVornVrfSelection".
    static Lumo::String canonicalName();

    // Requires: `loop` outlives the table; pool bases nonzero and base + size - 1 fits 32 bits.
    // With `stateDb` the allocations are kept in shared memory (under the matching
    // QelSharedMem entity manager) and those stored by an earlier run are reloaded here, with
    // their indexes marked in the pools. A stored record that cannot be reloaded (an index
    // outside today's pools or held by another record, a null key, an unknown state) is
    // removed; its key is allocated anew when requested. Exceptions of the shared-memory
    // service pass through.
    explicit InLifIndexResourceTable(Qel::EventLoop* loop, Config const& config = Config{},
                                     Lumo::Ptr<Ledra::EntityManager> const& stateDb = nullptr);
    ~InLifIndexResourceTable() override;
    char const* typeData() const override { return "VornTunnelNiLib::InLifIndexResourceTable"; }

    Lumo::Ptr<ClientInstance> makeClientInstance();

    // The number of entries: keys with a handle that is not released.
    std::size_t entryCount() const { return handles_.size(); }
    // The live handle of `key`, or null.
    Lumo::Ptr<ResourceHandle const> handle(InLifIndexEntryKey const& key) const { return handles_.get(key); }
    // Released handles whose indexes are not yet back in the pools.
    std::size_t releasingCount() const { return releasing_.size(); }

    // Whether the allocations are kept in shared memory.
    bool persistent() const { return tessel_ != nullptr; }
    // Reloaded allocations that no client has requested yet.
    std::size_t unclaimedCount() const { return unclaimed_; }
    // Ends the start-up: every reloaded allocation still unclaimed is released at once (no
    // entry uses it), its indexes go back to the pools and its record is removed; its handle
    // shows state 3. Returns how many were released. Later calls find nothing to do.
    std::size_t releaseUnclaimed();

    InLifIndexPool const& inLif0Pool() const { return inLif0Pool_; }
    InLifIndexPool const& inLif23Pool() const { return inLif23Pool_; }
    // Resizes a pool; handles already resolved keep their indexes.
    void inLif0PoolSizeIs(std::uint32_t size) { inLif0Pool_.sizeIs(size); }
    void inLif23PoolSizeIs(std::uint32_t size) { inLif23Pool_.sizeIs(size); }

    // Called after any handle changed, after the handle's subscribers (the agent uses it to
    // make the group resolver ask again).
    void stateChangeListenerIs(std::function<void()> listener) { listener_ = std::move(listener); }

    // Resource changes, applied at once and published by the key's handle. They return false,
    // changing nothing, when the key has no live handle or the change does not apply.
    //
    // reindex: a resolved handle gets two new indexes (the old ones are freed after the new
    // ones are taken, so they differ); a failed handle tries the allocation again. False when
    // the handle is pending or a pool is empty.
    bool reindex(InLifIndexEntryKey const& key);
    // A pending or resolved handle fails (state 6) and frees its indexes.
    bool forceFailure(InLifIndexEntryKey const& key);
    // Sets the needed-entry set of the key's handle (null: empty). Publishes nothing: the set is
    // read when an entry using the handle is logged.
    bool neededEntryIs(InLifIndexEntryKey const& key, Lumo::Ptr<Asic::NeededEntry const> const& needed);

    Qel::EventLoop* eventLoop() const { return loop_; }

  private:
    class ReleaseWaiter;

    Lumo::Ptr<ResourceHandle const> requestFor(std::uint32_t clientId, InLifIndexEntryKey const& key);
    void releaseFor(std::uint32_t clientId, Lumo::Ptr<ResourceHandle const> const& handle,
                    EntryHandlePtr const& entryHandle);
    void clientGone(std::uint32_t clientId);

    ResourceHandle& owned(Lumo::Ptr<ResourceHandle const> const& handle) const;
    // Takes every handle out of `queue` into `batch` and runs `step` on each inside one
    // shared-memory transaction; returns those it answered true for. `notCommitted` is given
    // them when the transaction did not commit. Defined where it is used.
    template <typename Step, typename NotCommitted>
    std::vector<ResourceHandle*> inOneTransaction(std::vector<Lumo::Ptr<ResourceHandle>>& queue,
                                                  std::vector<Lumo::Ptr<ResourceHandle>>& batch, Step step,
                                                  NotCommitted notCommitted);
    void resolveQueued();
    bool resolve(ResourceHandle& handle);
    void postReleaseCompletion(Lumo::Ptr<ResourceHandle> const& handle);
    void completeQueuedReleases();
    bool completeRelease(ResourceHandle& handle);
    // Takes one index of each pool into the handle; all or nothing.
    bool allocate(ResourceHandle& handle);
    void freeIndexes(ResourceHandle& handle);
    // Bumps the handle's update number and publishes the change.
    void changed(ResourceHandle& handle, bool callListener = true);
    // Publishes a change whose update number is already raised.
    void publish(ResourceHandle& handle, bool callListener = true);
    // A handle that has just taken new indexes (its update number raised): stores them, or,
    // when they cannot be stored, gives them back and fails the handle, so that no allocation
    // exists that a restart would not find. True when the indexes were kept.
    bool keepOrFail(ResourceHandle& handle);

    // Shared-memory side. mountAndReload() runs at construction. persist() stores the handle's
    // indexes and update number (false when the write failed); unpersist() removes the key's
    // record if it still holds this handle's indexes. Without storage both do nothing.
    void mountAndReload(Lumo::Ptr<Ledra::EntityManager> const& stateDb);
    std::vector<InLifIndexTesselEntry> soundAllocations(std::vector<InLifIndexTesselEntry> const& records);
    bool persist(ResourceHandle& handle);
    void unpersist(ResourceHandle& handle);

    Qel::EventLoop* loop_;
    InLifIndexPool inLif0Pool_;
    InLifIndexPool inLif23Pool_;
    Qel::HashMap2018<InLifIndexEntryKey, Lumo::Ptr<ResourceHandle>> handles_;
    std::unordered_map<ResourceHandle const*, std::unique_ptr<ReleaseWaiter>> releasing_;
    std::vector<Lumo::Ptr<ResourceHandle>> toResolve_;   // requested, resolved by the next task
    std::vector<Lumo::Ptr<ResourceHandle>> toComplete_;  // acknowledged releases, likewise
    std::function<void()> listener_;
    std::uint32_t nextClientId_ = 1;
    Lumo::Ptr<InLifIndexTessel> tessel_;
    std::size_t unclaimed_ = 0;
};

}  // namespace VornTunnelNiLib

#pragma GCC visibility pop
