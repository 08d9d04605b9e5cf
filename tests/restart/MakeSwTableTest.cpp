// Per-unit software-table creation after a restart: a second makeSwTable for a unit, reset of
// an existing and of a new table.
// Every agent run is its own child process; the parent compares what the runs report.
#include <gtest/gtest.h>

#include "agent/DesiredStateGenerate.h"
#include "swtable/TcamActionSwTableHelperBase.h"
#include "swtable/TcamSwTableHelperBase.h"
#include "tests/restart/RestartSupport.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {
namespace {

using VornTunnelTcamMgr::TcamActionSwTable;
using VornTunnelTcamMgr::TcamSwTable;

constexpr std::size_t kEntries = 24;

// Units stored per table, and their live entry counts as restored by a plain bring-up.
void reportRestoredCounts(ChildFacts& facts, Runtime& runtime, std::vector<Asic::UnitId> const& units) {
    for (Asic::UnitId unitId : units) {
        auto const& tables = runtime.bringUp(unitId);
        facts.add(fmt::format("count/{}/TcamAction", unitId), tables.action->entrys());
        facts.add(fmt::format("count/{}/Tcam", unitId), tables.tcam->entrys());
    }
}

class MakeSwTableAfterRestart : public ::testing::Test {
  protected:
    // A first agent run that programs units 0 and 1 and exits.
    void SetUp() override {
        ChildReport const run = runInChild([&](ChildFacts&) {
            Runtime runtime;
            programToCompletion(runtime, state_);
        });
        ASSERT_TRUE(run.passed) << run.ending;
    }

    // The stored counts as the next run restores them.
    ChildReport storedCounts() {
        return runInChild([](ChildFacts& facts) {
            Runtime runtime;
            reportRestoredCounts(facts, runtime, {0, 1});
        });
    }

    ScopedShmNamespace shm_{"mkswt"};
    DesiredState const state_ = VornTcamAgent::generate({0, 1}, kEntries, 3);
};

TEST_F(MakeSwTableAfterRestart, SecondCallReturnsTheTableAndResetClearsItButKeepsItsHook) {
    ChildReport const run = runInChild([&](ChildFacts&) {
        Runtime runtime;
        auto const& unit0 = runtime.bringUp(0);
        Lumo::Ptr<TcamSwTable> const tcam = unit0.tcam;
        Lumo::Ptr<TcamActionSwTable> const action = unit0.action;
        auto const restored = tcam->entrys();
        auto const restoredActions = action->entrys();
        EXPECT_EQ(restored, kEntries);
        EXPECT_EQ(restoredActions, kEntries);

        // Again without a hook and without reset: the same table, unchanged, still marking.
        auto const defaultHook = tcam->swTableHelper();
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, nullptr, false), tcam);
        EXPECT_EQ(runtime.actionIntf()->makeSwTable(0, nullptr, false), action);
        EXPECT_EQ(tcam->entrys(), restored);
        EXPECT_EQ(action->entrys(), restoredActions);
        EXPECT_EQ(tcam->swTableHelper(), defaultHook);
        EXPECT_TRUE(tcam->inMarkingState());
        EXPECT_EQ(tcam->markedKeys(), 0u);

        // With a hook: installed on the same table.
        auto const hook = VornTunnelTcamMgr::tcamSwTableHelperBaseFactory();
        auto const actionHook = VornTunnelTcamMgr::tcamActionSwTableHelperBaseFactory();
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, hook, false), tcam);
        EXPECT_EQ(runtime.actionIntf()->makeSwTable(0, actionHook, false), action);
        EXPECT_EQ(tcam->swTableHelper(), hook);
        EXPECT_EQ(action->swTableHelper(), actionHook);
        EXPECT_EQ(tcam->entrys(), restored);

        // With reset: the same object emptied, its hook kept; the removal reaches shared memory.
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, nullptr, true), tcam);
        EXPECT_EQ(runtime.actionIntf()->makeSwTable(0, nullptr, true), action);
        runtime.runUntilIdle();
        EXPECT_EQ(tcam->entrys(), 0u);
        EXPECT_EQ(action->entrys(), 0u);
        EXPECT_FALSE(tcam->entryIteratorConst());
        EXPECT_FALSE(action->entryIteratorConst());
        EXPECT_EQ(tcam->swTableHelper(), hook);
        EXPECT_EQ(action->swTableHelper(), actionHook);
        EXPECT_EQ(runtime.tcamIntf()->entryLog()->entrys(0), 0u);
        EXPECT_EQ(runtime.actionIntf()->entryLog()->entrys(0), 0u);
        EXPECT_FALSE(tcam->hasPendingHwWrites());
        // Unit 1 was not touched by any of this.
        EXPECT_EQ(runtime.tcamIntf()->swTableSet()->swTable(1), nullptr);
    });
    ASSERT_TRUE(run.passed) << run.ending;

    ChildReport const after = storedCounts();
    ASSERT_TRUE(after.passed) << after.ending;
    EXPECT_EQ(after.number("count/0/Tcam"), 0u);
    EXPECT_EQ(after.number("count/0/TcamAction"), 0u);
    EXPECT_EQ(after.number("count/1/Tcam"), kEntries);
    EXPECT_EQ(after.number("count/1/TcamAction"), kEntries);
}

TEST_F(MakeSwTableAfterRestart, NewTableWithResetIsClearedNotRestoredNotMarked) {
    ChildReport const run = runInChild([&](ChildFacts&) {
        Runtime runtime;
        auto const& unit1 = runtime.bringUp(1, true);
        EXPECT_EQ(unit1.tcam->entrys(), 0u);
        EXPECT_EQ(unit1.action->entrys(), 0u);
        EXPECT_FALSE(unit1.tcam->inMarkingState());
        EXPECT_FALSE(unit1.action->inMarkingState());
        runtime.runUntilIdle();
        EXPECT_FALSE(unit1.tcam->hasPendingHwWrites());
    });
    ASSERT_TRUE(run.passed) << run.ending;

    ChildReport const after = storedCounts();
    ASSERT_TRUE(after.passed) << after.ending;
    EXPECT_EQ(after.number("count/0/Tcam"), kEntries);
    EXPECT_EQ(after.number("count/0/TcamAction"), kEntries);
    EXPECT_EQ(after.number("count/1/Tcam"), 0u);
    EXPECT_EQ(after.number("count/1/TcamAction"), 0u);
}

}  // namespace
}  // namespace VornTest
