// Per-unit software-table creation after a restart: a second makeSwTable for a unit, reset of
// an existing and of a new table.
// Every agent run is its own child process; the parent compares what the runs report.
#include <gtest/gtest.h>

#include "agent/state/DesiredStateGenerate.h"
#include "swtable/TcamActionSwTableHelperBase.h"
#include "swtable/TcamSwTableHelperBase.h"
#include "tests/restart/RestartSupport.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {
namespace {

using VornTunnelTcamMgr::TcamActionSwTable;
using VornTunnelTcamMgr::TcamSwTable;

constexpr std::size_t kEntries = 24;

// A first agent run programs units 0 and 1 and exits; the second run calls makeSwTable again for
// unit 0 (without and with a hook, then with reset) and brings unit 1 up as a new table with
// reset.
TEST(MakeSwTableAfterRestart, SecondCallReturnsTheTableResetClearsItKeepingItsHookAndANewTableIsNotMarked) {
    ScopedShmNamespace shm("mkswt");
    DesiredState const state = VornTcamAgent::generate({0, 1}, kEntries, 3);
    ASSERT_TRUE(runInChild([&](ChildFacts&) {
                    Runtime runtime;
                    programToCompletion(runtime, state);
                }).passed);

    ChildReport const run = runInChild([&](ChildFacts&) {
        Runtime runtime;
        auto const& unit0 = runtime.bringUp(0);
        Lumo::Ptr<TcamSwTable> const tcam = unit0.tcam;
        Lumo::Ptr<TcamActionSwTable> const action = unit0.action;
        EXPECT_EQ(tcam->entrys(), kEntries);

        // Again without a hook and without reset: the same table, unchanged, still marking.
        auto const defaultHook = tcam->swTableHelper();
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, nullptr, false), tcam);
        EXPECT_EQ(tcam->swTableHelper(), defaultHook);
        EXPECT_TRUE(tcam->inMarkingState());

        // With a hook: installed on the same table.
        auto const hook = VornTunnelTcamMgr::tcamSwTableHelperBaseFactory();
        auto const actionHook = VornTunnelTcamMgr::tcamActionSwTableHelperBaseFactory();
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, hook, false), tcam);
        EXPECT_EQ(runtime.actionIntf()->makeSwTable(0, actionHook, false), action);
        EXPECT_EQ(tcam->swTableHelper(), hook);

        // With reset: the same object emptied, its hook kept; the removal reaches shared memory.
        EXPECT_EQ(runtime.tcamIntf()->makeSwTable(0, nullptr, true), tcam);
        EXPECT_EQ(runtime.actionIntf()->makeSwTable(0, nullptr, true), action);
        runtime.runUntilIdle();
        EXPECT_EQ(tcam->entrys(), 0u);
        EXPECT_EQ(action->swTableHelper(), actionHook);
        EXPECT_EQ(runtime.actionIntf()->entryLog()->entrys(0), 0u);
        EXPECT_FALSE(tcam->hasPendingHwWrites());

        // A new table with reset: cleared, not restored, not marking.
        auto const& unit1 = runtime.bringUp(1, true);
        EXPECT_EQ(unit1.action->entrys(), 0u);
        EXPECT_FALSE(unit1.tcam->inMarkingState());
        runtime.runUntilIdle();
    });
    ASSERT_TRUE(run.passed) << run.ending;
}

}  // namespace
}  // namespace VornTest
