// Agent restarts inside one process with the InLif allocations kept in shared memory: the
// restored action entries keep their InLif indexes, so a restart with the same desired state
// writes nothing, and one with changes writes only the changes.
#include <gtest/gtest.h>

#include <map>

#include "agent/state/DesiredStateGenerate.h"
#include "tests/e2e/RuntimeFixture.h"
#include "tests/restart/RestartSupport.h"

namespace VornTcamAgent {
namespace {

using Indexes = std::pair<std::uint32_t, std::uint32_t>;

class InLifRestart : public RuntimeFixture {
  protected:
    InLifRestart() : RuntimeFixture("inlifrestart") {}
    // The start-up of the agent's run: bring up, reconcile, write, sweep, run.
    void program(DesiredState const& state) {
        for (auto const& unit : state.units) runtime_->bringUp(unit.unitId);
        runtime_->reconcile();
        VornTest::programToCompletion(*runtime_, state, true);
    }

    // The InLif indexes the action entries carry, by InLif key (the null key left out).
    std::map<VornInLif::InLifKey, Indexes> indexesByInLifKey() const {
        std::map<VornInLif::InLifKey, Indexes> indexes;
        for (auto const& [unitId, tables] : runtime_->units()) {
            for (auto it = tables.action->entryIteratorConst(); it; ++it) {
                if (it->inLifIndexKey().isNull()) continue;
                auto [found, added] =
                    indexes.emplace(it->inLifIndexKey(), Indexes{it->inLif0Index(), it->inLif23Index()});
                EXPECT_EQ(found->second, (Indexes{it->inLif0Index(), it->inLif23Index()}))
                    << fmt::format("{}", it->inLifIndexKey());
            }
        }
        return indexes;
    }
};

TEST_F(InLifRestart, SameActionEntriesAreNotWrittenAgainAndKeyEntriesStillReachTheHardware) {
    DesiredState const state = generate({0, 1}, 80, 3);
    program(state);
    auto const before = indexesByInLifKey();
    Asic::LogVersion const logVersion = runtime_->actionIntf()->entryLog()->tableVersion();
    std::size_t const inLifEntries = runtime_->inLifTable()->entryCount();
    ASSERT_GT(inLifEntries, 0u);

    restartAgent();
    EXPECT_EQ(runtime_->inLifTable()->unclaimedCount(), inLifEntries);
    program(state);
    for (auto const& unit : state.units) {
        auto const& stats = *runtime_->unit(unit.unitId)->action->stats();
        EXPECT_EQ(stats.updateCnt(), 0u) << unit.unitId;
        EXPECT_EQ(stats.suppressedWriteCnt(), unit.actionEntries.size()) << unit.unitId;
    }
    EXPECT_EQ(runtime_->actionIntf()->entryLog()->tableVersion(), logVersion);
    EXPECT_EQ(indexesByInLifKey(), before);
    EXPECT_EQ(runtime_->inLifTable()->unclaimedCount(), 0u);

    // Only key entries change: they need action versions logged by the first run, which the
    // hardware reached then; nothing of the action table moves in this run.
    DesiredState changedKeys = state;
    for (auto& unit : changedKeys.units)
        for (std::size_t i = 0; i < unit.keyEntries.size(); i += 2) unit.keyEntries[i].ttlCheck ^= true;
    restartAgent();
    program(changedKeys);
    for (auto const& unit : state.units) {
        EXPECT_FALSE(runtime_->unit(unit.unitId)->tcam->hasPendingHwWrites()) << unit.unitId;
        EXPECT_EQ(runtime_->unit(unit.unitId)->action->stats()->updateCnt(), 0u) << unit.unitId;
    }
    EXPECT_EQ(runtime_->actionIntf()->entryLog()->tableVersion(), logVersion);
    EXPECT_EQ(indexesByInLifKey(), before);
}

TEST_F(InLifRestart, ChangedStateWritesOnlyTheChangesAndReleasesUnusedKeys) {
    DesiredState const first = generate({0, 1}, 80, 4);
    program(first);
    auto const before = indexesByInLifKey();

    // Unit 1 is dropped (reconciled away) and unit 0 changes: key entries that change depend
    // on action entries that are not written again, and must still reach the hardware.
    DesiredState second = mutate(first, 9, 0.5);
    second.units.erase(second.units.begin() + 1);
    restartAgent();
    program(second);
    EXPECT_FALSE(runtime_->unit(0)->tcam->hasPendingHwWrites());
    EXPECT_EQ(runtime_->unit(0)->action->stats()->updateCnt(), 0u);
    // An InLif key in use before keeps its indexes, whichever entry uses it now; only the keys
    // unit 0 still uses hold indexes, after this run and after the next start.
    auto const after = indexesByInLifKey();
    std::size_t kept = 0;
    for (auto const& [inLifKey, indexes] : after) {
        auto const found = before.find(inLifKey);
        if (found == before.end()) continue;
        EXPECT_EQ(indexes, found->second) << fmt::format("{}", inLifKey);
        ++kept;
    }
    EXPECT_GT(kept, 0u);
    EXPECT_EQ(runtime_->inLifTable()->entryCount(), after.size());
    restartAgent();
    EXPECT_EQ(runtime_->inLifTable()->entryCount(), after.size());
}

}  // namespace
}  // namespace VornTcamAgent
