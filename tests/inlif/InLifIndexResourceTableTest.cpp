// The InLif index resource table: requests resolved by the event loop, exhausted pools, re-index
// and acknowledgements, releases that wait for the change that drops a resource. Over shared
// memory its allocations survive a restart (modelled in-process by dropping the table and the
// environment), reload into the pools, come back resolved to the keys that request them, and are
// released when left unclaimed.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "contracts/asic/OrderedSwTable.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/Environment.h"
#include "tests/support/ShmNamespace.h"

namespace {

using VornTunnelNiLib::InLifIndexEntryKey;
using Table = VornTunnelNiLib::InLifIndexResourceTable;
using Handle = Table::ResourceHandle;
using HandlePtr = Lumo::Ptr<Handle const>;
using Asic::EntryState;

// An action-table entry handle whose state the tests drive by hand, standing for the change that
// drops or takes a resource.
class TestEntryHandle : public Asic::OrderedSwTable::EntryHandle {
  public:
    TestEntryHandle() : Asic::OrderedSwTable::EntryHandle(Asic::EntryVersion(1, 0)) {}
    Lumo::String tableName() const override { return "TcamAction"; }
    Asic::SwTableId tableId() const override { return Asic::SwTableId(0x1B080402); }
};

// Counts the change notifications of one handle and the update numbers they came with.
class Watcher : public Lumo::Subscriber {
  public:
    explicit Watcher(HandlePtr h) : h_(std::move(h)) { h_->publisherRef().subscriberIs(this); }
    ~Watcher() override { h_->publisherRef().subscriberDel(this); }
    void onAttributeChange(Lumo::Node const* source, Lumo::AttributeId attr, std::uint64_t) override {
        EXPECT_EQ(source, h_.ptr());
        EXPECT_EQ(attr, Handle::kStateChangeAttr);
        updates.push_back(h_->updateNumber());
    }
    std::vector<std::uint32_t> updates;

  private:
    HandlePtr h_;
};

InLifIndexEntryKey key(std::uint32_t intf) { return InLifIndexEntryKey{intf, 10, 0}; }

// A table of pools of 16 indexes (the InLif0 pool from 100, the InLif23 pool from 5000) and a
// client of it.
class InLifIndexResourceTable : public ::testing::Test {
  protected:
    void poolSizesAre(std::uint32_t size0, std::uint32_t size23) {
        table_ = Lumo::make<Table>(&loop_, Table::Config{size0, size23, 100, 5000});
        client_ = table_->makeClientInstance();
    }

    Qel::EventLoop loop_;
    Lumo::Ptr<Table> table_ = Lumo::make<Table>(&loop_, Table::Config{16, 16, 100, 5000});
    Lumo::Ptr<Table::ClientInstance> client_ = table_->makeClientInstance();
};

TEST_F(InLifIndexResourceTable, RequestIsPendingUntilTheLoopResolvesIt) {
    int listenerCalls = 0;
    table_->stateChangeListenerIs([&] { ++listenerCalls; });

    HandlePtr a = client_->request(key(1), nullptr);
    ASSERT_TRUE(a);
    EXPECT_EQ(client_->request(key(1), nullptr), a);                      // same key, same handle
    EXPECT_EQ(client_->request(InLifIndexEntryKey{}, nullptr), nullptr);  // the null key needs nothing
    EXPECT_EQ(a->entryState(), EntryState::pending);
    EXPECT_EQ(a->updateNumber(), 0u);
    HandlePtr b = client_->request(key(2), nullptr);
    EXPECT_EQ(table_->entryCount(), 2u);

    Watcher watchA(a);
    EXPECT_EQ(loop_.runUntilIdle(), 1u);  // one task resolves every request made since the last
    EXPECT_EQ(a->entryState(), EntryState::done);
    EXPECT_EQ(a->updateNumber(), 1u);
    EXPECT_EQ(watchA.updates, std::vector<std::uint32_t>{1});
    EXPECT_EQ(listenerCalls, 2);
    EXPECT_EQ(a->inLif0Index(), 100u);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 2u);

