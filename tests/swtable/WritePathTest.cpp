// The write and remove path of both software tables: request versions, the transient
// collections, remove-all counting, marking and the statistics the requests count.
#include "tests/support/SwTableFixture.h"

namespace VornTest {
namespace {

template <typename Table>
class WritePathTest : public SwTableFixture<Table> {};
TYPED_TEST_SUITE(WritePathTest, SwTableTypes);

// In-log queue positions keep their order across the 32-bit wrap.
TYPED_TEST(WritePathTest, InLogQueueKeepsItsOrderAcrossTheWrap) {
    auto& t = *this->table_;
    auto h1 = TypeParam::entryHandleFactory(Asic::EntryVersion(3, 1), this->key(1), this->table_.ptr());
    auto h2 = TestFixture::Handle::EntryHandleIs(Asic::EntryVersion(0, 0), this->key(2), this->table_.ptr());
    t.TEST_entryHandleInLogQueue().TEST_frontIs(0xFFFFFFFFu);
    t.entryHandleInLogEnq(h1);
    t.entryHandleInLogEnq(h2);
    EXPECT_EQ(t.entryHandleInLog(0xFFFFFFFFu), h1);
    EXPECT_EQ(t.entryHandleInLog(0u), h2);
    EXPECT_EQ(t.entryHandleInLog(1u), nullptr);
    EXPECT_EQ(t.entryHandleInLog(0xFFFFFFFEu), nullptr);
    EXPECT_EQ(t.entryHandleInLogDeq(), h1);
    EXPECT_EQ(t.entryHandleInLogFront(), h2);
    t.entryHandleInLogDelAll();
    EXPECT_EQ(t.entryHandleInLogDeq(), nullptr);
}

TYPED_TEST(WritePathTest, VersionsAndTransientCollectionsOfOneKey) {
    auto& t = *this->table_;
    auto const k = this->key(1);

    auto w1 = this->write(1, 1);
    EXPECT_TRUE(w1->version().isEq(Asic::EntryVersion(0, 0)));
    auto w2 = this->write(1, 2);
    EXPECT_TRUE(w2->version().isEq(Asic::EntryVersion(1, 0)));
    EXPECT_EQ(t.transientAddEntry(k)->entry(), this->entry(1, 2));
    auto r3 = this->remove(1);
    EXPECT_TRUE(r3->version().isEq(Asic::EntryVersion(2, 0)));
    EXPECT_EQ(t.transientAddEntry(k), nullptr);
    ASSERT_NE(t.transientRemoveEntry(k), nullptr);
    // The removed entry carries only the key.
    typename TestFixture::Entry removed{};
    removed.keyIs(k);
    EXPECT_EQ(t.transientRemoveEntry(k)->entry(), removed);
    EXPECT_TRUE(t.transientVersionForKey(k).isEq(Asic::EntryVersion(2, 0)));

    // Write after remove: only in the add collection again.
    auto w4 = this->write(1, 3);
    EXPECT_TRUE(w4->version().isEq(Asic::EntryVersion(3, 0)));
    EXPECT_EQ(t.transientRemoveEntry(k), nullptr);
    EXPECT_EQ(t.transientAddEntry(k)->entryHandle(), w4);

    // The 16-bit field of a stored version is kept, the counter moves on.
    t.transientVersionForKeyIs(k, Asic::EntryVersion(41, 9));
    EXPECT_TRUE(this->remove(1)->version().isEq(Asic::EntryVersion(42, 9)));

    for (auto const& h : {w1, w2, r3, w4}) EXPECT_EQ(h->entryState(), EntryState::pending);
    EXPECT_EQ(this->resolver().queued(), 5u);
    // Requests are only queued: nothing is logged before the resolver commits.
    EXPECT_EQ(this->log_->tableVersion(), 0u);

    // An entry whose own key differs from the key it is written under is stored under the latter.
    auto h = t.entryWrite(this->key(2), this->entry(7, 4), nullptr);
    EXPECT_EQ(t.transientAddEntry(this->key(2))->entryHandle(), h);
    EXPECT_EQ(t.transientAddEntry(this->key(7)), nullptr);
}

TYPED_TEST(WritePathTest, RemoveAllCountsAndKeepsKeyVersions) {
    auto& t = *this->table_;
    this->write(1);
    this->remove(2);
    this->write(3);
    this->write(3);
    t.entryRemoveAll(nullptr);
    EXPECT_TRUE(t.transientAddEntryColl().empty());
    EXPECT_TRUE(t.transientRemoveEntryColl().empty());
    EXPECT_TRUE(t.transientRemoveAllVersion().valid());
    EXPECT_EQ(t.transientRemoveAllVersion().value, 0u);
    t.entryRemoveAll(nullptr);
    EXPECT_EQ(t.transientRemoveAllVersion().value, 1u);

    // Versions survive: the next request of a key continues its count.
    EXPECT_TRUE(t.transientVersionForKey(this->key(1)).isEq(Asic::EntryVersion(0, 0)));
    EXPECT_TRUE(t.transientVersionForKey(this->key(3)).isEq(Asic::EntryVersion(1, 0)));
    EXPECT_TRUE(this->write(3)->version().isEq(Asic::EntryVersion(2, 0)));
    EXPECT_TRUE(this->remove(2)->version().isEq(Asic::EntryVersion(1, 0)));

    // Remove-alls are counted by no statistics counter.
    EXPECT_EQ(this->stats().entryWriteCnt(), 4u);
    EXPECT_EQ(this->stats().entryRemoveCnt(), 2u);
    EXPECT_EQ(this->resolver().queued(), 8u);
}

TYPED_TEST(WritePathTest, MarkingRecordsWrittenKeysOnly) {
    auto& t = *this->table_;
    this->write(9);  // before marking: not marked
    t.mark();
    this->write(1);
    this->remove(2);
    this->write(3);
    this->remove(3);
    EXPECT_FALSE(t.markedKeyHas(this->key(9)));
    EXPECT_TRUE(t.markedKeyHas(this->key(1)));
    EXPECT_FALSE(t.markedKeyHas(this->key(2)));
    EXPECT_TRUE(t.markedKeyHas(this->key(3)));  // a later remove does not unmark
    // A second mark keeps the keys already marked.
    t.mark();
    EXPECT_EQ(t.markedKeys(), 2u);
}

}  // namespace
}  // namespace VornTest
