// The group resolver: per-table commit order, passes on the event loop, and a resolver that
// stays usable when a commit throws or clears it; the entry handle's framework slots, the
// needed-entry set and the unit in a configuration path.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "contracts/asic/CanonicalTableName.h"
#include "contracts/asic/Constants.h"
#include "contracts/asic/GroupInterface.h"
#include "contracts/asic/GroupResolver.h"
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/types/TcamConstants.h"

namespace VornTest {
namespace {

// A request whose resolution the test sets; its commit is recorded and may run an action.
class FakeRequest : public Asic::ResolverEntry {
  public:
    FakeRequest(int id, void const* domain, std::vector<int>* committed)
        : Asic::ResolverEntry(nullptr, 0), id_(id), domain_(domain), committed_(committed) {}
    bool isResolved() override { return resolved; }
    void commitEntry(Lumo::Ptr<Asic::ResolverEntry> const&) override {
        committed_->push_back(id_);
        if (onCommit) onCommit();
    }
    void const* orderingDomain() const override { return domain_; }

    bool resolved = true;
    std::function<void()> onCommit;

  private:
    int id_;
    void const* domain_;
    std::vector<int>* committed_;
};

class GroupResolverTest : public ::testing::Test {
  protected:
    Lumo::Ptr<FakeRequest> enq(int id, void const* domain, bool resolved = true) {
        auto r = Lumo::make<FakeRequest>(id, domain, &committed_);
        r->resolved = resolved;
        resolver_->resolverQueueEnq(r);
        return r;
    }

    int const tableA_ = 0;
    int const tableB_ = 0;
    Qel::EventLoop loop_;
    std::vector<int> committed_;
    Lumo::Ptr<Asic::GroupResolver> resolver_ = Lumo::make<Asic::GroupResolver>();
};

TEST_F(GroupResolverTest, UnresolvedRequestHoldsBackOnlyItsOwnTable) {
    auto a1 = enq(1, &tableA_, false);
    enq(2, &tableA_);
    enq(3, &tableB_);
    EXPECT_EQ(resolver_->processQueues(), 1u);
    EXPECT_EQ(committed_, (std::vector<int>{3}));
    EXPECT_EQ(resolver_->queued(&tableA_), 2u);

    a1->resolved = true;
    EXPECT_EQ(resolver_->processQueues(), 2u);
    EXPECT_EQ(committed_, (std::vector<int>{3, 1, 2}));

    // Without an event loop nothing runs until processQueues is called.
    enq(4, &tableA_);
    resolver_->updateGenId();
    EXPECT_EQ(committed_.size(), 3u);
}

TEST_F(GroupResolverTest, PassesRunOnTheEventLoop) {
    resolver_ = Lumo::make<Asic::GroupResolver>(&loop_);
    auto a1 = enq(1, &tableA_);
    // A commit that queues a request of another table has it committed in the same pass; a
    // nested pass from inside a commit does nothing.
    a1->onCommit = [&] {
        enq(2, &tableB_);
        EXPECT_EQ(resolver_->processQueues(), 0u);
    };
    resolver_->updateGenId();
    resolver_->updateGenId();
    EXPECT_EQ(loop_.pending(), 1u);  // one pass outstanding at most
    EXPECT_TRUE(committed_.empty());
    loop_.runUntilIdle();
    EXPECT_EQ(committed_, (std::vector<int>{1, 2}));
    EXPECT_EQ(resolver_->genId(), 2u);
}

TEST_F(GroupResolverTest, ResolverStaysUsableWhenACommitThrowsOrClearsIt) {
    auto a1 = enq(1, &tableA_);
    enq(2, &tableA_);
    a1->onCommit = [] { throw std::runtime_error("write failed"); };
    EXPECT_THROW(resolver_->processQueues(), std::runtime_error);
    EXPECT_EQ(resolver_->queued(), 1u);
    EXPECT_EQ(resolver_->processQueues(), 1u);
    EXPECT_EQ(committed_, (std::vector<int>{1, 2}));

    // A commit that clears the resolver ends the pass without touching what it dropped.
    auto b1 = enq(3, &tableB_);
    enq(4, &tableB_);
    enq(5, &tableA_);
    b1->onCommit = [&] { resolver_->clear(); };
    EXPECT_EQ(resolver_->processQueues(), 1u);
    EXPECT_EQ(resolver_->queued(), 0u);
    enq(6, &tableB_);
    EXPECT_EQ(resolver_->processQueues(), 1u);
    EXPECT_EQ(committed_, (std::vector<int>{1, 2, 3, 6}));
}

// A commit group that records what the resolver asks of it; commit() fails on request.
class RecordingCommitGroup : public Asic::CommitGroup {
  public:
    bool begin() override {
        calls.push_back("begin");
        return true;
    }
    void commit() override {
        calls.push_back("commit");
        if (failCommit) throw std::runtime_error("storage full");
    }
    void end(bool unwinding) override { calls.push_back(unwinding ? "end unwinding" : "end"); }

