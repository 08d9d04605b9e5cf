// Point reads, the entry count and the merged iteration of a software table: pending writes
// over committed entries, pending removals, remove-all, iteration from a key, collections that
// change between steps, the snapshot, and corrupt records.
#include <set>

#include "contracts/qel/Trace.h"
#include "tests/support/ActionTableFixture.h"

namespace VornTest {
namespace {

class ReadIteration : public ActionTableFixture {
  protected:
    // Pending writes 30, 31 and 32, and a walk that stands on 30 with its bookmark on 31.
    auto walkStandingOn30() {
        for (std::uint32_t id : {30u, 31u, 32u}) write(id);
        auto state = table_->initIterState();
        EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(30));
        EXPECT_EQ(state->bookmarkKey(), akey(31));
        return state;
    }
};

Lumo::Ptr<Asic::NeededEntry const> noNeeds() { return Lumo::make<Asic::NeededEntry>(); }

TEST_F(ReadIteration, PendingWriteOverCommittedKeyIsProducedOnceWithTheNewValueAlsoFromAKey) {
    for (std::uint32_t id = 1; id <= 4; ++id) logDirect(id);
    write(3, 7);
    write(9, 2);

    EXPECT_EQ(table_->entryRead(akey(3)).logEntry.vrfId, 7u);
    EXPECT_TRUE(table_->entryHas(akey(9)));
    EXPECT_EQ(table_->entrys(), 5u);  // the write over key 3 counts once

    auto const all = walk();
    // Pending writes come first (in the add collection's order), then the committed entries in
    // key order, without the key that has a pending write.
    ASSERT_EQ(ids(all), (std::vector<std::uint32_t>{3, 9, 1, 2, 4}));
    EXPECT_EQ(all[0].logEntry.vrfId, 7u);
    EXPECT_EQ(all[1].logEntry.vrfId, 2u);
    EXPECT_FALSE(table_->entryIteratorConst(akey(77)).valid());
    // From a committed key: that entry and the committed ones after it, no pending write. From a
    // pending write: the pending writes from there on, then the committed entries.
    EXPECT_EQ(ids(walk(2)), (std::vector<std::uint32_t>{2, 4}));
    EXPECT_EQ(ids(walk(9)), (std::vector<std::uint32_t>{9, 1, 2, 4}));
}

TEST_F(ReadIteration, PendingRemovalsAndRecordsInDeletionNeverShow) {
    for (std::uint32_t id = 1; id <= 5; ++id) logDirect(id);
    log_->entryDel(akey(4), noNeeds(), kTestUnit);  // committed removal, record kept in deletion
    EXPECT_EQ(table_->entrys(), 4u);
    remove(2);
    EXPECT_EQ(table_->entrys(), 3u);
    remove(8);  // never committed: nothing to take away
    EXPECT_EQ(table_->entrys(), 3u);

    EXPECT_FALSE(table_->entryHas(akey(2)));
    EXPECT_EQ(table_->entryFromConfig(akey(4)), TcamActionEntry{});
    EXPECT_FALSE(table_->entryHas(akey(4)));
    EXPECT_EQ(ids(walk()), (std::vector<std::uint32_t>{1, 3, 5}));
}

TEST_F(ReadIteration, PendingRemoveAllShowsOnlyPendingWritesButPointReadsSeeCommittedEntries) {
    for (std::uint32_t id = 1; id <= 3; ++id) logDirect(id, 4);
    table_->entryRemoveAll(nullptr);
    write(2, 9);
    write(10);

    EXPECT_EQ(table_->entrys(), 2u);
    auto const all = walk();
    EXPECT_EQ(ids(all), (std::vector<std::uint32_t>{2, 10}));
    EXPECT_EQ(all[0].logEntry.vrfId, 9u);
    // A point read is not affected by the pending remove-all.
    EXPECT_EQ(table_->entryRead(akey(1)).logEntry.vrfId, 4u);
    EXPECT_EQ(table_->entryRead(akey(2)).logEntry.vrfId, 9u);
    // Nor is a committed key found through the configuration table by a positioned iterator.
    EXPECT_FALSE(table_->entryIteratorConst(akey(1)).valid());
    // The snapshot of the merged view holds the same and does not follow later changes.
    auto snapshot = table_->getTableEntries_py();
    EXPECT_EQ(snapshot->tableEntries().size(), 2u);
    EXPECT_EQ(snapshot->tableEntries(akey(2)).logEntry.vrfId, 9u);
    write(5);
    EXPECT_EQ(snapshot->tableEntries().size(), 2u);
}

TEST_F(ReadIteration, CollectionsMayChangeBetweenSteps) {
    for (std::uint32_t id = 1; id <= 7; ++id) logDirect(id);
    auto state = table_->initIterState();
    EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(1));
    EXPECT_EQ(state->bookmarkKey(), akey(2));

