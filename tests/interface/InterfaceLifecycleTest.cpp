// Start-up of the table interfaces: one object per process, the clean-up of the change log up
// to the table version the group recorded, the pending-writes flag, and reconciliation of
// tables kept by the non-local manager.
#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/Programmer.h"
#include "contracts/asic/Constants.h"
#include "contracts/qel/Entity.h"
#include "contracts/types/TcamConstants.h"
#include "tests/support/ShmNamespace.h"

namespace VornTunnelTcamMgr {
namespace {

using VornTcamAgent::DesiredActionEntry;
using VornTcamAgent::DesiredUnit;

constexpr Asic::SwTableId kActionId{0x1B080402};

// An ordered-table interface of a fresh agent process, without the interfaces.
struct Platform {
    Qel::EventLoop loop;
    Lumo::Ptr<Ledra::EntityManager> em = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
    Lumo::Ptr<Asic::OrderedTableInterface> oti = Lumo::make<Asic::OrderedTableInterface>(em, &loop);
    Lumo::Ptr<Asic::GroupInterface> group() const {
        return oti->makeGroupIntf(kAgentName, kGroupName, kActionId.agentAndGroupId());
    }
    ~Platform() {
        if (auto g = oti->groupIntf(Asic::Constants::canonicalizeGroupName(kAgentName, kGroupName))) g->shutdown();
        Qel::Entity::singletonDelAll();
    }
};

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
    Platform p;
    auto first = TcamActionInterface::getIntf(p.oti);
    auto second = TcamActionInterface::getIntf(p.oti);
    EXPECT_EQ(first, second);
    EXPECT_EQ(p.oti->swTableIntf("VornTunnelTcamMgr::TcamActionInterface"), first.ptr());

    // The key interface lives beside it in the same group, under its own name.
    auto keyIntf = TcamInterface::getIntf(p.oti);
    EXPECT_NE(Lumo::ptr_cast<Asic::TableInterfaceBase>(keyIntf), Lumo::ptr_cast<Asic::TableInterfaceBase>(first));
    auto group = p.group();
    EXPECT_TRUE(group->swTableSetHas(kActionId));
    EXPECT_TRUE(group->swTableSetHas(Asic::SwTableId(0x1B080401)));
    EXPECT_EQ(group->swTableSet(kActionId), first->swTableSet());

    // onDelete withdraws from the ordered-table interface only: getIntf still answers.
    first->onDelete();
    EXPECT_FALSE(p.oti->swTableIntfHas("VornTunnelTcamMgr::TcamActionInterface"));
    EXPECT_EQ(TcamActionInterface::getIntf(p.oti), first);
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
        Platform p;
        if (recorded) p.group()->tableVersionIs(kActionId, recorded);
        auto intf = TcamActionInterface::getIntf(p.oti);
        EXPECT_EQ(intf->entryLog()->tableVersion(), 3u);
        // The change log keeps the records after the recorded version.
        EXPECT_EQ(intf->entryLog()->tableEntryLog()->entryLogConfig().size(), 3u - recorded);
        bool const behind = recorded == 2;
        EXPECT_EQ(intf->swTableStatus()->pendingHwWrites(), behind);
        intf = nullptr;
        if (recorded) p.group()->tableVersionDel(kActionId);
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

}  // namespace
}  // namespace VornTunnelTcamMgr
