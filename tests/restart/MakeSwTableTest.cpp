// Per-unit software-table creation after a restart: a second makeSwTable for a unit, reset of
// an existing and of a new table, and reconciliation of stored units that were not brought up.
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

std::string unitList(std::vector<Asic::UnitId> const& units) { return fmt::format("{}", fmt::join(units, ",")); }

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

TEST_F(MakeSwTableAfterRestart, ReconcileClearsOnlyTheUnitsNotBroughtUp) {
    ChildReport const run = runInChild([&](ChildFacts& facts) {
        Runtime runtime;
        auto const& unit0 = runtime.bringUp(0);
        Lumo::Ptr<TcamSwTable> const tcam0 = unit0.tcam;
        facts.add("reconciled", unitList(runtime.reconcile()));
        runtime.runUntilIdle();
        // Unit 0 untouched: the same table, its entries, still marking.
        EXPECT_EQ(runtime.tcamIntf()->swTableSet()->swTable(0), tcam0);
        EXPECT_EQ(tcam0->entrys(), kEntries);
        EXPECT_TRUE(tcam0->inMarkingState());
        // Unit 1 created empty and not marked, in both tables.
        auto const tcam1 = Lumo::ptr_cast<TcamSwTable>(runtime.tcamIntf()->swTableSet()->swTable(1));
        auto const action1 = Lumo::ptr_cast<TcamActionSwTable>(runtime.actionIntf()->swTableSet()->swTable(1));
        ASSERT_TRUE(tcam1 && action1);
        EXPECT_EQ(tcam1->entrys(), 0u);
        EXPECT_EQ(action1->entrys(), 0u);
        EXPECT_FALSE(tcam1->inMarkingState());
        EXPECT_FALSE(action1->inMarkingState());
        // Nothing is left to reconcile.
        facts.add("again", unitList(runtime.reconcile()));
        EXPECT_EQ(runtime.tcamIntf()->swTableSet()->swTable(1), tcam1);
        // Sweeping unit 0 now removes everything restored (nothing was written again).
        runtime.sweepAll();
        runtime.runUntilIdle();
        EXPECT_EQ(tcam0->entrys(), 0u);
    });
    ASSERT_TRUE(run.passed) << run.ending;
    EXPECT_EQ(run.fact("reconciled"), "1");
    EXPECT_EQ(run.fact("again"), "");

    ChildReport const after = storedCounts();
    ASSERT_TRUE(after.passed) << after.ending;
    for (Asic::UnitId unitId : {0, 1})
        for (char const* table : {"Tcam", "TcamAction"})
            EXPECT_EQ(after.number(fmt::format("count/{}/{}", unitId, table)), 0u) << unitId << table;
}

TEST_F(MakeSwTableAfterRestart, ReconcileBeforeAnyBringUpClearsEveryStoredUnit) {
    ChildReport const run = runInChild([&](ChildFacts& facts) {
        Runtime runtime;
        facts.add("reconciled", unitList(runtime.reconcile()));
        runtime.runUntilIdle();
        for (Asic::UnitId unitId : {0, 1}) {
            auto const tcam = Lumo::ptr_cast<TcamSwTable>(runtime.tcamIntf()->swTableSet()->swTable(unitId));
            auto const action =
                Lumo::ptr_cast<TcamActionSwTable>(runtime.actionIntf()->swTableSet()->swTable(unitId));
            ASSERT_TRUE(tcam && action) << unitId;
            EXPECT_EQ(tcam->entrys(), 0u);
            EXPECT_EQ(action->entrys(), 0u);
            EXPECT_EQ(runtime.tcamIntf()->entryLog()->entrys(unitId), 0u);
        }
    });
    ASSERT_TRUE(run.passed) << run.ending;
    EXPECT_EQ(run.fact("reconciled"), "0,1");
}

TEST(MakeSwTableFresh, ReconcileWithNothingStoredCreatesNothing) {
    ScopedShmNamespace shm("mkswt");
    ChildReport const run = runInChild([](ChildFacts& facts) {
        Runtime runtime;
        facts.add("reconciled", unitList(runtime.reconcile()));
        EXPECT_TRUE(runtime.tcamIntf()->swTableSet()->swTables().empty());
        EXPECT_TRUE(runtime.actionIntf()->swTableSet()->swTables().empty());
        // A new unit without reset restores nothing and is marked.
        auto const& unit = runtime.bringUp(2);
        EXPECT_EQ(unit.tcam->entrys(), 0u);
        EXPECT_TRUE(unit.tcam->inMarkingState());
    });
    ASSERT_TRUE(run.passed) << run.ending;
    EXPECT_EQ(run.fact("reconciled"), "");
}

}  // namespace
}  // namespace VornTest