    // A request of a resolved key neither notifies nor posts anything.
    EXPECT_EQ(client_->request(key(1), nullptr), a);
    EXPECT_TRUE(loop_.idle());
    EXPECT_EQ(watchA.updates.size(), 1u);
}

TEST_F(InLifIndexResourceTable, ExhaustedPoolFailsTheHandleUntilIndexesComeBack) {
    poolSizesAre(2, 1);  // the InLif23 pool runs out first
    HandlePtr a = client_->request(key(1), nullptr);
    HandlePtr b = client_->request(key(2), nullptr);
    Watcher watchB(b);
    loop_.runUntilIdle();
    EXPECT_EQ(a->entryState(), EntryState::done);
    EXPECT_EQ(b->entryState(), EntryState::resolutionFailed);
    EXPECT_EQ(watchB.updates, std::vector<std::uint32_t>{1});
    EXPECT_EQ(b->inLif0Index(), 0u);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);      // the InLif0 index taken for b went back
    EXPECT_EQ(client_->request(key(2), nullptr), b);  // a request does not retry
    EXPECT_TRUE(loop_.idle());

    EXPECT_FALSE(table_->reindex(key(2)));  // still no InLif23 index
    EXPECT_FALSE(table_->reindex(key(1)));  // a re-index needs a spare pair too
    EXPECT_TRUE(table_->forceFailure(key(1)));
    EXPECT_EQ(a->entryState(), EntryState::resolutionFailed);
    EXPECT_TRUE(table_->reindex(key(2)));  // retried now that a's indexes are free
    EXPECT_EQ(b->entryState(), EntryState::done);
    EXPECT_EQ(b->inLif23Index(), 5000u);
    EXPECT_EQ(watchB.updates, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(InLifIndexResourceTable, ReindexNotifiesOnceWithNewIndexesAndAcksAreLogged) {
    HandlePtr a = client_->request(key(1), nullptr);
    EXPECT_FALSE(table_->reindex(key(1)));  // still pending
    loop_.runUntilIdle();
    auto const old0 = a->inLif0Index(), old23 = a->inLif23Index();

    Watcher watch(a);
    ASSERT_TRUE(table_->reindex(key(1)));
    EXPECT_EQ(watch.updates, std::vector<std::uint32_t>{2});
    EXPECT_EQ(a->entryState(), EntryState::done);
    EXPECT_NE(a->inLif0Index(), old0);
    EXPECT_NE(a->inLif23Index(), old23);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);  // the old pair was freed

    auto needed = Lumo::make<Asic::NeededEntry>();
    needed->add({Asic::SwTableId(0x1B080401), 7});
    EXPECT_TRUE(table_->neededEntryIs(key(1), needed));
    EXPECT_EQ(a->neededEntry()->neededEntry().get(Asic::SwTableId(0x1B080401)).version, 7u);
    EXPECT_EQ(watch.updates.size(), 1u);

    client_->ackUpdate(a, 1, nullptr);  // a stale acknowledgement is still recorded
    ASSERT_EQ(client_->ackLog().size(), 1u);
    EXPECT_EQ(client_->ackLog()[0].updateNumber, 1u);
}

TEST_F(InLifIndexResourceTable, ReleaseByTheLastClientFreesIndexesWhenItsEntryHandleIsDone) {
    auto const& c1 = client_;
    auto c2 = table_->makeClientInstance();
    HandlePtr a = c1->request(key(1), nullptr);
    c2->request(key(1), nullptr);
    loop_.runUntilIdle();
    Watcher watch(a);

    auto e1 = Lumo::make<TestEntryHandle>();
    c1->release(a, e1);  // c2 still uses it
    EXPECT_EQ(a->users(), 1u);
    EXPECT_TRUE(watch.updates.empty());

    auto e2 = Lumo::make<TestEntryHandle>();
    c2->release(a, e2);
    EXPECT_TRUE(a->isPostReleaseProtoState());
    EXPECT_EQ(watch.updates, std::vector<std::uint32_t>{2});
    EXPECT_EQ(table_->releasingCount(), 1u);
    ASSERT_EQ(c2->releaseLog().size(), 1u);
    EXPECT_EQ(c2->releaseLog()[0].entryHandle, e2);

    // The key may be requested afresh at once: a new handle with new indexes.
    HandlePtr a2 = c1->request(key(1), nullptr);
    EXPECT_NE(a2, a);
    loop_.runUntilIdle();
    EXPECT_NE(a2->inLif0Index(), a->inLif0Index());

    // The old indexes stay out until the dropping change is done.
    e2->entryStateIs(EntryState::logged);
    loop_.runUntilIdle();
    EXPECT_EQ(a->entryState(), EntryState::done);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 2u);
    e2->entryStateIs(EntryState::done);
    loop_.runUntilIdle();
    EXPECT_EQ(a->entryState(), EntryState::failedOther);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);
    EXPECT_EQ(watch.updates, (std::vector<std::uint32_t>{2, 3}));
    EXPECT_EQ(e2->publisherRef().subscribers(), 0u);
}

