// Capacity runs of the whole agent in one process: a full configuration table refuses a new key
// and keeps what it stores; a full change log holds requests back until the hardware catches up;
// a near-full table restarts with a changed state by removing its stale entries first, and the sweep
// audit lists those removals.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/runtime/Runtime.h"
#include "contracts/qel/Trace.h"
#include "contracts/shm/SharedMem.h"
#include "tests/e2e/RuntimeFixture.h"

namespace VornTcamAgent {
namespace {

using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamActionEntryLog;
using VornTunnelTcamMgr::TcamEntry;
using VornTunnelTcamMgr::TcamEntryKey;
using VornTunnelTcamMgr::TcamEntryLog;
using VornTunnelTcamMgr::TcamSwTable;

constexpr std::uint32_t kConfigCapacity = TcamEntryLog::kConfigCapacity;

TcamEntryKey tcamKey(std::uint32_t n) {
    TcamEntryKey key;
    key.vrfId = n;
    key.tunnelType = 1;
    key.addressFamily = 4;
    key.dstAddr = {10, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                   static_cast<std::uint8_t>(n)};
    return key;
}

TcamEntry tcamEntry(std::uint32_t n, std::uint16_t priority = 1) {
    TcamEntry e;
    e.keyIs(tcamKey(n));
    e.logEntry.actionKey.actionId = n % 64 + 1;
    e.logEntry.priority = priority;
    return e;
}

// Counts the answers of the requests it issues.
struct Answers {
    std::uint64_t done = 0;
    std::uint64_t calls = 0;

    VornTunnelTcamMgr::ResponseHandler handler() {
        return [this](Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& h) {
            ++calls;
            if (h->entryState() == Asic::EntryState::done) ++done;
        };
    }
};

class Capacity : public RuntimeFixture {
  protected:
    Capacity() : RuntimeFixture("capacity") {}
    TcamSwTable& tcam(Asic::UnitId unitId) {
        UnitTables const* tables = runtime_->unit(unitId);
        if (tables == nullptr) tables = &runtime_->bringUp(unitId);
        return *tables->tcam;
    }

    Lumo::Ptr<TcamSwTable::EntryHandle const> write(Asic::UnitId unitId, std::uint32_t n, std::uint16_t priority,
                                                    Answers& answers) {
        TcamEntry const e = tcamEntry(n, priority);
        return tcam(unitId).entryWriteWithResponseHandler(e.key(), e, nullptr, answers.handler());
    }

    // The unit's key table as the library reads it: vrf id to priority.
    std::map<std::uint32_t, std::uint16_t> view(Asic::UnitId unitId) {
        std::map<std::uint32_t, std::uint16_t> out;
        for (auto it = tcam(unitId).entryIteratorConst(); it; ++it) {
            EXPECT_EQ(it->key(), tcamKey(it->key().vrfId));
            out[it->key().vrfId] = it->logEntry.priority;
        }
        return out;
    }

