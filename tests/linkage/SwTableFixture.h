#pragma once
// Shared set-up of the software-table read, restore and linkage tests: one agent run with a
// private shared-memory namespace, a state database, a group whose resolver runs only when a
// test calls processQueues(), the action table's entry log and software table for one unit,
// and an InLif index resource table that resolves handles when the test's event loop runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "contracts/asic/GroupInterface.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/qel/EventLoop.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"
#include "linkage/TcamActionResourceTableLinkage.h"
#include "swtable/TcamActionSwTable.h"
#include "swtable/TcamSwTable.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {

using VornTunnelNiLib::InLifIndexEntryKey;
using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamActionEntryKey;
using VornTunnelTcamMgr::TcamActionSwTable;
using ResourceTable = VornTunnelNiLib::InLifIndexResourceTable;
using Linkage = VornTunnelTcamMgr::TcamActionInLifIndexLinkage;

inline constexpr char kAgentName[] = "VornTunnelNi";
inline constexpr Asic::UnitId kTestUnit = 3;
inline constexpr std::uint32_t kActionTableId = 0x1B080402;

inline InLifIndexEntryKey inLif(std::uint32_t intf) { return intf ? InLifIndexEntryKey{intf, 10, 0} : InLifIndexEntryKey{}; }
inline TcamActionEntryKey akey(std::uint32_t id) { return TcamActionEntryKey{id}; }
// An action entry: `vrf` tells values apart, `intf` names its InLif (0: none).
inline TcamActionEntry aentry(std::uint32_t id, std::uint32_t vrf = 1, std::uint32_t intf = 0) {
    TcamActionEntry e;
    e.logEntry.key.actionId = id;
    e.logEntry.decapType = 1;
    e.logEntry.vrfId = vrf;
    e.rsrcKeys.inLifKey = inLif(intf);
    return e;
}

// A hook that records the wrappers re-evaluated after a resource change and answers as told.
class RecordingActionHelper : public VornTunnelTcamMgr::TcamActionSwTableHelperBase {
  public:
    bool finalizeOnResourceUpdate(Lumo::Ptr<VornTunnelTcamMgr::TcamActionEntryWrapper> const& entry,
                                  Lumo::Ptr<TcamActionSwTable> const&, bool someResourceHasFailed) override {
        updated.push_back(entry);
        failedFlags.push_back(someResourceHasFailed);
        return answer;
    }
    bool answer = true;
    std::vector<Lumo::Ptr<VornTunnelTcamMgr::TcamActionEntryWrapper>> updated;
    std::vector<bool> failedFlags;
};

class ActionTableFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        resTable_ = Lumo::make<ResourceTable>(&loop_, ResourceTable::Config{64, 64, 100, 5000});
        start();
    }
    void TearDown() override { stop(); }

    // Starts an agent run: state database, group, entry log, the unit's table and its linkage.
    void start() {
        entityManager_ = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
        group_ = Lumo::make<Asic::GroupInterface>(kAgentName, "VornTunnelTcamMgrGroup", 0x1B08, entityManager_,
                                                  nullptr);
        log_ = Lumo::make<VornTunnelTcamMgr::TcamActionEntryLog>(Asic::SwTableId(kActionTableId), entityManager_,
                                                                 group_, Lumo::String(kAgentName));
        log_->mountTesselConfig(kTestUnit, 0);
        status_ = Lumo::make<Asic::OrderedSwTableStatus>(Asic::SwTableId(kActionTableId));
        set_ = Lumo::make<Asic::OrderedSwTableSet>(Asic::SwTableId(kActionTableId), status_);
        auto name = Lumo::make<Asic::CanonicalTableName>(Asic::kOrderedSwTableType, "VornTunnelTcamMgrGroup",
                                                         "VornTunnelTcamMgr", "TcamAction");
        table_ = Lumo::make<TcamActionSwTable>(name, Asic::SwTableId(kActionTableId), kTestUnit, set_.ptr(), log_,
                                               group_->groupResolver());
        table_->statusIs(status_);
        helper_ = Lumo::make<RecordingActionHelper>();
        table_->swTableHelperIs(helper_);
        client_ = resTable_->makeClientInstance();
        table_->inLifIndexLinkageIs(VornTunnelTcamMgr::tcamActionInLifIndexLinkageFactory(table_.ptr(), client_));
    }
    // Drops every object of the run (the resource table, outside the agent, stays).
    void stop() {
        if (table_) table_->inLifIndexLinkageIs(nullptr);
        table_ = nullptr;
        helper_ = nullptr;
        client_ = nullptr;
        set_ = nullptr;
        status_ = nullptr;
        log_ = nullptr;
        group_ = nullptr;
        entityManager_ = nullptr;
    }
    // An agent restart: the shared-memory files stay and are mounted again by the new run.
    void restart() {
        stop();
        shm_.restart();
        start();
    }

    Linkage& linkage() const { return *VornTunnelTcamMgr::inLifIndexLinkageOf(*table_); }
    auto& config() const { return log_->tableConfigTessel(kTestUnit)->swTableEntries(); }

    // Queues a write of the table (pending until commitAll()).
    Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> write(std::uint32_t id, std::uint32_t vrf = 1,
                                                             std::uint32_t intf = 0) {
        return table_->entryWrite(akey(id), aentry(id, vrf, intf), nullptr);
    }
    Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> remove(std::uint32_t id) {
        return table_->entryRemove(akey(id), nullptr);
    }
    // Resolves resources and commits every queued request.
    void commitAll() {
        for (int i = 0; i < 10; ++i) {
            loop_.runUntilIdle();
            if (group_->groupResolver()->processQueues() == 0 && loop_.idle()) break;
        }
    }
    // Logs a committed entry straight into the entry log, without a request of the table.
    Asic::LogVersion logDirect(std::uint32_t id, std::uint32_t vrf = 1, std::uint32_t intf = 0) {
        auto const e = aentry(id, vrf, intf);
        return log_->entryIs(e.logEntry, e.rsrcKeys, Lumo::make<Asic::NeededEntry>(), kTestUnit, table_->stats(),
                             false);
    }

    // Every entry of the merged view, in iteration order.
    std::vector<TcamActionEntry> walk() const {
        std::vector<TcamActionEntry> out;
        for (auto it = table_->entryIteratorConst(); it.valid(); ++it) out.push_back(*it);
        return out;
    }
    static std::vector<std::uint32_t> ids(std::vector<TcamActionEntry> const& entries) {
        std::vector<std::uint32_t> out;
        for (auto const& e : entries) out.push_back(e.key().actionId);
        return out;
    }

    ScopedShmNamespace shm_;
    Qel::EventLoop loop_;
    Lumo::Ptr<ResourceTable> resTable_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<VornTunnelTcamMgr::TcamActionEntryLog> log_;
    Lumo::Ptr<Asic::OrderedSwTableStatus> status_;
    Lumo::Ptr<Asic::OrderedSwTableSet> set_;
    Lumo::Ptr<RecordingActionHelper> helper_;
    Lumo::Ptr<ResourceTable::ClientInstance> client_;
    Lumo::Ptr<TcamActionSwTable> table_;
};

}  // namespace VornTest