TEST_F(InLifIndexResourceTable, ReleaseWithoutEntryHandleOrWhilePendingCompletesOnTheNextRun) {
    HandlePtr p = client_->request(key(1), nullptr);
    client_->release(p, nullptr);  // released before it resolved: never takes indexes
    HandlePtr r = client_->request(key(2), nullptr);
    loop_.runUntilIdle();
    EXPECT_EQ(p->entryState(), EntryState::failedOther);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);

    auto done = Lumo::make<TestEntryHandle>();
    done->entryStateIs(EntryState::failed);  // already final: nothing to wait for
    client_->release(r, done);
    EXPECT_EQ(r->entryState(), EntryState::done);
    loop_.runUntilIdle();
    EXPECT_EQ(r->entryState(), EntryState::failedOther);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 0u);
    EXPECT_FALSE(table_->reindex(key(2)));  // a released key has no handle to change
}

TEST_F(InLifIndexResourceTable, HandlesOutliveTheirClientAndTheTable) {
    HandlePtr a = client_->request(key(1), nullptr);
    loop_.runUntilIdle();
    client_ = nullptr;  // a restarted agent's new client finds the same indexes
    client_ = table_->makeClientInstance();
    EXPECT_EQ(client_->request(key(1), nullptr), a);
    EXPECT_EQ(a->users(), 1u);

    // A release waiting on an entry handle, then everything but the handle goes away.
    auto entry = Lumo::make<TestEntryHandle>();
    client_->release(a, entry);
    client_->request(key(2), nullptr);  // leaves a resolution task in the loop
    client_ = nullptr;
    table_ = nullptr;
    loop_.runUntilIdle();
    EXPECT_EQ(entry->publisherRef().subscribers(), 0u);
    EXPECT_TRUE(a->isPostReleaseProtoState());
}

using VornTunnelNiLib::InLifIndexTessel;
using VornTunnelNiLib::InLifIndexTesselEntry;

class InLifIndexPersistence : public ::testing::Test {
  protected:
    InLifIndexPersistence() { start(); }

    void start(std::uint32_t poolSize = 8) {
        stateDb_ = Lumo::make<Ledra::EntityManager>("InLifTestEm", true);
        table_ = Lumo::make<Table>(&loop_, Table::Config{poolSize, poolSize, 100, 5000}, stateDb_);
        client_ = table_->makeClientInstance();
    }

    // The agent process ends (its memory, its tasks, its environment handle) and a new one
    // starts on the same shared memory.
    void restart(std::uint32_t poolSize = 8) {
        client_ = nullptr;
        table_ = nullptr;
        loop_ = Qel::EventLoop();
        stateDb_ = nullptr;
        shm_.restart();
        start(poolSize);
    }

    HandlePtr resolved(std::uint32_t intf) {
        HandlePtr h = client_->request(key(intf), nullptr);
        loop_.runUntilIdle();
        return h;
    }

    InLifIndexTessel::Collection& stored() const {
        auto shm = QelSharedMem::EntityManager::getEntityManager("InLifTestEm", true);
        auto tessel = Lumo::ptr_cast<InLifIndexTessel>(shm->getEntity(VornTunnelNiLib::kInLifIndexTesselPath));
        return tessel->allocations();
    }