    std::uint32_t changeLogRecords() {
        return runtime_->tcamIntf()->entryLog()->tableEntryLog()->entryLogConfig().size();
    }
};

TEST_F(Capacity, FullConfigurationTableRefusesANewKeyAndKeepsEveryStoredEntry) {
    Answers answers;
    std::map<std::uint32_t, std::uint16_t> stored;
    for (std::uint32_t n = 1; n <= kConfigCapacity; ++n) {
        write(0, n, 1, answers);
        stored[n] = 1;
    }
    runtime_->runUntilIdle();
    ASSERT_EQ(answers.done, kConfigCapacity);
    ASSERT_EQ(tcam(0).entrys(), kConfigCapacity);
    auto const log = runtime_->tcamIntf()->entryLog();
    Asic::LogVersion const versionBefore = log->tableVersion();

    // Key 65,537: the commit is refused and the refusal reaches the caller of the event loop.
    Answers refused;
    auto const handle = write(0, kConfigCapacity + 1, 1, refused);
    EXPECT_THROW(runtime_->runUntilIdle(), Lumo::CapacityExceededException);
    EXPECT_EQ(handle->entryState(), Asic::EntryState::pending);
    EXPECT_EQ(refused.calls, 0u);
    EXPECT_FALSE(tcam(0).entryHas(tcamKey(kConfigCapacity + 1)));
    EXPECT_FALSE(tcam(0).hasPendingHwWrites());
    // The version the refused write took is given back, and nothing of it was logged.
    EXPECT_EQ(log->tableVersion(), versionBefore);
    EXPECT_EQ(changeLogRecords(), 0u);
    EXPECT_EQ(log->tableConfigTessel(0)->swTableEntries().size(), kConfigCapacity);
    EXPECT_EQ(view(0), stored);
    // The group goes on committing the requests queued behind the refused one.
    Answers behind;
    write(0, 5, 2, behind);
    write(1, 5, 2, behind);
    runtime_->runUntilIdle();
    EXPECT_EQ(behind.done, 2u);
    EXPECT_EQ(runtime_->group()->groupResolver()->queued(), 0u);
}

// Declares smaller capacities for both tables' configuration tables and the key table's change
// log mounted while it lives (0: the normal one).
struct SmallCapacities {
    SmallCapacities(std::uint32_t config, std::uint32_t changeLog) {
        TcamEntryLog::TEST_configCapacityIs(config);
        TcamActionEntryLog::TEST_configCapacityIs(config);
        TcamEntryLog::TEST_changeLogCapacityIs(changeLog);
    }
    ~SmallCapacities() {
        TcamEntryLog::TEST_configCapacityIs(0);
        TcamActionEntryLog::TEST_configCapacityIs(0);
        TcamEntryLog::TEST_changeLogCapacityIs(0);
    }
};

// The key table's change log declared with 64 records: the first requests fill it, the rest
// (a removal among them) stay queued until the hardware catches up and the log is cleaned.
TEST_F(Capacity, FullChangeLogHoldsRequestsBackUntilTheHardwareCatchesUp) {
    constexpr std::uint32_t room = 64, held = 6, keys = 16;
    {
        SmallCapacities const small(0, room);
        restartAgent(RuntimeOptions{.holdHardware = true});
    }
    auto const log = runtime_->tcamIntf()->entryLog();
    ASSERT_EQ(log->changeLogCapacity(), room);
    TcamSwTable& unit0 = tcam(0);
    tcam(1);
    Answers answers;
    std::vector<Lumo::Ptr<TcamSwTable::EntryHandle const>> handles;
    std::map<std::uint32_t, std::uint16_t> want;
    Qel::TraceCapture traces(1);
    for (std::uint32_t i = 0; i < room + held; ++i) {
        std::uint32_t const n = i % keys + 1;
        auto const priority = static_cast<std::uint16_t>(i / keys + 1);
        if (i == room + 1) {
            handles.push_back(unit0.entryRemoveWithResponseHandler(tcamKey(n), nullptr, answers.handler()));
            want.erase(n);
        } else {
            handles.push_back(write(0, n, priority, answers));
            want[n] = priority;
        }
    }
    runtime_->runUntilIdle();

    EXPECT_EQ(changeLogRecords(), room);
    EXPECT_EQ(log->tableVersion(), room);
    EXPECT_EQ(answers.calls, 0u);
    for (std::uint32_t i = 0; i < room + held; ++i) {
        auto const expectedState = i < room ? Asic::EntryState::logged : Asic::EntryState::pending;
        EXPECT_EQ(handles[i]->entryState(), expectedState) << i;
    }
    EXPECT_EQ(runtime_->group()->groupResolver()->queued(&unit0), held);
    EXPECT_GE(
        traces.count(fmt::format("key: {}, isEntryDeleted: false : no space in entryLog!", tcamKey(room % keys + 1))),
        1u);
    // Only the table whose log is full waits: the action table still commits.
    Answers action;
    TcamActionEntry a;
    a.keyIs({1});
    runtime_->unit(0)->action->entryWriteWithResponseHandler(a.key(), a, nullptr, action.handler());
    runtime_->runUntilIdle();
    EXPECT_EQ(runtime_->unit(0)->action->transientAddEntry(a.key()), nullptr);
    EXPECT_EQ(runtime_->unit(0)->action->entryLog()->tableVersion(), 1u);

    runtime_->hardware().holdIs(false);
    runtime_->runUntilIdle();
    EXPECT_EQ(answers.done, room + held);
    EXPECT_EQ(log->tableVersion(), Asic::LogVersion{room} + held);
    EXPECT_EQ(changeLogRecords(), 0u);
    EXPECT_FALSE(unit0.hasPendingHwWrites());
    EXPECT_EQ(view(0), want);
    EXPECT_EQ(runtime_->group()->groupResolver()->queued(), 0u);
}

// Tables of 62 entries holding 60, then the same state mutated by 0.2: 4 keys go and 4 new ones
// come, more than the 2 free places. The run removes the 4 stale keys of each table before it
// writes and completes; the dry run plans exactly that.
TEST_F(Capacity, NearFullTableRestartsWithAChangedStateByRemovingStaleEntriesFirst) {
    SmallCapacities const small(62, 0);
    auto run = [&](std::optional<double> mutate, bool dryRun) {
        return runHere(RunOptions{.generate = 60, .units = "0", .mutate = mutate, .dryRun = dryRun});
    };
    ASSERT_EQ(run(std::nullopt, false).first, kExitOk);
    auto const [planStatus, plan] = run(0.2, true);
    ASSERT_EQ(planStatus, kExitOk);
    // The removals before writing remove stored keys as the sweep would: the audit lists them.
    std::string const auditPath = "/tmp/" + VornTest::uniqueName("removefirst") + ".jsonl";
    auto const [status, summary] =
        runHere(RunOptions{.generate = 60, .units = "0", .mutate = 0.2, .sweepAudit = auditPath});
    EXPECT_EQ(status, kExitOk) << summary.dump(1);
    std::map<std::string, std::set<std::string>> audited;  // table to keys
    {
        std::ifstream in(auditPath);
        for (std::string line; std::getline(in, line);) {
            auto const j = nlohmann::json::parse(line);
            EXPECT_EQ(j.at("cause"), "removeBeforeWriting") << line;
            EXPECT_EQ(j.at("unit"), 0) << line;
            audited[j.at("table").get<std::string>()].insert(j.at("key").get<std::string>());
        }
    }
    std::remove(auditPath.c_str());
    for (std::size_t t = 0; t < 2; ++t) {
        auto const& planned = plan.at("tables").at(t).at("units").at(0);
        auto const& unit = summary.at("tables").at(t).at("units").at(0);
        EXPECT_EQ(planned.at("removedBeforeWriting"), 4) << planned;
        EXPECT_EQ(planned.at("swept"), 0);
        EXPECT_EQ(planned.at("removedBeforeWritingKeys").size(), planned.at("removedBeforeWriting"));
        EXPECT_EQ(audited[plan.at("tables").at(t).at("table").get<std::string>()],
                  planned.at("removedBeforeWritingKeys").get<std::set<std::string>>());
        for (char const* field : {"restored", "rewritten", "suppressed", "new", "swept", "removedBeforeWriting"})
            EXPECT_EQ(unit.at(field), planned.at(field)) << summary.at("tables").at(t).at("table") << " " << field;
        EXPECT_EQ(unit.at("failed"), 0);
        EXPECT_EQ(unit.at("entries"), 60);
    }

    // The table holds the desired state exactly.
    runtime_ = std::make_unique<Runtime>();
    auto const& unit0 = runtime_->bringUp(0);
    EXPECT_EQ(unit0.tcam->entrys(), 60u);
    EXPECT_EQ(unit0.action->entrys(), 60u);
    EXPECT_EQ(runtime_->tcamIntf()->entryLog()->tableConfigTessel(0)->swTableEntries().size(), 60u);
}

}  // namespace
}  // namespace VornTcamAgent
