#pragma once
// Shared set-up of the entry-log tests: a private shared-memory namespace per test, a state
// database, a real group interface, and per table family the helpers that make distinct
// entries and resource keys, so that one typed suite runs against both entry logs.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "contracts/asic/GroupInterface.h"
#include "contracts/ledra/EntityManager.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {

template <typename Log>
struct EntryLogFamily;

template <>
struct EntryLogFamily<VornTunnelTcamMgr::TcamEntryLog> {
    static constexpr std::uint32_t kTableId = 0x1B080401;
    static constexpr char kTableName[] = "Tcam";
    using Constants = VornTunnelTcamMgr::TcamConstants;
    static VornTunnelTcamMgr::TcamLogEntry entry(std::uint32_t key, std::uint16_t value = 1) {
        VornTunnelTcamMgr::TcamLogEntry e;
        e.key.vrfId = key;
        e.key.addressFamily = 4;
        e.key.dstAddr[0] = 10;
        e.priority = value;
        return e;
    }
    static VornTunnelTcamMgr::TcamResourceKeys rsrcKeys(std::uint32_t = 0) { return {}; }
};

template <>
struct EntryLogFamily<VornTunnelTcamMgr::TcamActionEntryLog> {
    static constexpr std::uint32_t kTableId = 0x1B080402;
    static constexpr char kTableName[] = "TcamAction";
    using Constants = VornTunnelTcamMgr::TcamActionConstants;
    static VornTunnelTcamMgr::TcamActionLogEntry entry(std::uint32_t key, std::uint16_t value = 1) {
        VornTunnelTcamMgr::TcamActionLogEntry e;
        e.key.actionId = key;
        e.vrfId = value;
        return e;
    }
    static VornTunnelTcamMgr::TcamActionResourceKeys rsrcKeys(std::uint32_t intf = 0) {
        VornTunnelTcamMgr::TcamActionResourceKeys r;
        r.inLifKey.intfId = intf;
        return r;
    }
};

inline constexpr char kAgent[] = "VornTunnelNi";
inline constexpr Asic::UnitId kUnit = 3;

// One agent run: the state database, the group and the entry log of table family Log.
template <typename Log>
class EntryLogFixture : public ::testing::Test {
  protected:
    using F = EntryLogFamily<Log>;
    using LogEntry = decltype(F::entry(0));

    static LogEntry entry(std::uint32_t key, std::uint16_t value = 1) { return F::entry(key, value); }
    static auto key(std::uint32_t key) { return F::entry(key).key; }

    void SetUp() override {
        start();
        log_->mountTesselConfig(kUnit, 0);
    }
    void TearDown() override { stop(); }

    // Starts an agent run on the test's namespace (after stop(): a restart).
    void start() {
        entityManager_ = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
        group_ = Lumo::make<Asic::GroupInterface>(kAgent, "VornTunnelTcamMgrGroup", 0x1B08, entityManager_, nullptr);
        stats_ = Lumo::make<Asic::SwTableStats>();
        log_ = makeLog();
    }
    // Drops every object of the run and closes the shared-memory environment.
    void stop() {
        log_ = nullptr;
        group_ = nullptr;
        entityManager_ = nullptr;
        QelSharedMem::closeEnvironment();
    }
    Lumo::Ptr<Log> makeLog() {
        return Lumo::make<Log>(Asic::SwTableId(F::kTableId), entityManager_, group_, Lumo::String(kAgent));
    }

    Asic::SwTableId tableId() const { return Asic::SwTableId(F::kTableId); }
    auto& changeLog() const { return log_->tableEntryLog()->entryLogConfig(); }
    auto& config(Asic::UnitId unit = kUnit) const { return log_->tableConfigTessel(unit)->swTableEntries(); }
    std::uint64_t scratchpad() const { return log_->tableEntryLog()->collectionControl()->scratchpad(); }
    // Versions the group interface was told of, oldest first.
    std::vector<Asic::LogVersion> groupVersions() const {
        std::vector<Asic::LogVersion> v;
        for (auto const& e : group_->logEntries(tableId())) v.push_back(e.version);
        return v;
    }
    Asic::LogVersion write(std::uint32_t key, std::uint16_t value = 1, bool suppress = false, std::uint32_t intf = 0,
                           Asic::UnitId unit = kUnit) {
        return log_->entryIs(F::entry(key, value), F::rsrcKeys(intf), needed_, unit, stats_, suppress);
    }
    Asic::LogVersion del(std::uint32_t key, Asic::UnitId unit = kUnit) {
        return log_->entryDel(F::entry(key).key, needed_, unit);
    }

    ScopedShmNamespace shm_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<Asic::SwTableStats> stats_;
    Lumo::Ptr<Asic::NeededEntry const> needed_ = Lumo::make<Asic::NeededEntry>();
    Lumo::Ptr<Log> log_;
};

using EntryLogTypes = ::testing::Types<VornTunnelTcamMgr::TcamEntryLog, VornTunnelTcamMgr::TcamActionEntryLog>;

}  // namespace VornTest