    VornTest::ScopedShmNamespace shm_{"inlif"};
    Qel::EventLoop loop_;
    Lumo::Ptr<Ledra::EntityManager> stateDb_;
    Lumo::Ptr<Table> table_;
    Lumo::Ptr<Table::ClientInstance> client_;
};

TEST_F(InLifIndexPersistence, AllocationsComeBackResolvedAfterARestartAndUnclaimedOnesAreReleased) {
    EXPECT_TRUE(table_->persistent());
    HandlePtr const a = resolved(1);
    HandlePtr const b = resolved(2);
    HandlePtr const failed = resolved(3);
    HandlePtr const released = resolved(4);
    ASSERT_TRUE(table_->reindex(key(2)));  // update 2, new indexes
    ASSERT_TRUE(table_->forceFailure(key(3)));
    client_->release(released, nullptr);
    loop_.runUntilIdle();
    EXPECT_EQ(stored().size(), 2u);  // only keys holding indexes are stored

    restart();
    EXPECT_EQ(table_->entryCount(), 2u);
    EXPECT_EQ(table_->unclaimedCount(), 2u);
    EXPECT_EQ(table_->inLif23Pool().inUse(), 2u);
    int listenerCalls = 0;
    table_->stateChangeListenerIs([&] { ++listenerCalls; });
    HandlePtr const a2 = client_->request(key(1), nullptr);
    EXPECT_EQ(a2->entryState(), EntryState::done);  // no event-loop run needed
    EXPECT_EQ(a2->inLif23Index(), a->inLif23Index());
    EXPECT_EQ(a2->updateNumber(), a->updateNumber());
    HandlePtr const b2 = client_->request(key(2), nullptr);
    EXPECT_EQ(b2->inLif0Index(), b->inLif0Index());
    EXPECT_EQ(b2->updateNumber(), 2u);
    EXPECT_EQ(table_->unclaimedCount(), 0u);
    EXPECT_EQ(loop_.runUntilIdle(), 0u);
    EXPECT_EQ(listenerCalls, 0);
    // A key without stored indexes is allocated anew, away from the reloaded indexes.
    HandlePtr const c2 = resolved(3);
    EXPECT_EQ(c2->entryState(), EntryState::done);
    EXPECT_EQ(c2->updateNumber(), 1u);
    std::set<std::uint32_t> const inLif0{a2->inLif0Index(), b2->inLif0Index(), c2->inLif0Index()};
    EXPECT_EQ(inLif0.size(), 3u);

    // Next run requests key 1 only: keys 2 and 3 are released at the end of its start-up.
    restart();
    EXPECT_EQ(table_->unclaimedCount(), 3u);
    client_->request(key(1), nullptr);
    HandlePtr const unclaimed = table_->handle(key(2));
    ASSERT_TRUE(unclaimed);
    EXPECT_EQ(table_->releaseUnclaimed(), 2u);
    EXPECT_EQ(table_->releaseUnclaimed(), 0u);
    EXPECT_EQ(unclaimed->entryState(), EntryState::failedOther);
    EXPECT_FALSE(table_->handle(key(2)));
    EXPECT_EQ(table_->inLif23Pool().inUse(), 1u);
    EXPECT_EQ(client_->releaseCount(), 0u);  // no client used them

    restart();
    EXPECT_EQ(table_->entryCount(), 1u);
    EXPECT_EQ(client_->request(key(1), nullptr)->inLif0Index(), a->inLif0Index());
}

TEST_F(InLifIndexPersistence, HandlesResolvedTogetherPublishOnlyOnceTheirAllocationsAreCommitted) {
    // One task resolves every pending request in one transaction; a client that hears of a
    // resolved handle must find its allocation committed, not in a transaction still open.
    std::vector<HandlePtr> handles;
    for (std::uint32_t k = 1; k <= 3; ++k) handles.push_back(client_->request(key(k), nullptr));
    int published = 0;
    table_->stateChangeListenerIs([&] {
        ++published;
        EXPECT_FALSE(QelSharedMem::processEnvironment()->groupOpen());
        for (auto const& h : handles) {
            if (h->entryState() == EntryState::done) {
                EXPECT_TRUE(stored().has(InLifIndexTesselEntry::keyOf(h->resourceKey())));
            }
        }
    });
    EXPECT_EQ(loop_.runUntilIdle(), 1u);
    EXPECT_EQ(published, 3);
    EXPECT_EQ(stored().size(), 3u);
}

