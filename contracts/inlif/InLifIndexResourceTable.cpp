#include "contracts/inlif/InLifIndexResourceTable.h"

#include <algorithm>
#include <limits>
#include <set>

#include "contracts/asic/CanonicalTableName.h"
#include "contracts/inlif/InLifIndexResourceTableTrace.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/lumo/Exception.h"
#include "contracts/qel/Assert.h"
#include "contracts/qel/Trace.h"
#include "contracts/shm/Environment.h"

namespace VornTunnelNiLib {

Qel::TraceHandle& inLifIndexResourceTableTrace() {
    static Qel::TraceHandle handle("InLifIndexResourceTable");
    return handle;
}

namespace {

Qel::TraceHandle& trace() { return inLifIndexResourceTableTrace(); }

bool isFinal(Asic::EntryState s) { return s == Asic::EntryState::done || Asic::SwTableBase::isFailed(s); }

// Gathers the table's shared-memory writes of one task into one transaction (a commit group of
// the process's environment): a task that resolves or releases many keys commits once. Without
// storage, or inside a group or scope someone else has open, it gathers nothing and the writes
// take their usual way.
class StorageBatch {
  public:
    explicit StorageBatch(bool stored) {
        if (!stored) return;
        env_ = QelSharedMem::processEnvironment();
        if (!env_->groupBegin()) env_.reset();
    }
    ~StorageBatch() {
        if (env_) env_->groupEnd(true);
    }
    StorageBatch(StorageBatch const&) = delete;
    StorageBatch& operator=(StorageBatch const&) = delete;

    // Makes the writes durable; false (with a trace) when they were lost.
    bool commit() {
        std::shared_ptr<QelSharedMem::Environment> const env = std::move(env_);
        if (!env) return true;
        try {
            env->groupEnd(false);
            return true;
        } catch (std::exception const& e) {
            QEL_TRACE_AT(trace(), 1, "stored allocations not committed: {}", e.what());
            return false;
        }
    }

  private:
    std::shared_ptr<QelSharedMem::Environment> env_;
};

template <typename Log, typename Record>
void append(Log& log, Record record) {
    if (log.size() == InLifIndexResourceTable::ClientInstance::kLogCapacity) log.pop_front();
    log.push_back(std::move(record));
}

}  // namespace

// ---------------------------------------------------------------- InLifIndexPool

InLifIndexPool::InLifIndexPool(std::uint32_t base, std::uint32_t size) : base_(base), size_(0) {
    QEL_ASSERT(base != 0, "base != 0");
    sizeIs(size);
}

void InLifIndexPool::sizeIs(std::uint32_t size) {
    QEL_ASSERT(size == 0 || size - 1 <= std::numeric_limits<std::uint32_t>::max() - base_,
               "base + size - 1 <= UINT32_MAX");
    size_ = size;
}

std::uint32_t InLifIndexPool::allocate() {
    if (inUse_ >= size_) return 0;
    std::uint32_t index;
    if (nextFresh_ < size_ || freed_.empty()) {
        index = base_ + nextFresh_++;
    } else {
        index = freed_.front();
        freed_.pop_front();
    }
    ++inUse_;
    return index;
}

void InLifIndexPool::inUseIs(std::vector<std::uint32_t> indexes) {
    QEL_ASSERT(inUse_ == 0 && nextFresh_ == 0, "nothing handed out yet");
    std::sort(indexes.begin(), indexes.end());
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        QEL_ASSERT(holds(indexes[i]) && (i == 0 || indexes[i] != indexes[i - 1]), "distinct indexes of this pool");
    }
    if (indexes.empty()) return;
    nextFresh_ = indexes.back() - base_ + 1;
    std::size_t next = 0;
    for (std::uint32_t offset = 0; offset < nextFresh_; ++offset) {
        if (indexes[next] == base_ + offset) {
            ++next;
        } else {
            freed_.push_back(base_ + offset);
        }
    }
    inUse_ = static_cast<std::uint32_t>(indexes.size());
}

void InLifIndexPool::free(std::uint32_t index) {
    QEL_ASSERT(index >= base_ && index - base_ < nextFresh_ && inUse_ > 0, "index was handed out by this pool");
    --inUse_;
    freed_.push_back(index);
}

// ---------------------------------------------------------------- ResourceHandle

