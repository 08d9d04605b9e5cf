// The write and remove path of both software tables (request versions, the transient
// collections, remove-all counting, marking and the statistics the requests count), mark and
// sweep, the table status that completes logged requests, and the pending hardware-write state.
#include <algorithm>

#include "contracts/asic/HardwareWriterSim.h"
#include "contracts/qel/RingTrace.h"
#include "tests/support/SwTableFixture.h"

namespace VornTest {
namespace {

template <typename Table>
class MarkSweepStatusTest : public SwTableFixture<Table> {
  protected:
    std::size_t ringCount(std::string const& text) const {
        auto const dump = Qel::RingTrace::dump();
        return static_cast<std::size_t>(std::count(dump.begin(), dump.end(), text));
    }
};
TYPED_TEST_SUITE(MarkSweepStatusTest, SwTableTypes);

TYPED_TEST(MarkSweepStatusTest, TableStatusCompletesHandlesInLogOrder) {
    auto& t = *this->table_;
    std::vector<Lumo::Ptr<typename TestFixture::Handle const>> handles;
    for (std::uint32_t n = 1; n <= 4; ++n)
        handles.push_back(t.entryWriteWithResponseHandler(this->key(n), this->entry(n), nullptr, this->recorder()));
    this->commitAll();
    for (std::size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(handles[i]->entryState(), EntryState::logged);
        EXPECT_EQ(handles[i]->logVersion(), i + 1);
        EXPECT_EQ(t.entryHandleInLog(static_cast<std::uint32_t>(i + 1)), handles[i]);
    }

    // A version below the front handle's completes nothing but still cleans the log.
    t.tableStatusVersion(0);
    EXPECT_TRUE(this->responses_.empty());
    t.tableStatusVersion(2);
    EXPECT_EQ(this->log_->cleanedVersion(), 2u);
    ASSERT_EQ(this->responses_.size(), 2u);
    EXPECT_EQ(this->responses_[1], handles[1]);
    EXPECT_EQ(handles[1]->entryState(), EntryState::done);
    EXPECT_EQ(handles[2]->entryState(), EntryState::logged);
    EXPECT_EQ(t.entryHandleInLogFront(), handles[2]);

    // A handle completes only in queue order: one logged behind an unconfirmed one waits.
    t.tableStatusVersion(4);
    ASSERT_EQ(this->responses_.size(), 4u);
    EXPECT_EQ(this->responses_[2], handles[2]);
    EXPECT_EQ(this->responses_[3], handles[3]);
    EXPECT_EQ(t.entryHandleInLogSize(), 0u);
}

TYPED_TEST(MarkSweepStatusTest, PendingHardwareWritesThroughWriteCommitAndStatus) {
    auto& t = *this->table_;
    auto& status = *this->status_;
    EXPECT_FALSE(t.hasPendingHwWrites());

    this->write(1);
    EXPECT_TRUE(status.pendingHwWrites());
    this->commitAll();
    EXPECT_TRUE(t.hasPendingHwWrites());  // logged, not yet confirmed
    t.tableStatusVersion(1);
    EXPECT_FALSE(t.hasPendingHwWrites());
    EXPECT_FALSE(status.pendingHwWrites());

    this->remove(1);
    EXPECT_TRUE(t.hasPendingHwWrites());
    this->commitAll();
    t.tableStatusVersion(2);
    EXPECT_FALSE(status.pendingHwWrites());

    // A remove-all on an empty table logs nothing but is pending until it commits.
    t.entryRemoveAll(nullptr);
    EXPECT_TRUE(status.pendingHwWrites());
    this->commitAll();
    EXPECT_FALSE(status.pendingHwWrites());

    // The simulated hardware confirms what is logged and completes the handles.
    auto hw = Lumo::make<Asic::HardwareWriterSim>(this->group_, &this->loop_);
    auto h = t.entryWriteWithResponseHandler(this->key(3), this->entry(3), nullptr, this->recorder());
    this->commitAll();
    this->loop_.runUntilIdle();
    EXPECT_EQ(h->entryState(), EntryState::done);
    EXPECT_FALSE(status.pendingHwWrites());
    EXPECT_EQ(this->group_->tableVersion(this->tableId()).value_or(0), 3u);
}

TYPED_TEST(MarkSweepStatusTest, SweepRemovesCommittedEntriesNotWrittenAgain) {
    Qel::RingTrace::clear();
    auto& t = *this->table_;
    for (std::uint32_t n = 1; n <= 5; ++n) this->logDirect(n);
    t.tableStatusVersion(this->log_->tableVersion());
    this->write(9);  // pending from before the marking, not written again
    // A sweep without marking walks nothing and keeps the marked keys.
    t.markedKeyIs(this->key(8));
    t.sweep();
    EXPECT_TRUE(t.transientRemoveEntryColl().empty());
    EXPECT_TRUE(t.markedKeyHas(this->key(8)));
    t.markedKeyDelAll();

    t.mark();
    this->write(1, 7);  // written again with a new value
    this->write(2);     // written again unchanged
    this->write(6);     // new
    this->remove(4);    // a remove marks nothing
    t.sweep();

    // Committed 3 and 5 and the stale pending write 9 go; 4 was already being removed.
    EXPECT_EQ(this->ringCount("Swept 3 entries"), 1u);
    for (std::uint32_t n : {3u, 4u, 5u, 9u}) EXPECT_NE(t.transientRemoveEntry(this->key(n)), nullptr) << n;
    for (std::uint32_t n : {1u, 2u, 6u}) EXPECT_NE(t.transientAddEntry(this->key(n)), nullptr) << n;
    EXPECT_FALSE(t.inMarkingState());
    EXPECT_EQ(t.markedKeys(), 0u);

    // The sweep's removes are ordinary requests: logged and committed like any other.
    this->commitAll();
    EXPECT_EQ(this->log_->entrys(kSwUnit), 3u);
    EXPECT_EQ(this->committed(1), this->entry(1, 7).logEntry);
    for (std::uint32_t n : {2u, 6u}) EXPECT_TRUE(this->log_->entryHas(this->key(n), kSwUnit)) << n;

    // A marked table whose entries were all written back loses none.
    t.mark();
    for (std::uint32_t n : {1u, 2u, 6u}) this->write(n);
    t.sweep();
    EXPECT_TRUE(t.transientRemoveEntryColl().empty());
    EXPECT_FALSE(t.inMarkingState());
}

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