TEST_F(InLifIndexPersistence, ReloadedPoolsHandOutFreshIndexesThenTheGapsAndRefuseWhatNoLongerFits) {
    std::vector<HandlePtr> handles;
    for (std::uint32_t i = 1; i <= 5; ++i) handles.push_back(resolved(i));  // 100..104, 5000..5004
    client_->release(handles[1], nullptr);                                  // frees 101
    client_->release(handles[3], nullptr);                                  // frees 103
    loop_.runUntilIdle();

    restart(6);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 3u);
    for (std::uint32_t i : {1u, 3u, 5u}) client_->request(key(i), nullptr);
    EXPECT_EQ(resolved(6)->inLif0Index(), 105u);  // never handed out before
    EXPECT_EQ(resolved(7)->inLif0Index(), 101u);  // then the gaps, lowest first
    EXPECT_EQ(resolved(8)->inLif23Index(), 5003u);

    // Smaller pools: the keys whose indexes lie beyond them lose their records.
    restart(4);
    EXPECT_EQ(table_->entryCount(), 4u);  // keys 1, 3, 7, 8: indexes 100..103
    EXPECT_FALSE(table_->handle(key(5)));
    EXPECT_FALSE(stored().has(InLifIndexTesselEntry::keyOf(key(5))));
    EXPECT_EQ(table_->inLif0Pool().inUse(), 4u);
    EXPECT_EQ(resolved(5)->entryState(), EntryState::resolutionFailed);
}

TEST_F(InLifIndexPersistence, RecordBelongsToTheNewestHandleOfAKey) {
    // Key 1 is released while its dropping change is in flight and requested again meanwhile:
    // the old handle's late release must not remove the new handle's record.
    HandlePtr const old = resolved(1);
    auto entry = Lumo::make<TestEntryHandle>();
    client_->release(old, entry);
    HandlePtr const renewed = resolved(1);
    ASSERT_NE(renewed, old);
    entry->entryStateIs(EntryState::done);
    loop_.runUntilIdle();
    EXPECT_EQ(old->entryState(), EntryState::failedOther);

    restart();
    ASSERT_TRUE(table_->handle(key(1)));
    EXPECT_EQ(table_->handle(key(1))->inLif0Index(), renewed->inLif0Index());
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);
}

TEST_F(InLifIndexPersistence, DamagedRecordsAndFailedWritesCostOnlyTheirOwnKey) {
    HandlePtr const a = resolved(1);
    resolved(2);
    resolved(3);
    stored().TEST_corruptRecord(InLifIndexTesselEntry::keyOf(key(2)));
    stored().TEST_corruptRecord(InLifIndexTesselEntry::keyOf(key(3)));

    restart();
    // The first report removes both damaged records.
    EXPECT_EQ(stored().corruptionsDetected(), 1u);
    EXPECT_EQ(stored().quarantined(), 2u);
    EXPECT_EQ(stored().size(), 1u);
    EXPECT_EQ(table_->entryCount(), 1u);
    EXPECT_EQ(client_->request(key(1), nullptr)->inLif0Index(), a->inLif0Index());

    // An allocation that cannot be stored is not made.
    shm_.faults().failWriteAtIs(1);
    HandlePtr const lost = resolved(4);
    EXPECT_EQ(lost->entryState(), EntryState::resolutionFailed);
    EXPECT_EQ(lost->inLif0Index(), 0u);
    EXPECT_EQ(table_->inLif0Pool().inUse(), 1u);
    ASSERT_TRUE(table_->reindex(key(4)));  // the next try succeeds and is stored
    restart();
    EXPECT_EQ(table_->entryCount(), 2u);
}

}  // namespace