InLifIndexResourceTable::ResourceHandle::ResourceHandle(InLifIndexEntryKey const& key,
                                                        InLifIndexResourceTable const* owner)
    : resourceKey_(key), owner_(owner), neededEntry_(Lumo::make<Asic::NeededEntry>()) {}

// ---------------------------------------------------------------- ClientInstance

InLifIndexResourceTable::ClientInstance::ClientInstance(Lumo::Ptr<InLifIndexResourceTable> table,
                                                        std::uint32_t clientId)
    : table_(std::move(table)), clientId_(clientId) {}

InLifIndexResourceTable::ClientInstance::~ClientInstance() { table_->clientGone(clientId_); }

Lumo::Ptr<InLifIndexResourceTable::ResourceHandle const> InLifIndexResourceTable::ClientInstance::request(
    InLifIndexEntryKey const& key, Lumo::Ptr<Asic::DependencyEntryHandle const> const& dep) {
    QEL_TRACE_AT(trace(), 8, "client: {}, key: {}, dep: {}", clientId_, key, dep ? "set" : "none");
    return table_->requestFor(clientId_, key);
}

void InLifIndexResourceTable::ClientInstance::ackUpdate(Lumo::Ptr<ResourceHandle const> const& handle,
                                                        std::uint32_t updateNumber, EntryHandlePtr const& entryHandle) {
    if (!handle) throw Lumo::NullArgumentException("handle");
    table_->owned(handle);
    QEL_TRACE_AT(trace(), 8, "client: {}, key: {}, updateNumber: {}, entryHandle: {}", clientId_, handle->resourceKey(),
                 updateNumber, entryHandle ? "set" : "none");
    if (updateNumber != handle->updateNumber()) {
        QEL_TRACE_AT(trace(), updateNumber > handle->updateNumber() ? 1 : 3,
                     "key: {} acknowledged update {} while at update {}", handle->resourceKey(), updateNumber,
                     handle->updateNumber());
    }
    ++ackCount_;
    append(ackLog_, AckRecord{handle, updateNumber, entryHandle});
}

void InLifIndexResourceTable::ClientInstance::release(Lumo::Ptr<ResourceHandle const> const& handle,
                                                      EntryHandlePtr const& entryHandle) {
    if (!handle) throw Lumo::NullArgumentException("handle");
    QEL_TRACE_AT(trace(), 8, "client: {}, key: {}, entryHandle: {}", clientId_, handle->resourceKey(),
                 entryHandle ? "set" : "none");
    ++releaseCount_;
    append(releaseLog_, ReleaseRecord{handle, entryHandle});
    table_->releaseFor(clientId_, handle, entryHandle);
}

// ---------------------------------------------------------------- ReleaseWaiter

// A released handle on its way out: waits until the change that dropped its last use is done
// (its entry handle reaches a final state), then has the table free the indexes.
class InLifIndexResourceTable::ReleaseWaiter : public Lumo::Subscriber {
  public:
    ReleaseWaiter(InLifIndexResourceTable* table, Lumo::Ptr<ResourceHandle> handle, EntryHandlePtr entryHandle)
        : table_(table), handle_(std::move(handle)), entryHandle_(std::move(entryHandle)) {}
    ~ReleaseWaiter() override { unsubscribe(); }
    ReleaseWaiter(ReleaseWaiter const&) = delete;
    ReleaseWaiter& operator=(ReleaseWaiter const&) = delete;

    ResourceHandle const* handle() const { return handle_.ptr(); }

    // Subscribes to the entry handle, or schedules the completion if there is nothing to wait for.
    void start() {
        if (entryHandle_ && !isFinal(entryHandle_->entryState())) {
            entryHandle_->publisherRef().subscriberIs(this);
            subscribed_ = true;
        } else {
            table_->postReleaseCompletion(handle_);
        }
    }

    void onAttributeChange(Lumo::Node const* source, Lumo::AttributeId attribute, std::uint64_t) override {
        if (source != entryHandle_.ptr() || attribute != Asic::DependencyEntryHandle::kEntryStateAttr) return;
        if (!isFinal(entryHandle_->entryState())) return;
        unsubscribe();
        table_->postReleaseCompletion(handle_);
    }

  private:
    void unsubscribe() {
        if (!subscribed_) return;
        entryHandle_->publisherRef().subscriberDel(this);
        subscribed_ = false;
    }

    InLifIndexResourceTable* table_;
    Lumo::Ptr<ResourceHandle> handle_;
    EntryHandlePtr entryHandle_;
    bool subscribed_ = false;
};

