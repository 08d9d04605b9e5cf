// Agent restarts with real processes: a first child programs both tables on two units and
// exits or is killed with SIGKILL; a second child starts on the same shared memory, restores,
// rewrites part of the state, sweeps and reconciles; a third child reads back what is stored.
#include <gtest/gtest.h>

#include "agent/state/DesiredStateGenerate.h"
#include "tests/restart/RestartSupport.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {
namespace {

using VornTcamAgent::generate;
using VornTcamAgent::mutate;
using VornTcamAgent::Programmer;

constexpr std::size_t kEntries = 40;

std::size_t entryCount(DesiredUnit const& unit, TableKind kind) { return desiredView(unit, kind).size(); }
std::size_t entryCount(DesiredState const& state, TableKind kind) {
    return entryCount(state.units.at(0), kind) + entryCount(state.units.at(1), kind);
}

// The views of both tables on units 0 and 1.
void reportViews(ChildFacts& facts, Runtime& runtime) {
    for (Asic::UnitId unitId : {0, 1})
        for (TableKind kind : kTableKinds) reportView(facts, runtime, unitId, kind);
}

template <typename Table>
std::uint64_t suppressed(Table const& table) {
    return table->stats()->suppressedWriteCnt();
}

class RestartAcrossProcesses : public ::testing::TestWithParam<ChildEnd> {
  protected:
    // A later run reading back what is stored: brings up units 0 and 1 and reports their views.
    ChildReport readBack() {
        return runInChild([](ChildFacts& facts) {
            Runtime runtime;
            for (Asic::UnitId unitId : {0, 1}) runtime.bringUp(unitId);
            reportViews(facts, runtime);
        });
    }

    // A first run that programs `before` to completion (when given), then writes `state` with
    // the hardware held back, reports its log and ends as the test's parameter says.
    ChildReport heldRun(DesiredState const* before, DesiredState const& state) {
        return runInChild(
            [&](ChildFacts& facts) {
                Runtime runtime(VornTcamAgent::RuntimeOptions{.holdHardware = before == nullptr});
                if (before) {
                    programToCompletion(runtime, *before);
                    runtime.hardware().holdIs(true);
                }
                Programmer programmer(runtime);
                programmer.write(state);
                runtime.runUntilIdle();
                reportLog(facts, runtime, "end/");
                if (GetParam() == ChildEnd::sigkill) facts.awaitKill();
            },
            GetParam());
    }

