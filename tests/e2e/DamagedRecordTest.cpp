// Restarts over damaged configuration records. With removal at the first report turned off,
// every read of such a record reports it again: restore, marking, the rewrite of the desired
// state, the sweep, the hardware's progress and the change-log cleanup must still come to rest;
// the event loop runs dry well within a bound. With removal on, a whole damaged leaf page is
// dealt with by the run that meets it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "agent/runtime/Programmer.h"
#include "agent/state/DesiredStateGenerate.h"
#include "contracts/shm/KeyedCollectionImpl.h"
#include "contracts/shm/SharedMem.h"
#include "tests/e2e/RuntimeFixture.h"

namespace VornTcamAgent {
namespace {

constexpr std::uint64_t kTaskBound = 100000;

class DamagedRecordRestart : public RuntimeFixture {
  protected:
    DamagedRecordRestart() : RuntimeFixture("damaged") { shm_.faults().quarantineDamagedIs(false); }

    // Runs the loop within the bound; more tasks than that means something keeps itself going.
    void runToRest() {
        std::uint64_t const ran = runtime_->loop().runUntilIdle(kTaskBound);
        EXPECT_LT(ran, kTaskBound);
        EXPECT_EQ(runtime_->loop().pending(), 0u);
    }
};

TEST_F(DamagedRecordRestart, RestartOverDamagedConfigurationRecordsComesToRest) {
    DesiredState const first = generate({0}, 40, 23);
    DesiredUnit const& unit = first.units[0];
    {
        Programmer programmer(*runtime_);
        programmer.write(first);
        runtime_->runUntilIdle();
        ASSERT_TRUE(programmer.allAnswered());
    }
    UnitTables const& tables = *runtime_->unit(0);
    // Removes the hardware has not applied yet leave change-log records that the next run's
    // cleanup applies to the very records damaged below.
    runtime_->hardware().holdIs(true);
    tables.action->entryRemove(unit.actionEntries[1].key(), nullptr);
    tables.tcam->entryRemove(unit.keyEntries[1].key(), nullptr);
    runtime_->runUntilIdle();
    auto& actionConfig = runtime_->actionIntf()->entryLog()->tableConfigTessel(0)->swTableEntries();
    auto& keyConfig = runtime_->tcamIntf()->entryLog()->tableConfigTessel(0)->swTableEntries();
    for (std::size_t i : {0, 1, 5}) {
        actionConfig.TEST_corruptRecord(unit.actionEntries[i].key());
        keyConfig.TEST_corruptRecord(unit.keyEntries[i].key());
    }

    restartAgent();
    UnitTables const& again = runtime_->bringUp(0);
    EXPECT_TRUE(again.tcam->inMarkingState());
    runToRest();
    // The second run asks for part of the first state, changed in part; the damaged keys are
    // among those written again and among those swept.
    DesiredState const second = mutate(first, 29, 0.5);
    Programmer programmer(*runtime_);
    programmer.write(second);
    runtime_->sweepAll();
    runToRest();
    EXPECT_TRUE(programmer.allAnswered());
    EXPECT_FALSE(again.tcam->hasPendingHwWrites());
    EXPECT_FALSE(again.action->hasPendingHwWrites());
    EXPECT_GT(runtime_->actionIntf()->entryLog()->tableConfigTessel(0)->swTableEntries().corruptionsDetected(), 0u);
}

// A whole damaged leaf page: many consecutive records of each table fail their checksum at once.
// The run that meets them removes every one, restores, rewrites and sweeps the rest, and ends
// with exactly the desired state; with removal turned off it says what it leaves (exit status 5)
// and the next run, removal on, finishes the job.
class DamagedLeafPage : public RuntimeFixture {
  protected:
    static constexpr std::size_t kEntries = 400;
    static constexpr std::size_t kFirstDamaged = 100, kDamaged = 150;
    static constexpr std::uint64_t kSeed = 41;

    DamagedLeafPage() : RuntimeFixture("leafpage") {}

    // Programs the generated state and damages records kFirstDamaged.. of both tables' unit 0,
    // in stored order.
    void programAndDamage() {
        Programmer programmer(*runtime_);
        programmer.write(generate({0}, kEntries, kSeed));
        runtime_->runUntilIdle();
        ASSERT_TRUE(programmer.allAnswered());
        damage(runtime_->actionIntf()->entryLog()->tableConfigTessel(0)->swTableEntries());
        damage(runtime_->tcamIntf()->entryLog()->tableConfigTessel(0)->swTableEntries());
    }
    template <typename Collection>
    static void damage(Collection& entries) {
        using Key = std::remove_cvref_t<decltype(entries.first()->key())>;
        std::vector<Key> order;
        for (auto cur = entries.first(); cur; cur = entries.after(cur->key())) order.push_back(cur->key());
        ASSERT_EQ(order.size(), kEntries);
        for (std::size_t i = kFirstDamaged; i < kFirstDamaged + kDamaged; ++i) entries.TEST_corruptRecord(order[i]);
    }