    std::vector<std::string> calls;
    bool failCommit = false;
};

TEST_F(GroupResolverTest, ALongPassOnTheLoopHandsItBackAfterEachGroup) {
    resolver_ = Lumo::make<Asic::GroupResolver>(&loop_);
    auto storage = std::make_shared<RecordingCommitGroup>();
    resolver_->commitGroupIs(storage);
    std::uint64_t const perGroup = Asic::GroupResolver::kCommitsPerGroup;
    // The first commit posts work (as a group's listener does for the hardware): it runs after
    // the first group is stored and before the rest of the queue is committed.
    std::size_t committedWhenPostedRan = 0;
    enq(0, &tableA_)->onCommit = [&] { loop_.post([&] { committedWhenPostedRan = committed_.size(); }); };
    for (std::uint64_t i = 1; i < 2 * perGroup + 1; ++i) enq(1, &tableA_);
    resolver_->updateGenId();
    loop_.runUntilIdle();
    EXPECT_EQ(committedWhenPostedRan, perGroup);
    EXPECT_EQ(committed_.size(), 2 * perGroup + 1);
    EXPECT_EQ(storage->calls,
              (std::vector<std::string>{"begin", "commit", "end", "begin", "commit", "end", "begin", "end"}));
}

TEST_F(GroupResolverTest, GroupedPassHoldsLoggedChangesAtOnceAndCallsTheListenerAfterItsGroupCommits) {
    auto group = Lumo::make<Asic::GroupInterface>("agent", "group", 1, nullptr, nullptr);
    resolver_ = group->groupResolver();
    auto storage = std::make_shared<RecordingCommitGroup>();
    resolver_->commitGroupIs(storage);
    std::vector<Asic::LogVersion> learnt;
    Asic::SwTableId const table{7};
    group->logEntryListenerIs([&](Asic::SwTableId id) { learnt.push_back(group->logEntries(id).back().version); });

    // Each commit logs a change, which the group holds at once; the listener (the hardware
    // side) is called only once the pass's group is stored.
    Asic::LogVersion next = 1;
    auto logOnCommit = [&](Lumo::Ptr<FakeRequest> const& r) {
        r->onCommit = [&] {
            EXPECT_TRUE(resolver_->grouping());
            group->addLogEntry(table, next, nullptr);
            EXPECT_EQ(group->logEntries(table).back().version, next++);
            EXPECT_TRUE(learnt.empty() || storage->calls.back() == "commit");
        };
    };
    for (int i = 0; i < 3; ++i) logOnCommit(enq(i, &tableA_));
    EXPECT_EQ(resolver_->processQueues(), 3u);
    EXPECT_EQ(storage->calls, (std::vector<std::string>{"begin", "end"}));
    EXPECT_EQ(learnt, (std::vector<Asic::LogVersion>{3}));
    EXPECT_FALSE(resolver_->grouping());

    // Outside a pass a logged change is learnt at once.
    group->addLogEntry(table, next++, nullptr);
    EXPECT_EQ(learnt.back(), 4u);

    // A long pass commits its group every kCommitsPerGroup commits.
    storage->calls.clear();
    learnt.clear();
    for (std::uint64_t i = 0; i < Asic::GroupResolver::kCommitsPerGroup + 1; ++i) logOnCommit(enq(10, &tableB_));
    resolver_->processQueues();
    EXPECT_EQ(storage->calls, (std::vector<std::string>{"begin", "commit", "end"}));
    EXPECT_EQ(learnt, (std::vector<Asic::LogVersion>{4 + Asic::GroupResolver::kCommitsPerGroup,
                                                     5 + Asic::GroupResolver::kCommitsPerGroup}));

    // A commit that throws ends the pass; the group still ends (committing the commits before
    // it) and the listener is called for them. A group that cannot commit calls nothing.
    storage->calls.clear();
    learnt.clear();
    logOnCommit(enq(20, &tableA_));
    enq(21, &tableA_)->onCommit = [] { throw std::runtime_error("write failed"); };
    EXPECT_THROW(resolver_->processQueues(), std::runtime_error);
    EXPECT_EQ(storage->calls, (std::vector<std::string>{"begin", "end unwinding"}));
    EXPECT_EQ(learnt.size(), 1u);

    storage->calls.clear();
    learnt.clear();
    storage->failCommit = true;
    for (std::uint64_t i = 0; i < Asic::GroupResolver::kCommitsPerGroup; ++i) logOnCommit(enq(30, &tableA_));
    EXPECT_THROW(resolver_->processQueues(), std::runtime_error);
    EXPECT_EQ(storage->calls, (std::vector<std::string>{"begin", "commit", "end unwinding"}));
    EXPECT_TRUE(learnt.empty());
    group->shutdown();
}

// The vtable slot of a virtual member function. Under the Itanium C++ ABI (g++, also with -m32)
// a pointer to a virtual member holds 1 plus the byte offset of the function's slot.
template <typename M>
std::ptrdiff_t slotOf(M member) {
    static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof member);
    EXPECT_EQ(words[0] % std::ptrdiff_t(sizeof(void*)), 1) << "not a virtual function";
    return (words[0] - 1) / std::ptrdiff_t(sizeof(void*));
}

TEST(AsicEntryHandle, FrameworkHooksSitInTheFrameworksSlotOrder) {
    using H = Asic::OrderedSwTable::EntryHandle;
    std::ptrdiff_t const slots[] = {slotOf(&H::typeData),
                                    slotOf(&H::handleEntryState),
                                    slotOf(&H::hwIndexForDependentField),
                                    slotOf(&H::handleIndexSuggestions),
                                    slotOf(&H::entryTableVersion),
                                    slotOf(&H::tableName),
                                    slotOf(&H::tableId)};
    for (std::size_t i = 1; i < std::size(slots); ++i) EXPECT_EQ(slots[i], slots[0] + std::ptrdiff_t(i)) << i;
    // A dependency handle has the same slots up to entryTableVersion.
    EXPECT_EQ(slotOf(&Asic::DependencyEntryHandle::entryTableVersion), slots[4]);
}

TEST(AsicNeededEntry, KeepsTheHighestVersionPerTable) {
    Asic::NeededEntry n;
    Asic::SwTableId a(0x1B080401), b(0x1B080402);
    n.add({a, 5});
    n.add({a, 3});
    n.add({b, 1});
    Asic::NeededEntry m;
    m.add({a, 9});
    n.merge(m);
    EXPECT_EQ(n.size(), 2u);
    EXPECT_EQ(n.neededEntry().get(a).version, 9u);
    EXPECT_EQ(n.neededEntry().get(b).version, 1u);
}

TEST(AsicConstants, UnitIdRoundTripsThroughTheConfigPath) {
    using VornTunnelTcamMgr::TcamActionConstants;
    using VornTunnelTcamMgr::TcamConstants;
    for (Asic::UnitId unit : {0, 1, 17, 65535}) {
        EXPECT_EQ(Asic::Constants::getUnitIdFromConfigPath(TcamConstants::configTesselPath(unit)), unit);
    }
    EXPECT_NE(TcamConstants::configTesselPath(0), TcamActionConstants::configTesselPath(0));
    auto base = Asic::Constants::canonicalGroupTableConfigTesselPathBase(
        Asic::Constants::canonicalizeGroupName("VornTunnelNi", "VornTunnelTcamMgrGroup"), "VornTunnelTcamMgr", "Tcam");
    EXPECT_EQ(TcamConstants::configTesselPath(3).rfind(base, 0), 0u);
    EXPECT_FALSE(Asic::Constants::parseUnitIdFromConfigPath(base + "unit70000").has_value());
    EXPECT_FALSE(Asic::Constants::parseUnitIdFromConfigPath(base + "unitx").has_value());
}

}  // namespace
}  // namespace VornTest