// ---------------------------------------------------------------- InLifIndexResourceTable

Lumo::String InLifIndexResourceTable::canonicalName() {
    return Asic::CanonicalTableName(Asic::kResourceTableType, "", "VornTunnelNiLib",
                                    "InLifIndex.featureVornVrfSelection")
        .name();
}

InLifIndexResourceTable::InLifIndexResourceTable(Qel::EventLoop* loop, Config const& config,
                                                 Lumo::Ptr<Ledra::EntityManager> const& stateDb)
    : loop_(loop),
      inLif0Pool_(config.inLif0Base, config.inLif0PoolSize),
      inLif23Pool_(config.inLif23Base, config.inLif23PoolSize) {
    QEL_ASSERT(loop != nullptr, "loop != NULL");
    QEL_TRACE_AT(trace(), 2, "InLif0 pool {} at {:#x}, InLif23 pool {} at {:#x}", config.inLif0PoolSize,
                 config.inLif0Base, config.inLif23PoolSize, config.inLif23Base);
    if (stateDb) mountAndReload(stateDb);
}

InLifIndexResourceTable::~InLifIndexResourceTable() = default;

Lumo::Ptr<InLifIndexResourceTable::ClientInstance> InLifIndexResourceTable::makeClientInstance() {
    std::uint32_t const id = nextClientId_++;
    QEL_TRACE_AT(trace(), 2, "new client {} ({} entries)", id, entryCount());
    return Lumo::Ptr<ClientInstance>(new ClientInstance(Lumo::Ptr<InLifIndexResourceTable>(this), id));
}

Lumo::Ptr<InLifIndexResourceTable::ResourceHandle const> InLifIndexResourceTable::requestFor(
    std::uint32_t clientId, InLifIndexEntryKey const& key) {
    if (key.isNull()) {
        QEL_TRACE_AT(trace(), 3, "client: {}, null key needs no resource", clientId);
        return nullptr;
    }
    Lumo::Ptr<ResourceHandle> handle = handles_.get(key);
    if (handle && handle->unclaimed_) {
        handle->unclaimed_ = false;
        --unclaimed_;
        QEL_TRACE_AT(trace(), 3, "key: {} reloaded allocation claimed: inLif0 {:#x}, inLif23 {:#x}, update {}", key,
                     handle->inLif0Index_, handle->inLif23Index_, handle->updateNumber_);
    }
    if (!handle) {
        handle = Lumo::Ptr<ResourceHandle>(new ResourceHandle(key, this));
        handles_.set(key, handle);
        QEL_TRACE_AT(trace(), 3, "key: {} new handle, pending", key);
        toResolve_.push_back(handle);
        if (toResolve_.size() == 1)
            loop_->post([self = Lumo::Ptr<InLifIndexResourceTable>(this)] { self->resolveQueued(); });
    }
    handle->users_.insert(clientId);
    return handle;
}

template <typename Step, typename NotCommitted>
std::vector<InLifIndexResourceTable::ResourceHandle*> InLifIndexResourceTable::inOneTransaction(
    std::vector<Lumo::Ptr<ResourceHandle>>& queue, std::vector<Lumo::Ptr<ResourceHandle>>& batch, Step step,
    NotCommitted notCommitted) {
    batch.swap(queue);
    std::vector<ResourceHandle*> done;
    done.reserve(batch.size());
    StorageBatch storage(tessel_ != nullptr);
    for (auto const& handle : batch)
        if (step(*handle)) done.push_back(handle.ptr());
    if (!storage.commit()) notCommitted(done);
    return done;
}

// Resolves every handle requested since the last such task, in request order. Their indexes
// are stored in one shared-memory transaction, and the handles publish only after it has
// committed: a client never sees indexes that a restart would not find again.
void InLifIndexResourceTable::resolveQueued() {
    std::vector<Lumo::Ptr<ResourceHandle>> batch;
    auto const decided = inOneTransaction(
        toResolve_, batch, [this](ResourceHandle& h) { return resolve(h); },
        [this](std::vector<ResourceHandle*> const& handles) {
            for (ResourceHandle* handle : handles) {
                if (!handle->persisted_) continue;
                handle->persisted_ = false;
                freeIndexes(*handle);
                handle->entryState_ = kFailed;
                QEL_TRACE_AT(trace(), 1, "key: {} failed: its indexes could not be stored", handle->resourceKey_);
            }
        });
    for (ResourceHandle* handle : decided) publish(*handle);
}

