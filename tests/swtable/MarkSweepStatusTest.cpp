// Mark and sweep, the table status that completes logged requests, and the pending
// hardware-write state of both software tables.
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
}

// A sweep without marking walks nothing and keeps the marked keys; a marked table whose entries
// were all written back loses none.
TYPED_TEST(MarkSweepStatusTest, SweepWithNothingToRemove) {
    auto& t = *this->table_;
    for (std::uint32_t n = 1; n <= 3; ++n) this->logDirect(n);
    t.markedKeyIs(this->key(8));
    t.sweep();
    EXPECT_TRUE(t.transientRemoveEntryColl().empty());
    EXPECT_TRUE(t.markedKeyHas(this->key(8)));
    t.markedKeyDelAll();

    t.mark();
    for (std::uint32_t n = 1; n <= 3; ++n) this->write(n);
    t.sweep();
    EXPECT_TRUE(t.transientRemoveEntryColl().empty());
    EXPECT_FALSE(t.inMarkingState());
}

}  // namespace
}  // namespace VornTest
