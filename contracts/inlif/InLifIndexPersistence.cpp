// The shared-memory side of InLifIndexResourceTable: the mount and reload of the stored
// allocations at construction, and the record of each handle's indexes kept in step with it.
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/inlif/InLifIndexResourceTableTrace.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/lumo/Exception.h"
#include "contracts/qel/Assert.h"

namespace VornTunnelNiLib {

namespace {

Qel::TraceHandle& trace() { return inLifIndexResourceTableTrace(); }

// The first stored key above `after` (or any, without it) fails its checksum: finds that key.
// Its value cannot be read, but its key can be pinned down: atOrAfter(k) throws for every k up
// to the damaged key, and answers (or throws for a later damaged record) beyond it, so the
// search ends on a k that throws while k + 1 does not, which is a damaged record's key.
std::uint64_t damagedKeyAfter(InLifIndexTessel::Collection const& coll, std::optional<std::uint64_t> after) {
    auto throws = [&](std::uint64_t k) {
        try {
            coll.atOrAfter(k);
            return false;
        } catch (Lumo::CorruptionDetectedException const&) {
            return true;
        }
    };
    std::uint64_t low = after ? *after + 1 : 0;  // throws(low) holds
    std::uint64_t high = std::numeric_limits<std::uint64_t>::max();
    if (throws(high)) return high;
    while (high - low > 1) {  // throws(low) && !throws(high)
        std::uint64_t const mid = low + (high - low) / 2;
        (throws(mid) ? low : high) = mid;
    }
    return low;
}

// Every stored record, read in key order. A damaged one is reported and removed (its indexes
// are unknown, so its key gets new ones when requested).
std::vector<InLifIndexTesselEntry> readStoredAllocations(InLifIndexTessel::Collection& coll) {
    std::vector<InLifIndexTesselEntry> records;
    std::optional<std::uint64_t> last;
    for (;;) {
        try {
            auto record = last ? coll.after(*last) : coll.first();
            if (!record) break;
            records.push_back(*record);
            last = record->key();
        } catch (Lumo::CorruptionDetectedException const& e) {
            std::uint32_t const stored = coll.size();
            coll.doCorruptionDetected(e.what());                // removes the damaged records the read found
            if (coll.size() < stored) continue;                 // removed: the walk goes on past it
            if (!coll.del(damagedKeyAfter(coll, last))) break;  // nothing found to remove: give up the walk
        }
    }
    return records;
}

// The indexes of one pool that stored records hold, in record order; one bit per pool value.
class IndexesInUse {
  public:
    explicit IndexesInUse(InLifIndexPool const& pool) : pool_(pool), used_(pool.size(), false) {}
    bool has(std::uint32_t index) const { return used_[index - pool_.base()]; }
    void add(std::uint32_t index) {
        used_[index - pool_.base()] = true;
        list_.push_back(index);
    }
    std::vector<std::uint32_t> const& list() const { return list_; }