// Gives a pending handle its indexes (stored, not yet committed) or fails it, raising its update
// number; false when the handle was released or failed while pending and keeps that outcome.
bool InLifIndexResourceTable::resolve(ResourceHandle& handle) {
    if (handle.postRelease_ || handle.entryState_ != kPending) return false;
    if (!allocate(handle)) {
        handle.entryState_ = kFailed;
        ++handle.updateNumber_;
        QEL_TRACE_AT(trace(), 1, "key: {} failed: InLif index pool exhausted", handle.resourceKey_);
        return true;
    }
    if (keepOrFail(handle)) {
        QEL_TRACE_AT(trace(), 2, "key: {} resolved: inLif0 {:#x}, inLif23 {:#x}", handle.resourceKey_,
                     handle.inLif0Index_, handle.inLif23Index_);
    }
    return true;
}

bool InLifIndexResourceTable::keepOrFail(ResourceHandle& handle) {
    handle.entryState_ = kResolved;
    ++handle.updateNumber_;
    if (persist(handle)) return true;
    freeIndexes(handle);
    unpersist(handle);
    handle.entryState_ = kFailed;
    QEL_TRACE_AT(trace(), 1, "key: {} failed: its indexes could not be stored", handle.resourceKey_);
    return false;
}

bool InLifIndexResourceTable::allocate(ResourceHandle& handle) {
    std::uint32_t const inLif0 = inLif0Pool_.allocate();
    if (inLif0 == 0) return false;
    std::uint32_t const inLif23 = inLif23Pool_.allocate();
    if (inLif23 == 0) {
        inLif0Pool_.free(inLif0);
        return false;
    }
    freeIndexes(handle);
    handle.inLif0Index_ = inLif0;
    handle.inLif23Index_ = inLif23;
    return true;
}

void InLifIndexResourceTable::freeIndexes(ResourceHandle& handle) {
    if (handle.inLif0Index_ != 0) inLif0Pool_.free(std::exchange(handle.inLif0Index_, 0));
    if (handle.inLif23Index_ != 0) inLif23Pool_.free(std::exchange(handle.inLif23Index_, 0));
}

void InLifIndexResourceTable::changed(ResourceHandle& handle, bool callListener) {
    ++handle.updateNumber_;
    publish(handle, callListener);
}

void InLifIndexResourceTable::publish(ResourceHandle& handle, bool callListener) {
    Lumo::Ptr<ResourceHandle> keep(&handle);  // a subscriber may drop the last other reference
    QEL_TRACE_AT(trace(), 9, "key: {} state {} update {}", handle.resourceKey_, handle.entryState_,
                 handle.updateNumber_);
    handle.notify(ResourceHandle::kStateChangeAttr);
    notify(kHandleChangeAttr, handle.resourceKey_.hash());
    if (callListener && listener_) listener_();
}

InLifIndexResourceTable::ResourceHandle& InLifIndexResourceTable::owned(
    Lumo::Ptr<ResourceHandle const> const& handle) const {
    QEL_ASSERT(handle->owner_ == this, "handle->owner() == this");
    // Every handle is made by this table as a mutable object and given out as const.
    return const_cast<ResourceHandle&>(*handle);
}

void InLifIndexResourceTable::releaseFor(std::uint32_t clientId, Lumo::Ptr<ResourceHandle const> const& constHandle,
                                         EntryHandlePtr const& entryHandle) {
    ResourceHandle& handle = owned(constHandle);
    if (handle.postRelease_ || !handle.users_.has(clientId)) {
        QEL_TRACE_AT(trace(), 1, "key: {} released by client {} that does not use it", handle.resourceKey_, clientId);
        return;
    }
    handle.users_.del(clientId);
    if (!handle.users_.empty()) {
        QEL_TRACE_AT(trace(), 3, "key: {} still used by {} clients", handle.resourceKey_, handle.users_.size());
        return;
    }
    QEL_TRACE_AT(trace(), 2, "key: {} released", handle.resourceKey_);
    Lumo::Ptr<ResourceHandle> ptr(&handle);
    handles_.del(handle.resourceKey_);
    handle.postRelease_ = true;
    auto& waiter = releasing_[&handle];
    waiter = std::make_unique<ReleaseWaiter>(this, ptr, entryHandle);
    waiter->start();
    changed(handle);
}

