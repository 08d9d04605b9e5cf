// Start-up of the table interfaces through TcamMgr: one object per process, the clean-up of
// the change log up to the table version the group recorded, the pending-writes flag,
// reconciliation of tables kept by the non-local manager, and a teardown that does not depend
// on the order in which the caller lets go of what it holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "agent/runtime/Programmer.h"
#include "contracts/asic/Constants.h"
#include "contracts/qel/Entity.h"
#include "contracts/types/TcamConstants.h"
#include "interface/TcamMgr.h"
#include "tests/support/ShmNamespace.h"

namespace VornTunnelTcamMgr {
namespace {

using VornTcamAgent::DesiredActionEntry;
using VornTcamAgent::DesiredUnit;

constexpr Asic::SwTableId kActionId{0x1B080402};

class InterfaceLifecycle : public ::testing::Test {
  protected:
    ~InterfaceLifecycle() override { ::unsetenv("NOT_LOCAL_EM"); }
    // Ends the agent run: its process-wide objects go, its shared memory stays.
    void endRun() {
        Qel::Entity::singletonDelAll();
        shm_.restart();
    }

    VornTest::ScopedShmNamespace shm_{"intf"};
};

TEST_F(InterfaceLifecycle, GetIntfCreatesOneInterfaceAndRegistersItEverywhere) {
    auto mgr = tcamMgrFactory();
    auto const& oti = mgr->orderedTableIntf();
    auto first = TcamActionInterface::getIntf(oti);
    EXPECT_EQ(first, mgr->actionIntf());
    EXPECT_EQ(oti->swTableIntf("VornTunnelTcamMgr::TcamActionInterface"), first.ptr());

    // The key interface lives beside it in the same group, under its own name.
    auto keyIntf = TcamInterface::getIntf(oti);
    EXPECT_NE(Lumo::ptr_cast<Asic::TableInterfaceBase>(keyIntf), Lumo::ptr_cast<Asic::TableInterfaceBase>(first));
    auto group = mgr->group();
    EXPECT_TRUE(group->swTableSetHas(kActionId));
    EXPECT_TRUE(group->swTableSetHas(Asic::SwTableId(0x1B080401)));
    EXPECT_EQ(group->swTableSet(kActionId), first->swTableSet());

    // onDelete withdraws from the ordered-table interface only: getIntf still answers.
    first->onDelete();
    EXPECT_FALSE(oti->swTableIntfHas("VornTunnelTcamMgr::TcamActionInterface"));
    EXPECT_EQ(TcamActionInterface::getIntf(oti), first);
}

// Without a table version recorded by the group (0 here) the log is neither cleaned nor pending.
TEST_F(InterfaceLifecycle, RecordedTableVersionCleansTheLogAndDecidesPendingWrites) {
    {  // a first run logs three action entries that the hardware never confirms
        VornTcamAgent::Runtime runtime(VornTcamAgent::RuntimeOptions{.holdHardware = true});
        DesiredUnit unit{.unitId = 0};
        for (std::uint32_t id = 1; id <= 3; ++id) unit.actionEntries.push_back(DesiredActionEntry{.actionId = id});
        VornTcamAgent::Programmer(runtime).write(unit);
        runtime.runUntilIdle();
        ASSERT_FALSE(runtime.group()->tableVersion(kActionId));
    }
    endRun();
    for (Asic::LogVersion recorded : {Asic::LogVersion{0}, Asic::LogVersion{2}, Asic::LogVersion{3}}) {
        SCOPED_TRACE(recorded);
        // The platform pieces come from the caller, with the group's record made beforehand.
        Qel::EventLoop loop;
        auto em = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
        auto oti = Lumo::make<Asic::OrderedTableInterface>(em, &loop);
        auto group = oti->makeGroupIntf(kAgentName, kGroupName, kActionId.agentAndGroupId());
        if (recorded) group->tableVersionIs(kActionId, recorded);
        TcamMgr mgr(TcamMgrConfig{.holdHardware = true}, {.loop = &loop, .entityManager = em, .orderedTableIntf = oti});
        EXPECT_EQ(mgr.group(), group);
        auto const& intf = mgr.actionIntf();
        EXPECT_EQ(intf->entryLog()->tableVersion(), 3u);
        // The change log keeps the records after the recorded version.
        EXPECT_EQ(intf->entryLog()->tableEntryLog()->entryLogConfig().size(), 3u - recorded);
        bool const behind = recorded == 2;
        EXPECT_EQ(intf->swTableStatus()->pendingHwWrites(), behind);
        if (recorded) group->tableVersionDel(kActionId);
    }
}

TEST_F(InterfaceLifecycle, ReconcileClearsUnitsStoredThroughTheNonLocalManager) {
    // The tables are mounted through the non-local manager while the state database is local:
    // reconciliation must still find the unit that is stored but not brought up.
    ::setenv("NOT_LOCAL_EM", "", 1);
    {
        VornTcamAgent::Runtime runtime;
        VornTcamAgent::Programmer programmer(runtime);
        for (Asic::UnitId unitId : {0, 1}) {
            DesiredUnit unit{.unitId = unitId};
            unit.actionEntries.push_back(DesiredActionEntry{.actionId = 1});
            programmer.write(unit);
        }
        runtime.runUntilIdle();
        ASSERT_EQ(runtime.actionIntf()->entryLog()->entrys(1), 1u);
    }
    endRun();

    VornTcamAgent::Runtime runtime;
    runtime.bringUp(0);
    EXPECT_EQ(runtime.reconcile(), std::vector<Asic::UnitId>{1});
    runtime.runUntilIdle();
    auto const intf = runtime.actionIntf();
    ASSERT_TRUE(intf->swTableSet()->swTable(1));
    EXPECT_EQ(intf->entryLog()->entrys(1), 0u);
    EXPECT_EQ(intf->entryLog()->entrys(0), 1u);  // brought up: left to mark and sweep
    EXPECT_TRUE(runtime.reconcile().empty());
}

// Whatever the caller holds (the manager, tables, entry handles, an interface) may be let go
// in any order, also with requests still queued, and the next run finds what was committed.
TEST_F(InterfaceLifecycle, CallerReleasesInAnyOrderAndTheNextRunRestores) {
    std::array<int, 4> order{0, 1, 2, 3};
    std::uint32_t run = 0;
    do {
        SCOPED_TRACE(::testing::Message() << order[0] << order[1] << order[2] << order[3]);
        auto mgr = tcamMgrFactory();
        auto [action, tcam] = mgr->bringUp(0);
        EXPECT_EQ(action->entrys(), run);
        TcamActionEntry entry;
        entry.keyIs(TcamActionEntryKey{++run});
        entry.rsrcKeys.inLifKey = VornInLif::InLifKey{run, 1, 0};
        auto committed = action->entryWrite(entry.key(), entry, nullptr);
        mgr->runUntilIdle();
        ASSERT_EQ(committed->entryState(), Asic::EntryState::done);
        // A second request stays queued: the loop does not run again.
        entry.keyIs(TcamActionEntryKey{1000 + run});
        auto queued = action->entryWrite(entry.key(), entry, nullptr);
        auto actionIntf = mgr->actionIntf();
        for (int which : order) {
            if (which == 0) mgr = nullptr;
            if (which == 1) {
                action = nullptr;
                tcam = nullptr;
            }
            if (which == 2) committed = queued = nullptr;
            if (which == 3) actionIntf = nullptr;
        }
        endRun();
    } while (std::next_permutation(order.begin(), order.end()));
}

}  // namespace
}  // namespace VornTunnelTcamMgr