    remove(2);  // a pending removal of the bookmarked key hides it
    EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(3));

    // The bookmarked record leaves the table altogether (removed and cleaned up): the walk goes
    // on at the first record after it.
    Asic::LogVersion const v = log_->entryDel(akey(4), noNeeds(), kTestUnit);
    log_->cleanupEntryLog(v);
    ASSERT_FALSE(config().has(akey(4)));
    EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(5));

    // A sweep removes every entry it is given while it walks; the walk still sees each once.
    std::vector<std::uint32_t> swept;
    for (auto it = table_->entryIteratorConst(); it.valid(); ++it) {
        swept.push_back(it->key().actionId);
        remove(it->key().actionId);
    }
    EXPECT_EQ(swept, (std::vector<std::uint32_t>{1, 3, 5, 6, 7}));
    EXPECT_EQ(table_->entrys(), 0u);
    EXPECT_TRUE(walk().empty());
}

TEST_F(ReadIteration, RemovedBookmarkInTheAddCollectionHandsOverToTheConfigurationPhase) {
    for (std::uint32_t id : {10u, 40u, 41u}) logDirect(id);
    auto state = walkStandingOn30();
    remove(31);  // the bookmarked pending write leaves the add collection

    // The configuration phase starts at the bookmark, not at the first record.
    EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(40));
    EXPECT_EQ(state->maybeUpdateCurrentEntry().key(), akey(41));
    EXPECT_FALSE(state->state().inTblCfg());
    EXPECT_EQ(state->maybeUpdateCurrentEntry(), TcamActionEntry{});
    EXPECT_FALSE(state->state().hasCurrent());
}

TEST_F(ReadIteration, BookmarkInTheAddCollectionFollowsItsKeyAcrossSlotReuse) {
    logDirect(50);
    auto state = walkStandingOn30();
    // The bookmarked write leaves the add collection, another key takes its place there, and
    // the bookmarked key comes back elsewhere: the walk resumes at the bookmarked key.
    remove(31);
    write(33);
    write(31);
    std::vector<std::uint32_t> got{30};
    while (true) {
        auto const e = state->maybeUpdateCurrentEntry();
        if (!state->state().hasCurrent()) break;
        got.push_back(e.key().actionId);
    }
    EXPECT_EQ(got, (std::vector<std::uint32_t>{30, 31, 50}));
}

TEST_F(ReadIteration, CorruptRecordIsReportedAndTheReadGoesOn) {
    for (std::uint32_t id = 1; id <= 5; ++id) logDirect(id);
    config().TEST_corruptRecord(akey(3));
    auto const before = config().corruptionsDetected();

    EXPECT_EQ(table_->entryFromConfig(akey(3)), TcamActionEntry{});
    EXPECT_EQ(config().corruptionsDetected(), before + 1);
    EXPECT_EQ(table_->entryRead(akey(3)), TcamActionEntry{});
    EXPECT_EQ(table_->entryRead(akey(2)).key(), akey(2));

    // The report removed the damaged record: a walk goes past its place.
    EXPECT_EQ(ids(walk()), (std::vector<std::uint32_t>{1, 2, 4, 5}));

    // The step that produces 2 finds a corrupt record next: it ends the configuration phase. A
    // walk resuming after it is not affected, and the next whole walk goes past it.
    config().TEST_corruptRecord(akey(4));
    auto const corruptionsBeforeWalk = config().corruptionsDetected();
    EXPECT_EQ(ids(walk(5)), (std::vector<std::uint32_t>{5}));
    EXPECT_EQ(ids(walk()), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(config().corruptionsDetected(), corruptionsBeforeWalk + 1);
    EXPECT_EQ(ids(walk()), (std::vector<std::uint32_t>{1, 2, 5}));
}

// A damaged tree can make a step land before the key it started from. Every walk finds its
// place again from its last key, so such a step would send it round for ever (the sweep then
// never returns); the step reports the damage instead and the walk ends there.
TEST_F(ReadIteration, StepThatGoesBackIsReportedAndEndsTheWalk) {
    for (std::uint32_t id = 1; id <= 5; ++id) logDirect(id);
    config().TEST_stepsBackFrom(akey(3));
    auto const before = config().corruptionsDetected();
    std::vector<std::uint32_t> got;
    for (auto it = table_->entryIteratorConst(); it.valid() && got.size() < 20; ++it) got.push_back(it->key().actionId);
    EXPECT_EQ(got, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(config().corruptionsDetected(), before + 1);
    EXPECT_EQ(config().size(), 5u);  // the records themselves are sound: nothing is removed

    // The sweep of a marked table walks the same way: it comes back, having removed what it saw.
    table_->mark();
    table_->sweep();
    EXPECT_FALSE(table_->inMarkingState());
    EXPECT_EQ(table_->transientRemoveEntryColl().size(), 2u);
    // Point reads do not step and are not affected.
    EXPECT_EQ(table_->entryFromConfig(akey(4)).key(), akey(4));
}

}  // namespace
}  // namespace VornTest