void InLifIndexResourceTable::postReleaseCompletion(Lumo::Ptr<ResourceHandle> const& handle) {
    toComplete_.push_back(handle);
    if (toComplete_.size() == 1)
        loop_->post([self = Lumo::Ptr<InLifIndexResourceTable>(this)] { self->completeQueuedReleases(); });
}

// Completes the releases acknowledged since the last such task, in order: their records are
// removed in one shared-memory transaction, then each handle publishes its release. A removal
// that does not commit leaves a record whose indexes the next reload finds free or taken.
void InLifIndexResourceTable::completeQueuedReleases() {
    std::vector<Lumo::Ptr<ResourceHandle>> batch;
    auto const done = inOneTransaction(
        toComplete_, batch, [this](ResourceHandle& h) { return completeRelease(h); },
        [](std::vector<ResourceHandle*> const&) {});
    for (ResourceHandle* handle : done) changed(*handle);
}

bool InLifIndexResourceTable::completeRelease(ResourceHandle& handle) {
    if (releasing_.erase(&handle) == 0) return false;
    freeIndexes(handle);
    unpersist(handle);
    handle.entryState_ = kReleased;
    QEL_TRACE_AT(trace(), 2, "key: {} release done, indexes freed", handle.resourceKey_);
    return true;
}

void InLifIndexResourceTable::clientGone(std::uint32_t clientId) {
    // The handles stay: a client made later (after an agent restart) finds the same indexes.
    handles_.forEach(
        [clientId](InLifIndexEntryKey const&, Lumo::Ptr<ResourceHandle> const& h) { h->users_.del(clientId); });
}

bool InLifIndexResourceTable::reindex(InLifIndexEntryKey const& key) {
    Lumo::Ptr<ResourceHandle> handle = handles_.get(key);
    if (!handle || handle->entryState_ == kPending) {
        QEL_TRACE_AT(trace(), 3, "key: {} has no settled handle to re-index", key);
        return false;
    }
    if (!allocate(*handle)) {
        QEL_TRACE_AT(trace(), 1, "key: {} not re-indexed: InLif index pool exhausted", key);
        return false;
    }
    bool const kept = keepOrFail(*handle);
    if (kept) {
        QEL_TRACE_AT(trace(), 2, "key: {} re-indexed: inLif0 {:#x}, inLif23 {:#x}", key, handle->inLif0Index_,
                     handle->inLif23Index_);
    }
    publish(*handle);
    return kept;
}

bool InLifIndexResourceTable::forceFailure(InLifIndexEntryKey const& key) {
    Lumo::Ptr<ResourceHandle> handle = handles_.get(key);
    if (!handle || handle->entryState_ == kFailed) return false;
    freeIndexes(*handle);
    unpersist(*handle);
    handle->entryState_ = kFailed;
    QEL_TRACE_AT(trace(), 1, "key: {} failed on request", key);
    changed(*handle);
    return true;
}

bool InLifIndexResourceTable::neededEntryIs(InLifIndexEntryKey const& key,
                                            Lumo::Ptr<Asic::NeededEntry const> const& needed) {
    Lumo::Ptr<ResourceHandle> handle = handles_.get(key);
    if (!handle) return false;
    handle->neededEntry_ = needed ? needed : Lumo::make<Asic::NeededEntry>();
    return true;
}

std::size_t InLifIndexResourceTable::releaseUnclaimed() {
    std::vector<Lumo::Ptr<ResourceHandle>> unclaimed;
    handles_.forEach([&](InLifIndexEntryKey const&, Lumo::Ptr<ResourceHandle> const& h) {
        if (h->unclaimed_) unclaimed.push_back(h);
    });
    for (auto const& handle : unclaimed) {
        handles_.del(handle->resourceKey_);
        handle->unclaimed_ = false;
        handle->postRelease_ = true;
        freeIndexes(*handle);
        unpersist(*handle);
        handle->entryState_ = kReleased;
        QEL_TRACE_AT(trace(), 3, "key: {} reloaded and not requested: released", handle->resourceKey_);
        changed(*handle, false);
    }
    unclaimed_ = 0;
    QEL_TRACE_AT(trace(), 2, "start-up done: {} unclaimed allocations released, {} entries", unclaimed.size(),
                 entryCount());
    if (!unclaimed.empty() && listener_) listener_();
    return unclaimed.size();
}

}  // namespace VornTunnelNiLib
