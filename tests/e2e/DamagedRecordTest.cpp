// A restart over configuration records that stay damaged: with removal at the first report
// turned off, every read of such a record reports it again. Restore, marking, the rewrite of
// the desired state, the sweep, the hardware's progress and the change-log cleanup must still
// come to rest; the event loop runs dry well within a bound.
#include <gtest/gtest.h>

#include "agent/DesiredStateGenerate.h"
#include "agent/Programmer.h"
#include "contracts/shm/SharedMem.h"
#include "tests/e2e/RuntimeFixture.h"

namespace VornTcamAgent {
namespace {

constexpr std::uint64_t kTaskBound = 100000;

class DamagedRecordRestart : public RuntimeFixture {
  protected:
    DamagedRecordRestart() : RuntimeFixture("damaged") { shm_.faults().quarantineDamagedIs(false); }
    ~DamagedRecordRestart() override {
        runtime_.reset();
        Qel::Entity::singletonDelAll();
    }

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

}  // namespace
}  // namespace VornTcamAgent
