#include "tests/restart/RestartSupport.h"

#include <gtest/gtest.h>
#include <lmdb.h>

#include "contracts/shm/Environment.h"

namespace VornTest {

using VornTunnelTcamMgr::TcamActionEntry;

namespace {

std::string viewPrefix(Asic::UnitId unitId, TableKind kind) {
    return fmt::format("view/{}/{}/", unitId, tableName(kind));
}

template <typename Intf>
void reportLogOf(ChildFacts& facts, Runtime& runtime, Intf const& intf, std::string const& prefix) {
    std::string const table(intf->tableName());
    auto const& log = intf->entryLog();
    auto const& changeLog = log->tableEntryLog()->entryLogConfig();
    facts.add(prefix + "records/" + table, changeLog.size());
    auto const first = changeLog.first();
    facts.add(prefix + "oldest/" + table, first ? first->version : 0);
    Asic::LogVersion newest = 0;
    for (auto r = first; r; r = changeLog.after(r->version)) newest = r->version;
    facts.add(prefix + "newest/" + table, newest);
    facts.add(prefix + "version/" + table, log->tableVersion());
    facts.add(prefix + "confirmed/" + table, runtime.group()->tableVersion(intf->tableId()).value_or(0));
    facts.add(prefix + "pending/" + table, intf->swTableStatus()->pendingHwWrites() ? 1 : 0);
}

template <typename Intf>
void snapshotOf(std::string& out, Intf const& intf, std::vector<Asic::UnitId> const& units) {
    auto const& log = intf->entryLog();
    auto const& changeLog = log->tableEntryLog()->entryLogConfig();
    out += fmt::format("{} log size {} scratchpad {}\n", std::string(intf->tableName()), changeLog.size(),
                       log->tableEntryLog()->collectionControl()->scratchpad());
    for (auto r = changeLog.first(); r; r = changeLog.after(r->version))
        out += fmt::format(" change {} unit {} flags {} {}\n", r->version, r->unitId, r->flags, r->logEntry);
    for (Asic::UnitId unitId : units) {
        auto const cfg = log->tableConfigTessel(unitId);
        if (!cfg) continue;
        auto const& entries = cfg->swTableEntries();
        for (auto r = entries.first(); r; r = entries.after(r->key()))
            out +=
                fmt::format(" unit {} {} {} v{} d{}\n", unitId, r->logEntry, r->rsrcKeys, r->logVersion, r->inDeletion);
    }
}

template <typename Table>
void reportTable(ChildFacts& facts, Runtime& runtime, Table const& table, std::string const& prefix) {
    for (auto it = table.entryIteratorConst(); it; ++it) {
        auto entry = *it;
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(entry)>, TcamActionEntry>) {
            if (entry.inLifIndexKey() == VornInLif::InLifKey{}) {
                EXPECT_EQ(entry.inLif0Index(), 0u);
                EXPECT_EQ(entry.inLif23Index(), 0u);
            } else {
                auto const handle = runtime.inLifTable()->handle(entry.inLifIndexKey());
                EXPECT_TRUE(handle) << fmt::format("{}", it->key());
                if (handle) {
                    EXPECT_EQ(entry.inLif0Index(), handle->inLif0Index()) << fmt::format("{}", it->key());
                    EXPECT_EQ(entry.inLif23Index(), handle->inLif23Index()) << fmt::format("{}", it->key());
                }
            }
            entry.inLif0IndexIs(0);
            entry.inLif23IndexIs(0);
        }
        facts.add(prefix + fmt::format("{}", it->key()), fmt::format("{}", entry));
    }
}

}  // namespace

View desiredView(DesiredUnit const& unit, TableKind kind) {
    View view;
    if (kind == TableKind::action) {
        for (auto const& a : unit.actionEntries) view[fmt::format("{}", a.key())] = fmt::format("{}", a.entry());
    } else {
        for (auto const& k : unit.keyEntries) view[fmt::format("{}", k.key())] = fmt::format("{}", k.entry());
    }
    return view;
}

View desiredView(DesiredState const& state, Asic::UnitId unitId, TableKind kind) {
    for (auto const& unit : state.units)
        if (unit.unitId == unitId) return desiredView(unit, kind);
    return {};
}

void reportView(ChildFacts& facts, Runtime& runtime, Asic::UnitId unitId, TableKind kind) {
    std::string const prefix = viewPrefix(unitId, kind);
    if (kind == TableKind::action) {
        auto table =
            Lumo::ptr_cast<VornTunnelTcamMgr::TcamActionSwTable>(runtime.actionIntf()->swTableSet()->swTable(unitId));
        if (table) reportTable(facts, runtime, *table, prefix);
    } else {
        auto table = Lumo::ptr_cast<VornTunnelTcamMgr::TcamSwTable>(runtime.tcamIntf()->swTableSet()->swTable(unitId));
        if (table) reportTable(facts, runtime, *table, prefix);
    }
}

View viewOf(ChildReport const& report, Asic::UnitId unitId, TableKind kind) {
    return report.factsUnder(viewPrefix(unitId, kind));
}

void reportLog(ChildFacts& facts, Runtime& runtime, std::string const& prefix) {
    reportLogOf(facts, runtime, runtime.actionIntf(), prefix);
    reportLogOf(facts, runtime, runtime.tcamIntf(), prefix);
}

std::string storedSnapshot(Runtime& runtime, std::vector<Asic::UnitId> const& units) {
    std::string out;
    snapshotOf(out, runtime.actionIntf(), units);
    snapshotOf(out, runtime.tcamIntf(), units);
    return out;
}

std::size_t lastTransactionId() {
    MDB_envinfo info{};
    ::mdb_env_info(QelSharedMem::processEnvironment()->handle(), &info);
    return info.me_last_txnid;
}

DesiredUnit identicalPart(DesiredUnit const& previous, DesiredUnit const& next) {
    DesiredUnit same{.unitId = next.unitId};
    for (auto const& a : next.actionEntries)
        for (auto const& p : previous.actionEntries)
            if (a == p) same.actionEntries.push_back(a);
    for (auto const& k : next.keyEntries)
        for (auto const& p : previous.keyEntries)
            if (k == p) same.keyEntries.push_back(k);
    return same;
}

}  // namespace VornTest
