#include "agent/commands/SweepAudit.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/runtime/Runtime.h"
#include "agent/view/StoredTables.h"
#include "contracts/asic/Constants.h"
#include "contracts/shm/SharedMem.h"
#include "entrylog/GuardedRead.h"

namespace VornTcamAgent {

namespace {

// One audit line.
std::string auditLine(std::string const& time, char const* table, Asic::UnitId unitId, std::string const& key,
                      Asic::LogVersion logVersion, char const* cause) {
    nlohmann::json const line{{"time", time}, {"table", table},           {"unit", unitId},
                              {"key", key},   {"logVersion", logVersion}, {"cause", cause}};
    return line.dump() + "\n";
}

// The keys with a pending remove, per unit, of one table interface.
template <typename Table, typename Intf>
std::map<Asic::UnitId, std::set<typename Table::Key>> pendingRemoves(Intf const& intf) {
    std::map<Asic::UnitId, std::set<typename Table::Key>> keys;
    for (auto [unitId, base] : intf->swTableSet()->swTables()) {
        auto table = Lumo::ptr_cast<Table>(base);
        if (!table) continue;
        auto& unitKeys = keys[unitId];
        table->transientRemoveEntryColl().forEach([&](auto const& key, auto const&) { unitKeys.insert(key); });
    }
    return keys;
}

// One line per key pending removal now that was not before.
template <typename Table, typename Intf, typename Keys>
void appendRemoved(std::string& lines, char const* tableName, Intf const& intf, Keys const& before,
                   std::string const& time, char const* cause) {
    for (auto const& [unitId, keys] : pendingRemoves<Table>(intf)) {
        auto const earlier = before.find(unitId);
        auto table = Lumo::ptr_cast<Table>(intf->swTableSet()->swTable(unitId));
        for (auto const& key : keys) {
            if (earlier != before.end() && earlier->second.count(key)) continue;
            lines += auditLine(time, tableName, unitId, keyText(key), table->entryLog()->entryLogVersion(key, unitId),
                               cause);
        }
    }
}

// One line per live key of every unit the interface's reconcile() will clear: the units with a
// stored configuration table and no software table, found as reconcile() finds them. Their
// configuration tables are mounted here already; the library's own mount then finds them so.
template <typename Intf>
void appendReconciled(std::string& lines, char const* tableName, Intf const& intf, Runtime const& runtime,
                      std::string const& time) {
    auto const& stateDb = runtime.orderedTableIntf()->entityManager();
    auto const shm = QelSharedMem::EntityManager::getEntityManager(stateDb->name(), stateDb->local());
    Lumo::String const pathBase = Asic::Constants::canonicalGroupTableConfigTesselPathBase(
        Asic::Constants::canonicalizeGroupName(intf->agentName(), intf->groupName()), intf->tableNamespace(),
        intf->tableName());
    auto const& log = intf->entryLog();
    for (auto const& path : shm->findEntities(pathBase, QelSharedMem::QelSharedMemType::tessel)) {
        Asic::UnitId const unitId = Asic::Constants::getUnitIdFromConfigPath(path);
        if (intf->swTableSet()->swTableHas(unitId)) continue;
        if (!log->tableConfigTesselHas(unitId))
            log->mountTesselConfig(unitId, runtime.group()->tableVersion(intf->tableId()).value_or(0));
        VornTunnelTcamMgr::entrylog::forEachRecord(
            log->tableConfigTessel(unitId)->swTableEntries(), [&](auto const& record) {
                if (!record.inDeletion)
                    lines += auditLine(time, tableName, unitId, keyText(record.key()), record.logVersion, "reconcile");
            });
    }
}

std::string utcNow() {
    auto const now = std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
    auto const millis = now.time_since_epoch().count() % 1000;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", fmt::gmtime(std::chrono::system_clock::to_time_t(now)), millis);
}

std::uint64_t lineCount(std::string const& lines) {
    return static_cast<std::uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
}

}  // namespace

SweepAudit::SweepAudit(std::string const& path) : file_("--sweep-audit", path) {}

std::vector<Asic::UnitId> SweepAudit::reconcile(Runtime& runtime) {
    std::string lines;
    std::string const time = utcNow();
    appendReconciled(lines, TcamActionFamily::kName, runtime.actionIntf(), runtime, time);
    appendReconciled(lines, TcamFamily::kName, runtime.tcamIntf(), runtime, time);
    if (!lines.empty()) file_.append(lines);
    return runtime.reconcile();
}

std::uint64_t SweepAudit::sweepAll(Runtime& runtime) {
    return auditRemoves(
        runtime, [&] { runtime.sweepAll(); }, "sweep");
}

std::uint64_t SweepAudit::removeBeforeWriting(Runtime& runtime, std::function<void()> const& issueRemoves) {
    return auditRemoves(runtime, issueRemoves, "removeBeforeWriting");
}

std::uint64_t SweepAudit::auditRemoves(Runtime& runtime, std::function<void()> const& issueRemoves, char const* cause) {
    using VornTunnelTcamMgr::TcamActionSwTable;
    using VornTunnelTcamMgr::TcamSwTable;
    auto const tcamBefore = pendingRemoves<TcamSwTable>(runtime.tcamIntf());
    auto const actionBefore = pendingRemoves<TcamActionSwTable>(runtime.actionIntf());
    issueRemoves();
    std::string lines;
    std::string const time = utcNow();
    appendRemoved<TcamSwTable>(lines, TcamFamily::kName, runtime.tcamIntf(), tcamBefore, time, cause);
    appendRemoved<TcamActionSwTable>(lines, TcamActionFamily::kName, runtime.actionIntf(), actionBefore, time, cause);
    if (!lines.empty()) file_.append(lines);
    return lineCount(lines);
}

}  // namespace VornTcamAgent
