// Resolution and commit of both software tables: dependency states, transient clean-up of
// overtaken requests, remove-all, removes of uncommitted keys, suppressed identical rewrites and
// the statistics of every commit path; and the action table's InLif resource on that path (an
// outstanding resource holds a write back, a resolved one's indexes are logged, a failed one
// drops the write unless the hook keeps it).
#include "tests/support/SwTableFixture.h"

namespace VornTest {
namespace {

template <typename Table>
class CommitTest : public SwTableFixture<Table> {};
TYPED_TEST_SUITE(CommitTest, SwTableTypes);

TYPED_TEST(CommitTest, ResolutionAndCommitFollowTheDependencyState) {
    auto& t = *this->table_;
    auto dep = Lumo::make<TestDependency>();
    auto const k = this->key(1);

    for (auto flags : {Asic::EntryFlags{0}, Asic::kEntryDeleteFlag, Asic::kTableDeleteFlag}) {
        auto re = this->resolverEntry(flags, dep);
        dep->entryStateIs(EntryState::pending);
        EXPECT_FALSE(t.isResolverEntryResolved(re)) << int(flags);
        for (auto s : {EntryState::logged, EntryState::resolvedOther, EntryState::done, EntryState::failedOther,
                       EntryState::failed, EntryState::resolutionFailed}) {
            dep->entryStateIs(s);
            EXPECT_TRUE(t.isResolverEntryResolved(re)) << int(flags) << " " << int(s);
        }
    }
    EXPECT_TRUE(t.isResolverEntryResolved(this->resolverEntry(0, nullptr)));

    // A failed dependency fails every kind of request: state 5, handler called, nothing logged,
    // transient state kept.
    auto failedDep = Lumo::make<TestDependency>();
    failedDep->entryStateIs(EntryState::failed);
    auto w = t.entryWriteWithResponseHandler(k, this->entry(1), failedDep, this->recorder());
    auto r = t.entryRemoveWithResponseHandler(this->key(2), failedDep, this->recorder());
    t.entryRemoveAllWithResponseHandler(failedDep, this->recorder());
    EXPECT_EQ(this->commitAll(), 3u);
    EXPECT_EQ(w->entryState(), EntryState::failed);
    EXPECT_EQ(r->entryState(), EntryState::failed);
    ASSERT_EQ(this->responses_.size(), 3u);
    EXPECT_EQ(this->responses_[2]->entryState(), EntryState::failed);
    EXPECT_EQ(this->log_->tableVersion(), 0u);
    EXPECT_TRUE(this->helper_->successes.empty());
    // The remove-all dropped the write's transient state; its version stays. The failed remove-all
    // is still counted as pending.
    EXPECT_TRUE(t.transientVersionForKey(k).valid());
    EXPECT_TRUE(t.transientRemoveAllVersion().valid());
}

TYPED_TEST(CommitTest, DependencyVersionIsNeededByEveryLoggedChange) {
    auto& t = *this->table_;
    auto resolved = [](Asic::LogVersion version) {
        auto dep = Lumo::make<TestDependency>(version);
        dep->entryStateIs(EntryState::done);
        return dep;
    };
    this->write(1, 1, resolved(42));
    this->commitAll();
    this->remove(1, resolved(43));
    this->commitAll();
    this->write(2, 1, nullptr);
    this->commitAll();
    t.entryRemoveAll(resolved(44));
    this->commitAll();

    // The write, the remove and the remove-all each name their dependency's version; the
    // write without a dependency names no other table.
    auto const& logged = this->group_->logEntries(this->tableId());
    ASSERT_EQ(logged.size(), 4u);
    auto neededOf = [&](std::size_t i) -> Asic::TableVersion const* {
        if (!logged[i].needed) return nullptr;
        return logged[i].needed->neededEntry().find(Asic::SwTableId(TestDependency::kOtherTable));
    };
    for (auto [i, version] : {std::pair<std::size_t, Asic::LogVersion>{0, 42}, {1, 43}, {3, 44}}) {
        auto const* needed = neededOf(i);
        ASSERT_NE(needed, nullptr) << i;
        EXPECT_EQ(needed->version, version) << i;
    }
    EXPECT_EQ(neededOf(2), nullptr);
}

TYPED_TEST(CommitTest, TwoWritesOfOneKeyCommitInOrder) {
    auto& t = *this->table_;
    auto const k = this->key(1);
    auto gate = Lumo::make<TestDependency>();
    auto first = t.entryWriteWithResponseHandler(k, this->entry(1, 1), nullptr, this->recorder());
    auto second = t.entryWriteWithResponseHandler(k, this->entry(1, 2), gate, this->recorder());

    EXPECT_EQ(this->commitAll(), 1u);
    EXPECT_EQ(first->entryState(), EntryState::logged);
    EXPECT_EQ(first->logVersion(), 1u);
    EXPECT_EQ(this->committed(1), this->entry(1, 1).logEntry);
    // The newer request's transient state stays.
    ASSERT_NE(t.transientAddEntry(k), nullptr);
    EXPECT_EQ(t.transientAddEntry(k)->entryHandle(), second);
    EXPECT_TRUE(t.transientVersionForKey(k).isEq(Asic::EntryVersion(1, 0)));
    EXPECT_EQ(t.entryHandleInLogFront(), first);

    gate->entryStateIs(EntryState::done);
    EXPECT_EQ(this->commitAll(), 1u);
    EXPECT_EQ(second->entryState(), EntryState::logged);
    EXPECT_EQ(second->logVersion(), 2u);
    EXPECT_EQ(this->committed(1), this->entry(1, 2).logEntry);
    EXPECT_EQ(t.transientAddEntry(k), nullptr);
    EXPECT_FALSE(t.transientVersionForKeyGet(k).has_value());
    // The hook heard of both, the write before it was cleaned up.
    ASSERT_EQ(this->helper_->successes.size(), 2u);
    EXPECT_TRUE(this->responses_.empty());  // both wait for the table status
}

TYPED_TEST(CommitTest, WriteThenRemoveAll) {
    auto& t = *this->table_;
    this->logDirect(2);  // a committed entry the remove-all deletes
    auto w = this->write(1);
    t.entryRemoveAllWithResponseHandler(nullptr, this->recorder());
    EXPECT_EQ(this->commitAll(), 2u);

    // The write was logged and found nothing to clean up: its version stays.
    EXPECT_EQ(w->logVersion(), 2u);
    EXPECT_EQ(w->entryState(), EntryState::logged);
    EXPECT_TRUE(t.transientVersionForKey(this->key(1)).isEq(Asic::EntryVersion(0, 0)));
    // The remove-all deleted the unit's table and counted itself down.
    EXPECT_FALSE(t.transientRemoveAllVersion().valid());
    EXPECT_EQ(this->log_->tableVersion(), 3u);
    EXPECT_EQ(this->log_->entrys(kSwUnit), 0u);
    // The remove-all's handle is not queued for the table status: its response handler is not
    // called, not even when the status passes the deletion.
    EXPECT_EQ(t.entryHandleInLogSize(), 1u);
    EXPECT_EQ(t.entryHandleInLogBack(), w);
    t.tableStatusVersion(3);
    EXPECT_TRUE(this->responses_.empty());
    // Two remove-alls count down one by one.
    t.entryRemoveAll(nullptr);
    t.entryRemoveAll(nullptr);
    EXPECT_EQ(t.transientRemoveAllVersion().value, 1u);
    auto gate = Lumo::make<TestDependency>();
    t.entryRemoveAll(gate);  // holds back the count's last step
    EXPECT_EQ(this->commitAll(), 2u);
    EXPECT_EQ(t.transientRemoveAllVersion().value, 0u);
    gate->entryStateIs(EntryState::done);
    EXPECT_EQ(this->commitAll(), 1u);
    EXPECT_FALSE(t.transientRemoveAllVersion().valid());
}

TYPED_TEST(CommitTest, RemoveOfAKeyNeverCommittedCompletesAtOnce) {
    auto& t = *this->table_;
    auto r = t.entryRemoveWithResponseHandler(this->key(4), nullptr, this->recorder());
    EXPECT_EQ(this->commitAll(), 1u);
    EXPECT_EQ(r->entryState(), EntryState::done);
    ASSERT_EQ(this->responses_.size(), 1u);
    EXPECT_EQ(t.entryHandleInLogSize(), 0u);
    EXPECT_EQ(t.transientRemoveEntry(this->key(4)), nullptr);
    EXPECT_FALSE(t.transientVersionForKeyGet(this->key(4)).has_value());
    ASSERT_EQ(this->helper_->successes.size(), 1u);
    EXPECT_TRUE(this->helper_->successes[0].second);

    // A remove of a committed key is logged and waits for the table status.
    this->logDirect(5);
    auto r2 = t.entryRemoveWithResponseHandler(this->key(5), nullptr, this->recorder());
    this->commitAll();
    EXPECT_EQ(r2->entryState(), EntryState::logged);
    EXPECT_EQ(r2->logVersion(), 2u);
    EXPECT_EQ(t.entryHandleInLogBack(), r2);
    EXPECT_FALSE(this->log_->entryHas(this->key(5), kSwUnit));
    EXPECT_EQ(this->responses_.size(), 1u);
}

TYPED_TEST(CommitTest, IdenticalRewriteIsSuppressedOnlyWhileMarking) {
    auto& t = *this->table_;
    Asic::LogVersion const v1 = this->logDirect(1, 5);
    this->logDirect(2, 5);
    t.tableStatusVersion(this->log_->tableVersion());  // both records confirmed and cleaned

    t.mark();
    auto same = t.entryWriteWithResponseHandler(this->key(1), this->entry(1, 5), nullptr, this->recorder());
    auto changed = this->write(2, 6);
    this->commitAll();
    EXPECT_EQ(same->entryState(), EntryState::done);
    EXPECT_EQ(same->logVersion(), v1);
    ASSERT_EQ(this->responses_.size(), 1u);
    EXPECT_EQ(this->responses_[0], same);
    EXPECT_EQ(this->stats().suppressedWriteCnt(), 1u);
    EXPECT_EQ(changed->entryState(), EntryState::logged);
    EXPECT_EQ(changed->logVersion(), 3u);
    EXPECT_EQ(t.entryHandleInLogSize(), 1u);

    // Outside marking the same rewrite is logged with a new version.
    t.sweep();
    auto again = this->write(1, 5);
    this->commitAll();
    EXPECT_EQ(again->entryState(), EntryState::logged);
    EXPECT_EQ(again->logVersion(), 4u);
    EXPECT_EQ(this->stats().suppressedWriteCnt(), 1u);
}

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
