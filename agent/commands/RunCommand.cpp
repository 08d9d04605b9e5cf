#include "agent/commands/RunCommand.h"

#include <fmt/format.h>

#include <chrono>
#include <memory>
#include <set>
#include <vector>

#include "agent/commands/CompletionWriter.h"
#include "agent/commands/DamageCheck.h"
#include "agent/commands/DryRun.h"
#include "agent/commands/EnvironmentCheck.h"
#include "agent/commands/ErrorReport.h"
#include "agent/commands/Output.h"
#include "agent/commands/Progress.h"
#include "agent/commands/RemoveFirst.h"
#include "agent/commands/StoredFit.h"
#include "agent/commands/Summary.h"
#include "agent/commands/SweepAudit.h"
#include "agent/commands/TraceSettings.h"
#include "agent/runtime/Programmer.h"
#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredStateGenerate.h"
#include "agent/state/DesiredStateJson.h"
#include "agent/state/EchoText.h"
#include "agent/state/OptionValues.h"
#include "agent/view/AgentSetup.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/StoreUnavailable.h"

namespace VornTcamAgent {

namespace {

using VornTunnelTcamMgr::TcamActionSwTable;
using VornTunnelTcamMgr::TcamSwTable;

// The runtime's settings. VORN_AGENT_INLIF_POOL_SIZE (checked with the command line) shrinks
// both InLif pools: a trial hook that makes InLif allocations fail on purpose, as when other
// features hold the indexes. The up-front checks still use the full pools.
RuntimeOptions runtimeOptions() {
    RuntimeOptions options;
    if (auto const size = inLifPoolSizeFromEnvironment())
        options.inLif.inLif0PoolSize = options.inLif.inLif23PoolSize = *size;
    return options;
}

// The desired state the options ask for, checked whole; `source` describes it for the summary.
DesiredState desiredState(RunOptions const& options, std::string& source) {
    DesiredState state;
    if (options.stateFile) {
        state = loadDesiredState(*options.stateFile);
        source = fmt::format("desired state from {}", echoText(*options.stateFile, kEchoNameBytes));
    } else {
        std::uint64_t const n = options.generate.value_or(kDefaultGenerate);
        std::vector<Asic::UnitId> units = defaultUnits();
        try {
            if (options.units) units = parseUnitList(*options.units);
        } catch (std::invalid_argument const& e) {
            throw BadInput(fmt::format("--units: {}", e.what()));
        }
        try {
            checkGenerateSize(units.size(), n);
        } catch (std::invalid_argument const& e) {
            throw BadInput(fmt::format("--generate: {}", e.what()));
        }
        try {
            state = generate(units, static_cast<std::size_t>(n), options.seed);
        } catch (std::invalid_argument const& e) {
            throw BadInput(fmt::format("--units: {}", e.what()));
        }
        std::string unitText;
        for (auto unit : units) unitText += (unitText.empty() ? "" : ",") + std::to_string(unit);
        source = fmt::format("generated {} entries per table on units {} (seed {})", n, unitText, options.seed);
    }
    if (options.mutate) {
        try {
            state = mutate(state, options.seed + 1, *options.mutate);
        } catch (std::invalid_argument const& e) {
            throw BadInput(fmt::format("--mutate: {}", e.what()));
        }
        source += fmt::format(", mutated {:g} (seed {})", *options.mutate, options.seed + 1);
    }
    validate(state);
    return state;
}

// What a unit's table held when it was brought up, for telling rewrites from new entries.
template <typename Table>
std::set<typename Table::Key> keysOf(Table const& table) {
    std::set<typename Table::Key> keys;
    for (auto it = table.entryIteratorConst(); it; ++it) keys.insert(it->key());
    return keys;
}

// The keys a unit's desired state holds, per table.
std::set<VornTunnelTcamMgr::TcamEntryKey> desiredTcamKeys(DesiredUnit const& unit) {
    std::set<VornTunnelTcamMgr::TcamEntryKey> keys;
    for (auto const& k : unit.keyEntries) keys.insert(k.key());
    return keys;
}

std::set<VornTunnelTcamMgr::TcamActionEntryKey> desiredActionKeys(DesiredUnit const& unit) {
    std::set<VornTunnelTcamMgr::TcamActionEntryKey> keys;
    for (auto const& a : unit.actionEntries) keys.insert(a.key());
    return keys;
}

// Restored entries removed before the writes, per table and unit.
using RemovedFirst = std::map<std::pair<TableKind, Asic::UnitId>, std::uint64_t>;

// Removes the stale restored entries of every table whose peak would not fit (RemoveFirst.h),
// with an audit line per key when there is an audit file, and runs the event loop until those
// removals are committed and confirmed.
RemovedFirst removeBeforeWriting(Runtime& runtime, DesiredState const& state,
                                 std::map<Asic::UnitId, std::set<VornTunnelTcamMgr::TcamEntryKey>> const& tcam,
                                 std::map<Asic::UnitId, std::set<VornTunnelTcamMgr::TcamActionEntryKey>> const& action,
                                 SweepAudit* audit) {
    RemovedFirst removed;
    std::uint64_t total = 0;
    auto const issueRemoves = [&] {
        for (auto const& unit : state.units) {
            UnitTables const& tables = *runtime.unit(unit.unitId);
            auto const& storedKeys = tcam.at(unit.unitId);
            auto const& storedActions = action.at(unit.unitId);
            // Only a table that could overflow has its desired keys collected.
            if (storedKeys.size() + unit.keyEntries.size() > tcamTableCapacity())
                total += removed[{TableKind::tcam, unit.unitId}] =
                    removeStaleFirst(*tables.tcam, tcamTableCapacity(), storedKeys, desiredTcamKeys(unit));
            if (storedActions.size() + unit.actionEntries.size() > actionTableCapacity())
                total += removed[{TableKind::action, unit.unitId}] =
                    removeStaleFirst(*tables.action, actionTableCapacity(), storedActions, desiredActionKeys(unit));
        }
    };
    if (audit) {
        audit->removeBeforeWriting(runtime, issueRemoves);
    } else {
        issueRemoves();
    }
    if (total > 0) runtime.runUntilIdle();
    return removed;
}

// The report of one table: every unit that has a software table now, brought up or reconciled.
template <typename Table, typename Intf, typename Key>
TableReport tableReport(TableKind kind, Intf const& intf, Programmer const& programmer, DesiredState const& state,
                        std::map<Asic::UnitId, std::set<Key>> const& restored, RemovedFirst const& removedFirst,
                        std::set<Key> (*desired)(DesiredUnit const&)) {
    TableReport report;
    report.table = std::string(toString(kind));
    report.logVersion = intf->entryLog()->tableVersion();
    report.tableStatusVersion = intf->swTableStatus()->version();
    std::map<Asic::UnitId, Lumo::Ptr<Table>> tables;
    for (auto [unitId, table] : intf->swTableSet()->swTables()) tables[unitId] = Lumo::ptr_cast<Table>(table);
    std::vector<Asic::UnitId> unitIds;
    unitIds.reserve(tables.size());
    for (auto const& entry : tables) unitIds.push_back(entry.first);
    bool const damaged = metDamage(*intf->entryLog(), unitIds);
    checkDamage(*intf->entryLog(), damaged, report);
    for (auto const& [unitId, table] : tables) {
        UnitReport u;
        u.unitId = unitId;
        u.entries = table->entrys();
        table->stats()->forEachCounter(
            [&](char const* name, std::uint64_t value) { u.counters.emplace_back(name, value); });
        DesiredUnit const* wanted = state.findUnit(unitId);
        auto const restoredKeys = restored.find(unitId);
        if (wanted == nullptr || restoredKeys == restored.end()) {
            u.reconciled = true;
            checkDamage(*intf->entryLog(), unitId, damaged, std::set<Key>{}, u);
            report.units.push_back(std::move(u));
            continue;
        }
        if (auto found = programmer.allProgress().find({kind, unitId}); found != programmer.allProgress().end()) {
            u.written = found->second.written;
            u.completed = found->second.completed;
            u.failedKeys = found->second.failedKeys;
        }
        std::set<Key> const wantedKeys = desired(*wanted);
        u.restored = restoredKeys->second.size();
        std::uint64_t again = 0;
        for (auto const& key : wantedKeys) again += restoredKeys->second.count(key);
        for (auto const& key : restoredKeys->second) u.swept += wantedKeys.count(key) == 0 ? 1 : 0;
        if (auto const found = removedFirst.find({kind, unitId}); found != removedFirst.end()) {
            u.removedFirst = found->second;
            u.swept -= found->second;
        }
        u.suppressed = table->stats()->suppressedWriteCnt();
        u.rewritten = again >= u.suppressed ? again - u.suppressed : 0;
        u.added = wantedKeys.size() - again;
        checkDamage(*intf->entryLog(), unitId, damaged, wantedKeys, u);
        report.units.push_back(std::move(u));
    }
    return report;
}

int programAndReport(RunOptions const& options, DesiredState const& state, std::string const& source,
                     std::string const& nameSpace, std::unique_ptr<CompletionWriter> completions,
                     std::unique_ptr<SweepAudit> audit) {
    auto const start = std::chrono::steady_clock::now();
    Runtime runtime(runtimeOptions());
    RunReport report;
    report.nameSpace = nameSpace;
    report.source = source;
    report.restart =
        runtime.tcamIntf()->entryLog()->tableVersion() > 0 || runtime.actionIntf()->entryLog()->tableVersion() > 0;

    std::map<Asic::UnitId, std::set<VornTunnelTcamMgr::TcamEntryKey>> restoredTcam;
    std::map<Asic::UnitId, std::set<VornTunnelTcamMgr::TcamActionEntryKey>> restoredAction;
    for (auto const& unit : state.units) {
        UnitTables const& tables = runtime.bringUp(unit.unitId);
        restoredAction[unit.unitId] = keysOf(*tables.action);
        restoredTcam[unit.unitId] = keysOf(*tables.tcam);
        if (!restoredAction[unit.unitId].empty() || !restoredTcam[unit.unitId].empty()) report.restart = true;
    }
    report.reconciledUnits = audit ? audit->reconcile(runtime) : runtime.reconcile();
    if (!report.reconciledUnits.empty()) report.restart = true;

    RemovedFirst const removedFirst = removeBeforeWriting(runtime, state, restoredTcam, restoredAction, audit.get());

    std::uint64_t total = 0;
    for (auto const& unit : state.units) total += unit.actionEntries.size() + unit.keyEntries.size();
    Progress progress(total);
    Programmer programmer(runtime, [&](TableKind, Asic::UnitId, std::string const&, bool) { progress.answered(); });
    if (completions) programmer.entrySinkIs([&](Completion const& c) { (*completions)(c); });
    programmer.write(state);
    if (audit) {
        audit->sweepAll(runtime);
    } else {
        runtime.sweepAll();
    }
    runtime.runUntilIdle();
    progress.finish();
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.relaunchMajorId = runtime.relaunchMajorId();

    report.tables.push_back(tableReport<TcamSwTable>(TableKind::tcam, runtime.tcamIntf(), programmer, state,
                                                     restoredTcam, removedFirst, &desiredTcamKeys));
    report.tables.push_back(tableReport<TcamActionSwTable>(TableKind::action, runtime.actionIntf(), programmer, state,
                                                           restoredAction, removedFirst, &desiredActionKeys));
    std::string const summary =
        options.json ? summaryJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"
                     : summaryText(report);
    if (auto problem = printResult(summary)) return reportError({"run", kExitFailed, *problem}, false);
    if (!report.allCompleted()) {
        printMessage(fmt::format("tcam-agent run: {} of {} requests failed\n{}", report.failed(), report.requests(),
                                 failureText(report)));
        return kExitFailed;
    }
    if (report.damagedLeft() + report.staleLeft() == 0) return kExitOk;
    printMessage(fmt::format("tcam-agent run: {}", leftOverText(report)));
    return kExitLeftDamaged;
}

}  // namespace

int runCommand(RunOptions const& options) {
    // Everything the user gave is checked before shared memory is opened: a bad input leaves
    // it as it was (not even created).
    std::string source;
    DesiredState state;
    std::string nameSpace;
    std::unique_ptr<CompletionWriter> completions;
    std::unique_ptr<SweepAudit> audit;
    try {
        state = desiredState(options, source);
        enableTraces(options.trace);
        if (options.completionsFd) completions = std::make_unique<CompletionWriter>(*options.completionsFd);
        nameSpace = selectNamespace(options.nameSpace);
        if (options.sweepAudit) audit = std::make_unique<SweepAudit>(*options.sweepAudit);
    } catch (DesiredStateError const& e) {
        return reportError({"run", kExitBadInput, e.what(), &e}, options.json);
    } catch (BadInput const& e) {
        return reportError({"run", kExitBadInput, e.what()}, options.json);
    }
    if (options.dryRun) return dryRunCommand(options, state, source, nameSpace);
    try {
        // The only writer of the namespace from here on: what the capacity check reads is what
        // the run starts from, and the audit file is created only by a run that goes ahead.
        QelSharedMem::NamespaceLock const agentLock(nameSpace);
        try {
            checkFitsStored(state, nameSpace);
            if (audit) audit->open();
        } catch (DesiredStateError const& e) {
            return reportError({"run", kExitBadInput, e.what(), &e}, options.json);
        } catch (BadInput const& e) {
            return reportError({"run", kExitBadInput, e.what()}, options.json);
        }
        return programAndReport(options, state, source, nameSpace, std::move(completions), std::move(audit));
    } catch (QelSharedMem::NamespaceBusyError const& e) {
        return reportError({"run", kExitBusy, e.what()}, options.json);
    } catch (QelSharedMem::StoreUnavailableError const& e) {
        return reportError({"run", kExitStoreUnavailable, e.what()}, options.json);
    } catch (std::exception const& e) {
        return reportError({"run", kExitFailed, e.what()}, options.json);
    }
}

}  // namespace VornTcamAgent