  private:
    InLifIndexPool const& pool_;
    std::vector<bool> used_;
    std::vector<std::uint32_t> list_;
};

}  // namespace

void InLifIndexResourceTable::mountAndReload(Lumo::Ptr<Ledra::EntityManager> const& stateDb) {
    static bool const typeRegistered = (registerInLifIndexTesselType(), true);
    (void)typeRegistered;
    auto shm = QelSharedMem::EntityManager::getEntityManager(stateDb->name(), stateDb->local());
    // One record per key holding indexes: no more than the larger pool, as configured here.
    QelTessel::MountInfo info(QelTessel::QelTesselType::keyed);
    info.collectionInfoIs(QelTessel::CollectionInfo{
        kInLifIndexCollectionName, std::max({inLif0Pool_.size(), inLif23Pool_.size(), std::uint32_t{1}}), false});
    shm->getMountGroup().doMount(kInLifIndexTesselPath, kInLifIndexTesselTypeName, info);
    tessel_ = Lumo::ptr_cast<InLifIndexTessel>(shm->getEntity(kInLifIndexTesselPath));
    QEL_ASSERT(tessel_, "tessel_ != NULL");
    auto& coll = tessel_->allocations();
    if (coll.control().wiped()) {
        QEL_TRACE_AT(trace(), 1, "stored allocations were lost: every key is allocated anew");
        coll.control().clearWiped();
    }
    std::vector<InLifIndexTesselEntry> const records = readStoredAllocations(coll);
    std::vector<InLifIndexTesselEntry> const kept = soundAllocations(records);
    for (auto const& record : kept) {
        Lumo::Ptr<ResourceHandle> handle(new ResourceHandle(record.inLifKey(), this));
        handle->entryState_ = kResolved;
        handle->inLif0Index_ = record.inLif0Index;
        handle->inLif23Index_ = record.inLif23Index;
        handle->updateNumber_ = record.updateNumber;
        handle->persisted_ = true;
        handle->unclaimed_ = true;
        handles_.set(handle->resourceKey_, handle);
    }
    unclaimed_ = kept.size();
    QEL_TRACE_AT(trace(), 2, "reloaded {} allocations, refused {}", kept.size(), records.size() - kept.size());
}

// The stored records whose indexes can be taken back, in order; the pools learn which of their
// indexes those hold. A record that cannot (no key, unknown state, an index outside its pool or
// already held by an earlier record) is refused and removed.
std::vector<InLifIndexTesselEntry> InLifIndexResourceTable::soundAllocations(
    std::vector<InLifIndexTesselEntry> const& records) {
    IndexesInUse inLif0Used(inLif0Pool_);
    IndexesInUse inLif23Used(inLif23Pool_);
    std::vector<InLifIndexTesselEntry> kept;
    for (auto const& record : records) {
        char const* refused = nullptr;
        if (record.inLifKey().isNull()) {
            refused = "null key";
        } else if (record.state != InLifIndexTesselEntry::kResolved) {
            refused = "unknown state";
        } else if (!inLif0Pool_.holds(record.inLif0Index) || !inLif23Pool_.holds(record.inLif23Index)) {
            refused = "index outside the pools";
        } else if (inLif0Used.has(record.inLif0Index) || inLif23Used.has(record.inLif23Index)) {
            refused = "index held by another key";
        }
        if (refused) {
            QEL_TRACE_AT(trace(), 1, "key: {} stored allocation refused ({}): inLif0 {:#x}, inLif23 {:#x}, state {}",
                         record.inLifKey(), refused, record.inLif0Index, record.inLif23Index, record.state);
            tessel_->allocations().del(record.key());
            continue;
        }
        inLif0Used.add(record.inLif0Index);
        inLif23Used.add(record.inLif23Index);
        kept.push_back(record);
    }
    inLif0Pool_.inUseIs(inLif0Used.list());
    inLif23Pool_.inUseIs(inLif23Used.list());
    return kept;
}

bool InLifIndexResourceTable::persist(ResourceHandle& handle) {
    if (!tessel_) return true;
    InLifIndexTesselEntry record;
    record.inLifKeyIs(handle.resourceKey_);
    record.inLif0Index = handle.inLif0Index_;
    record.inLif23Index = handle.inLif23Index_;
    record.updateNumber = handle.updateNumber_;
    record.state = InLifIndexTesselEntry::kResolved;
    try {
        tessel_->allocations().set(record);
    } catch (Lumo::CapacityExceededException const& e) {
        QEL_TRACE_AT(trace(), 1, "key: {} allocation not stored: {}", handle.resourceKey_, e.what());
        return false;
    } catch (QelSharedMem::StorageError const& e) {
        QEL_TRACE_AT(trace(), 1, "key: {} allocation not stored: {}", handle.resourceKey_, e.what());
        return false;
    }
    handle.persisted_ = true;
    return true;
}

void InLifIndexResourceTable::unpersist(ResourceHandle& handle) {
    if (!tessel_ || !handle.persisted_) return;
    handle.persisted_ = false;
    // A newer handle of the same key (requested while this one was being released) owns the
    // record once it has stored its own indexes.
    Lumo::Ptr<ResourceHandle> const live = handles_.get(handle.resourceKey_);
    if (live && live.ptr() != &handle && live->persisted_) return;
    try {
        tessel_->allocations().del(InLifIndexTesselEntry::keyOf(handle.resourceKey_));
    } catch (QelSharedMem::StorageError const& e) {
        // The record stays; the next reload finds its indexes free or held by another key and
        // refuses it, or hands them back to this key.
        QEL_TRACE_AT(trace(), 1, "key: {} stored allocation not removed: {}", handle.resourceKey_, e.what());
    }
}

}  // namespace VornTunnelNiLib