    // `tcam-agent run --json` of the mutated state, in this process.
    std::pair<int, nlohmann::json> run() {
        return runHere(RunOptions{.generate = kEntries, .units = "0", .seed = kSeed, .mutate = 0.5});
    }

    // The keys of unit 0's tables as the library reads them now, against the desired state's.
    void expectDesiredStateStored() {
        runtime_ = std::make_unique<Runtime>();
        DesiredUnit const desired = mutate(generate({0}, kEntries, kSeed), kSeed + 1, 0.5).units[0];
        UnitTables const& tables = runtime_->bringUp(0);
        std::set<std::uint32_t> wantedActions, storedActions;
        for (auto const& a : desired.actionEntries) wantedActions.insert(a.actionId);
        for (auto it = tables.action->entryIteratorConst(); it; ++it) storedActions.insert(it->key().actionId);
        EXPECT_EQ(storedActions, wantedActions);
        std::set<VornTunnelTcamMgr::TcamEntryKey> wantedKeys, storedKeys;
        for (auto const& k : desired.keyEntries) wantedKeys.insert(k.key());
        for (auto it = tables.tcam->entryIteratorConst(); it; ++it) storedKeys.insert(it->key());
        EXPECT_EQ(storedKeys, wantedKeys);
        auto const& keyConfig = runtime_->tcamIntf()->entryLog()->tableConfigTessel(0)->swTableEntries();
        EXPECT_EQ(keyConfig.scan([](auto const&) {}), 0u);
        EXPECT_EQ(keyConfig.size(), wantedKeys.size());  // nothing in deletion either
    }
};

TEST_F(DamagedLeafPage, TheRunThatMeetsThemRemovesThemAllAndEndsWithTheDesiredState) {
    programAndDamage();
    auto const [status, summary] = run();
    EXPECT_EQ(status, kExitOk) << summary.dump(1);
    EXPECT_EQ(summary.at("damagedLeft"), 0);
    EXPECT_EQ(summary.at("staleLeft"), 0);
    for (auto const& table : summary.at("tables")) {
        auto const& unit = table.at("units").at(0);
        EXPECT_EQ(unit.at("damagedRemoved"), kDamaged) << table.at("table");
        EXPECT_EQ(unit.at("restored"), kEntries - kDamaged) << table.at("table");
        EXPECT_EQ(unit.at("entries"), unit.at("written")) << table.at("table");
        EXPECT_EQ(unit.at("staleLeft"), 0) << table.at("table");
    }
    expectDesiredStateStored();
}

TEST_F(DamagedLeafPage, ARunThatLeavesDamagedOrStaleRecordsSaysSoAndTheNextFinishes) {
    programAndDamage();
    shm_.faults().quarantineDamagedIs(false);
    auto const [kept, keptSummary] = run();
    EXPECT_EQ(kept, kExitLeftDamaged) << keptSummary.dump(1);
    // The rewrites of desired keys replaced some of the damaged records; the rest stay, and the
    // sweep, which stopped at the first of them, left entries no longer desired.
    EXPECT_GT(keptSummary.at("damagedLeft"), 0);
    EXPECT_LT(keptSummary.at("damagedLeft"), 2 * kDamaged);
    EXPECT_GT(keptSummary.at("staleLeft"), 0);
    for (auto const& table : keptSummary.at("tables")) EXPECT_EQ(table.at("units").at(0).at("damagedRemoved"), 0);

    shm_.faults().quarantineDamagedIs(true);
    auto const [status, summary] = run();
    EXPECT_EQ(status, kExitOk) << summary.dump(1);
    EXPECT_EQ(summary.at("damagedLeft"), 0);
    EXPECT_EQ(summary.at("staleLeft"), 0);
    for (std::size_t t = 0; t < 2; ++t)
        EXPECT_EQ(summary.at("tables").at(t).at("units").at(0).at("damagedRemoved"),
                  keptSummary.at("tables").at(t).at("units").at(0).at("damagedLeft"));
    expectDesiredStateStored();
}

}  // namespace
}  // namespace VornTcamAgent
