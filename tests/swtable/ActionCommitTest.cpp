// The action table's InLif resource on the commit path: an outstanding resource holds a write
// back, a resolved one's indexes are logged, a failed one drops the write unless the hook keeps
// it.
#include "tests/support/SwTableFixture.h"

namespace VornTest {
namespace {

class ActionCommitTest : public SwTableFixture<Tm::TcamActionSwTable> {
  protected:
    static Tm::TcamActionEntry withInLif(std::uint32_t n, std::uint32_t intf, std::uint16_t vrf = 1) {
        Tm::TcamActionEntry e = entry(n, vrf);
        e.rsrcKeys.inLifKey = VornTunnelNiLib::InLifIndexEntryKey{intf, 10, 0};
        return e;
    }
    Lumo::Ptr<Handle const> writeInLif(std::uint32_t n, std::uint32_t intf) {
        return table_->entryWriteWithResponseHandler(key(n), withInLif(n, intf), nullptr, recorder());
    }
};

TEST_F(ActionCommitTest, OutstandingResourceHoldsTheWriteUntilResolved) {
    auto h = writeInLif(1, 7);
    EXPECT_EQ(resolver().processQueues(), 0u);  // the resource table has not run yet
    EXPECT_EQ(h->entryState(), EntryState::pending);

    loop_.runUntilIdle();
    EXPECT_EQ(resolver().processQueues(), 1u);
    EXPECT_EQ(h->entryState(), EntryState::logged);
    // The hook and the log see the resolved indexes written into the entry.
    auto const logged = committed(1);
    EXPECT_EQ(logged.inLif0Index, 100u);
    EXPECT_EQ(logged.inLif23Index, 5000u);
    ASSERT_EQ(helper_->successEntries.size(), 1u);
    EXPECT_EQ(helper_->successEntries[0].logEntry, logged);
    EXPECT_EQ(log_->entryRsrcKeys(key(1), kSwUnit), withInLif(1, 7).rsrcKeys);
    EXPECT_NE(table_->inLifIndexLinkage()->entryUsageSm(withInLif(1, 7).rsrcKeys.inLifKey), nullptr);

    // A remove of the entry releases its use of the resource.
    remove(1);
    commitAll();
    EXPECT_EQ(table_->inLifIndexLinkage()->entryUsageSms(), 0u);
    ASSERT_EQ(helper_->successes.size(), 2u);
    EXPECT_TRUE(helper_->successes[1].second);
}

TEST_F(ActionCommitTest, FailedResourceDropsTheWriteUnlessTheHookKeepsIt) {
    resTable_->inLif0PoolSizeIs(0);
    auto dropped = writeInLif(1, 7);
    EXPECT_EQ(commitAll(), 1u);
    EXPECT_EQ(dropped->entryState(), EntryState::failed);
    EXPECT_EQ(log_->tableVersion(), 0u);
    EXPECT_EQ(table_->transientAddEntry(key(1)), nullptr);
    EXPECT_FALSE(table_->transientVersionForKeyGet(key(1)).has_value());
    ASSERT_EQ(helper_->failures.size(), 1u);
    EXPECT_TRUE(helper_->successes.empty());
    EXPECT_EQ(stats().resolveFailCnt(), 1u);

    // A hook that answers true has the write committed anyway, without the success hook.
    helper_->failureAnswer = true;
    auto kept = writeInLif(2, 9);
    EXPECT_EQ(commitAll(), 1u);
    EXPECT_EQ(kept->entryState(), EntryState::logged);
    EXPECT_EQ(kept->logVersion(), 1u);
    EXPECT_EQ(committed(2).inLif0Index, 0u);
    EXPECT_TRUE(helper_->successes.empty());
    EXPECT_EQ(table_->transientAddEntry(key(2)), nullptr);
}

}  // namespace
}  // namespace VornTest