    ScopedShmNamespace shm_{"restart"};
};

// The second run asks for unit 0 only, changed in part: restore and mark, an identical-only
// rewrite that must store nothing, the full rewrite, sweep, and reconciliation of unit 1.
TEST_P(RestartAcrossProcesses, SecondRunRestoresRewritesSweepsAndReconciles) {
    DesiredState const first = generate({0, 1}, kEntries, 11);
    DesiredState second = mutate(first, 5, 0.5);
    second.units.erase(second.units.begin() + 1);
    DesiredUnit const same = identicalPart(first.units[0], second.units[0]);
    ASSERT_FALSE(same.actionEntries.empty());
    ASSERT_FALSE(same.keyEntries.empty());
    ASSERT_NE(same.keyEntries.size(), second.units[0].keyEntries.size());

    ChildReport const run1 = runInChild(
        [&](ChildFacts& facts) {
            Runtime runtime;
            programToCompletion(runtime, first);
            reportLog(facts, runtime, "end/");
            if (GetParam() == ChildEnd::sigkill) facts.awaitKill();
        },
        GetParam());
    ASSERT_TRUE(run1.passed) << run1.ending;
    for (TableKind kind : kTableKinds) {
        std::string const t = tableName(kind);
        // One version per committed write, all of them reached by the hardware, and the log
        // cleaned as the hardware confirmed them.
        EXPECT_EQ(run1.number("end/version/" + t), entryCount(first, kind)) << t;
        EXPECT_EQ(run1.number("end/confirmed/" + t), run1.number("end/version/" + t)) << t;
        EXPECT_EQ(run1.number("end/records/" + t), 0u) << t;
    }

    ChildReport const run2 = runInChild([&](ChildFacts& facts) {
        Runtime runtime;
        reportLog(facts, runtime, "start/");
        auto const& unit0 = runtime.bringUp(0);
        facts.add("restored/TcamAction", unit0.action->entrys());
        facts.add("restored/Tcam", unit0.tcam->entrys());
        EXPECT_TRUE(unit0.action->inMarkingState());
        EXPECT_TRUE(unit0.tcam->inMarkingState());
        auto const reconciled = runtime.reconcile();
        facts.add("reconciled", fmt::format("{}", fmt::join(reconciled, ",")));
        runtime.runUntilIdle();

        // Entries written again unchanged are answered from the log and store nothing.
        std::vector<Asic::UnitId> const units{0, 1};
        std::string const before = storedSnapshot(runtime, units);
        std::size_t const txnBefore = lastTransactionId();
        programToCompletion(runtime, same);
        EXPECT_EQ(storedSnapshot(runtime, units), before);
        EXPECT_EQ(lastTransactionId(), txnBefore);
        facts.add("suppressed/TcamAction", suppressed(unit0.action));
        facts.add("suppressed/Tcam", suppressed(unit0.tcam));

        programToCompletion(runtime, second, true);
        EXPECT_FALSE(unit0.action->hasPendingHwWrites());
        EXPECT_FALSE(unit0.tcam->hasPendingHwWrites());
        for (Asic::UnitId unitId : units)
            for (TableKind kind : kTableKinds) reportView(facts, runtime, unitId, kind);
    });
    ASSERT_TRUE(run2.passed) << run2.ending;
    EXPECT_EQ(run2.fact("reconciled"), "1");
    for (TableKind kind : kTableKinds) {
        std::string const t = tableName(kind);
        // Start-up restored the last version from the log; nothing is left to clean.
        EXPECT_EQ(run2.number("start/version/" + t), run1.number("end/version/" + t)) << t;
        EXPECT_EQ(run2.number("start/records/" + t), 0u) << t;
        EXPECT_EQ(run2.number("start/pending/" + t), 0u) << t;
        EXPECT_EQ(run2.number("restored/" + t), entryCount(first.units[0], kind)) << t;
        EXPECT_EQ(run2.number("suppressed/" + t), entryCount(same, kind)) << t;
        EXPECT_EQ(viewOf(run2, 0, kind), desiredView(second, 0, kind)) << t;
        EXPECT_TRUE(viewOf(run2, 1, kind).empty()) << t;
    }

    ChildReport const run3 = readBack();
    ASSERT_TRUE(run3.passed) << run3.ending;
    for (TableKind kind : kTableKinds) {
        EXPECT_EQ(viewOf(run3, 0, kind), desiredView(second, 0, kind)) << tableName(kind);
        EXPECT_TRUE(viewOf(run3, 1, kind).empty()) << tableName(kind);
    }
}

// Killed while the hardware had not confirmed the last changes: start-up keeps the log from
// the confirmed version on and resumes the hardware writes; a rewrite of the same state then
// completes without a new version.
TEST_P(RestartAcrossProcesses, ChangesLoggedButNotConfirmedSurviveAndComplete) {
    DesiredState const first = generate({0, 1}, kEntries, 23);
    DesiredState const second = mutate(first, 9, 0.4);

    ChildReport const run1 = heldRun(&first, second);
    ASSERT_TRUE(run1.passed) << run1.ending;
    for (TableKind kind : kTableKinds) {
        std::string const t = tableName(kind);
        EXPECT_LT(run1.number("end/confirmed/" + t), run1.number("end/version/" + t)) << t;
        EXPECT_EQ(run1.number("end/confirmed/" + t), entryCount(first, kind)) << t;
    }

    ChildReport const run2 = runInChild([&](ChildFacts& facts) {
        Runtime runtime;
        reportLog(facts, runtime, "start/");
        for (Asic::UnitId unitId : {0, 1}) runtime.bringUp(unitId);
        EXPECT_TRUE(runtime.reconcile().empty());
        programToCompletion(runtime, second, true);
        for (auto const& [unitId, tables] : runtime.units()) {
            facts.add(fmt::format("suppressed/{}/TcamAction", unitId), suppressed(tables.action));
            facts.add(fmt::format("suppressed/{}/Tcam", unitId), suppressed(tables.tcam));
            EXPECT_FALSE(tables.action->hasPendingHwWrites());
            EXPECT_FALSE(tables.tcam->hasPendingHwWrites());
        }
        reportLog(facts, runtime, "end/");
        reportViews(facts, runtime);
    });
    ASSERT_TRUE(run2.passed) << run2.ending;
    for (TableKind kind : kTableKinds) {
        std::string const t = tableName(kind);
        Asic::LogVersion const confirmed = run1.number("end/confirmed/" + t);
        Asic::LogVersion const logged = run1.number("end/version/" + t);
        EXPECT_EQ(run2.number("start/version/" + t), logged) << t;
        EXPECT_EQ(run2.number("start/confirmed/" + t), confirmed) << t;
        EXPECT_EQ(run2.number("start/records/" + t), logged - confirmed) << t;
        EXPECT_EQ(run2.number("start/oldest/" + t), confirmed + 1) << t;
        EXPECT_EQ(run2.number("start/newest/" + t), logged) << t;
        EXPECT_EQ(run2.number("start/pending/" + t), 1u) << t;
        // Every entry of the second state was logged by the first run: all rewrites are
        // answered from the log, and the hardware reaches everything logged.
        for (Asic::UnitId unitId : {0, 1})
            EXPECT_EQ(run2.number(fmt::format("suppressed/{}/{}", unitId, t)), entryCount(second.units[unitId], kind))
                << t;
        EXPECT_EQ(run2.number("end/confirmed/" + t), run2.number("end/version/" + t)) << t;
        for (Asic::UnitId unitId : {0, 1})
            EXPECT_EQ(viewOf(run2, unitId, kind), desiredView(second, unitId, kind)) << t;
    }
}

// Killed before the hardware confirmed any change: the group records no table version at all,
// yet the next run must have the hardware take up the logged changes, or the rewrites answered
// from the log would wait for them for ever.
TEST_P(RestartAcrossProcesses, ChangesLoggedBeforeAnyConfirmationComplete) {
    DesiredState const state = generate({0, 1}, 16, 31);
    ChildReport const run1 = heldRun(nullptr, state);
    ASSERT_TRUE(run1.passed) << run1.ending;
    EXPECT_EQ(run1.number("end/confirmed/Tcam"), 0u);
    EXPECT_EQ(run1.number("end/version/Tcam"), entryCount(state, TableKind::tcam));

    ChildReport const run2 = runInChild([&](ChildFacts& facts) {
        Runtime runtime;
        programToCompletion(runtime, state);
        reportLog(facts, runtime, "end/");
        reportViews(facts, runtime);
    });
    ASSERT_TRUE(run2.passed) << run2.ending;
    for (TableKind kind : kTableKinds) {
        std::string const t = tableName(kind);
        EXPECT_EQ(run2.number("end/confirmed/" + t), run2.number("end/version/" + t)) << t;
        for (Asic::UnitId unitId : {0, 1}) EXPECT_EQ(viewOf(run2, unitId, kind), desiredView(state, unitId, kind)) << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Ending, RestartAcrossProcesses, ::testing::Values(ChildEnd::exit, ChildEnd::sigkill),
                         [](auto const& info) { return info.param == ChildEnd::exit ? "Exit" : "Sigkill"; });

}  // namespace
}  // namespace VornTest
