#include "agent/Summary.h"

#include <fmt/format.h>

namespace VornTcamAgent {

namespace {

// Failed keys listed in the text form; the JSON form lists all.
constexpr std::size_t kFailuresShown = 20;

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
        out += fmt::format("\n          restored {}, rewritten {}, suppressed as identical {}, new {}, swept {}\n",
                           u.restored, u.rewritten, u.suppressed, u.added, u.swept);
    }
    std::string counters;
    for (auto const& [name, value] : u.counters)
        counters += fmt::format("{}{} {}", counters.empty() ? "" : ", ", name, value);
    out += fmt::format("          counters: {}\n", counters);
    for (std::size_t i = 0; i < u.failedKeys.size() && i < kFailuresShown; ++i)
        out += fmt::format("          failed: {}\n", u.failedKeys[i]);
    if (u.failedKeys.size() > kFailuresShown)
        out += fmt::format("          ... and {} more failed\n", u.failedKeys.size() - kFailuresShown);
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
        for (auto const& unit : table.units) appendUnit(out, unit);
    }
    out += fmt::format("{} of {} requests completed, {} failed, in {:.3f} s ({:.0f} entries/s)\n", report.completed(),
                       report.requests(), report.failed(), report.seconds, report.requestsPerSecond());
    return out;
}

nlohmann::json summaryJson(RunReport const& report) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& table : report.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (auto const& u : table.units) {
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
                {"failures", u.failedKeys},
                {"counters", std::move(counters)},
            });
        }
        tables.push_back({
            {"table", table.table},
            {"logVersion", table.logVersion},
            {"tableStatusVersion", table.tableStatusVersion},
            {"units", std::move(units)},
        });
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
        {"seconds", report.seconds},
        {"entriesPerSecond", report.requestsPerSecond()},
        {"tables", std::move(tables)},
    };
}

}  // namespace VornTcamAgent
