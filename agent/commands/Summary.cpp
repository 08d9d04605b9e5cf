#include "agent/commands/Summary.h"

#include <fmt/format.h>

#include <array>

namespace VornTcamAgent {

namespace {

// Failed requests listed with their reason: per unit, and per failure class over the run.
constexpr std::size_t kUnitFailuresListed = 10;
constexpr std::size_t kClassFailuresListed = 5;

// One failed request of the run, where it happened.
struct PlacedFailure {
    std::string const* table;
    Asic::UnitId unitId;
    Failure const* failure;
};

// Per class: the first failures of the run, in report order.
std::array<std::vector<PlacedFailure>, kFailureClasses> firstFailures(RunReport const& report) {
    std::array<std::vector<PlacedFailure>, kFailureClasses> first;
    for (auto const& t : report.tables)
        for (auto const& u : t.units)
            for (auto const& f : u.failedKeys) {
                auto& list = first[static_cast<std::size_t>(f.failureClass)];
                if (list.size() < kClassFailuresListed) list.push_back({&t.table, u.unitId, &f});
            }
    return first;
}

std::string unitList(std::vector<Asic::UnitId> const& units) {
    if (units.empty()) return "none";
    std::string text;
    for (auto unit : units) text += (text.empty() ? "" : ",") + std::to_string(unit);
    return text;
}

void appendUnit(std::string& out, UnitReport const& u) {
    if (u.reconciled) {
        out += fmt::format("  unit {}: reconciled (stored, not desired: cleared), {} entries\n", u.unitId, u.entries);
    } else {
        out += fmt::format("  unit {}: {} entries; {} written, {} completed, {} failed", u.unitId, u.entries, u.written,
                           u.completed, u.failedKeys.size());
        if (u.unanswered() > 0) out += fmt::format(", {} unanswered", u.unanswered());
        out += fmt::format("\n          restored {}, rewritten {}, suppressed as identical {}, new {}, swept {}",
                           u.restored, u.rewritten, u.suppressed, u.added, u.swept);
        if (u.removedFirst > 0) out += fmt::format(", removed before writing {} (no room)", u.removedFirst);
        out += "\n";
    }
    if (u.damagedRemoved + u.damagedLeft + u.staleLeft > 0)
        out += fmt::format("          damaged records removed {}; left: damaged {}, stale {}\n", u.damagedRemoved,
                           u.damagedLeft, u.staleLeft);
    std::string counters;
    for (auto const& [name, value] : u.counters)
        counters += fmt::format("{}{} {}", counters.empty() ? "" : ", ", name, value);
    out += fmt::format("          counters: {}\n", counters);
    for (std::size_t i = 0; i < u.failedKeys.size() && i < kUnitFailuresListed; ++i)
        out += fmt::format("          failed: {}: {}\n", u.failedKeys[i].key, u.failedKeys[i].reason);
    if (u.failedKeys.size() > kUnitFailuresListed)
        out += fmt::format("          ... and {} more failed\n", u.failedKeys.size() - kUnitFailuresListed);
}

nlohmann::json failureJson(Failure const& f) {
    return {{"key", f.key}, {"class", toString(f.failureClass)}, {"reason", f.reason}};
}

}  // namespace

std::string summaryText(RunReport const& report) {
    std::string out = fmt::format("tcam-agent run: namespace \"{}\", {}\n", report.nameSpace, report.source);
    out += fmt::format("{}; relaunch major id {}; units reconciled: {}\n",
                       report.restart ? "restart: restored, marked, rewritten and swept" : "first run: nothing stored",
                       report.relaunchMajorId, unitList(report.reconciledUnits));
    for (auto const& table : report.tables) {
        out += fmt::format("{}: log version {}, table-status version {}\n", table.table, table.logVersion,
                           table.tableStatusVersion);
        if (table.changeLogDamagedRemoved + table.changeLogStaleLeft > 0)
            out += fmt::format("  change log: damaged records removed {}; stale records left {}\n",
                               table.changeLogDamagedRemoved, table.changeLogStaleLeft);
        for (auto const& unit : table.units) appendUnit(out, unit);
    }
    out += fmt::format("{} of {} requests completed, {} failed, in {:.3f} s ({:.0f} entries/s)\n", report.completed(),
                       report.requests(), report.failed(), report.seconds, report.requestsPerSecond());
    return out + failureText(report) + leftOverText(report);
}

std::string leftOverText(RunReport const& report) {
    if (report.damagedLeft() + report.staleLeft() == 0) return {};
    return fmt::format("left {} damaged and {} stale records; the next run removes them\n", report.damagedLeft(),
                       report.staleLeft());
}

std::string failureText(RunReport const& report) {
    std::string out;
    FailureCounts const counts = report.failureCounts();
    auto const first = firstFailures(report);
    for (std::size_t c = 0; c < kFailureClasses; ++c) {
        if (counts[c] == 0) continue;
        auto const cls = static_cast<FailureClass>(c);
        out += fmt::format("failed, {}: {} {}\n", toString(cls), counts[c], describe(cls));
        for (auto const& p : first[c])
            out += fmt::format("  {} unit {} {}: {}\n", *p.table, p.unitId, p.failure->key, p.failure->reason);
        if (counts[c] > first[c].size() && !first[c].empty())
            out += fmt::format("  ... and {} more\n", counts[c] - first[c].size());
    }
    return out;
}

nlohmann::json summaryJson(RunReport const& report) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& table : report.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (auto const& u : table.units) {
            nlohmann::json failures = nlohmann::json::array();
            for (std::size_t i = 0; i < u.failedKeys.size() && i < kUnitFailuresListed; ++i)
                failures.push_back(failureJson(u.failedKeys[i]));
            nlohmann::json counters = nlohmann::json::object();
            for (auto const& [name, value] : u.counters) counters[name] = value;
            units.push_back({
                {"unit", u.unitId},
                {"reconciled", u.reconciled},
                {"entries", u.entries},
                {"restored", u.restored},
                {"written", u.written},
                {"completed", u.completed},
                {"failed", u.failedKeys.size()},
                {"unanswered", u.unanswered()},
                {"rewritten", u.rewritten},
                {"suppressed", u.suppressed},
                {"new", u.added},
                {"swept", u.swept},
                {"removedBeforeWriting", u.removedFirst},
                {"damagedRemoved", u.damagedRemoved},
                {"damagedLeft", u.damagedLeft},
                {"staleLeft", u.staleLeft},
                {"failures", std::move(failures)},
                {"counters", std::move(counters)},
            });
        }
        tables.push_back({
            {"table", table.table},
            {"logVersion", table.logVersion},
            {"tableStatusVersion", table.tableStatusVersion},
            {"changeLogDamagedRemoved", table.changeLogDamagedRemoved},
            {"changeLogStaleLeft", table.changeLogStaleLeft},
            {"units", std::move(units)},
        });
    }
    nlohmann::json classes = nlohmann::json::array();
    FailureCounts const counts = report.failureCounts();
    auto const first = firstFailures(report);
    for (std::size_t c = 0; c < kFailureClasses; ++c) {
        if (counts[c] == 0) continue;
        nlohmann::json listed = nlohmann::json::array();
        for (auto const& p : first[c]) {
            nlohmann::json f = failureJson(*p.failure);
            f["table"] = *p.table;
            f["unit"] = p.unitId;
            listed.push_back(std::move(f));
        }
        classes.push_back(
            {{"class", toString(static_cast<FailureClass>(c))}, {"count", counts[c]}, {"first", std::move(listed)}});
    }
    return nlohmann::json{
        {"namespace", report.nameSpace},
        {"source", report.source},
        {"restart", report.restart},
        {"relaunchMajorId", report.relaunchMajorId},
        {"unitsReconciled", report.reconciledUnits},
        {"requests", report.requests()},
        {"completed", report.completed()},
        {"failed", report.failed()},
        {"failures", std::move(classes)},
        {"damagedLeft", report.damagedLeft()},
        {"staleLeft", report.staleLeft()},
        {"seconds", report.seconds},
        {"entriesPerSecond", report.requestsPerSecond()},
        {"tables", std::move(tables)},
    };
}

}  // namespace VornTcamAgent
