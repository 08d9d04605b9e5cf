#include "agent/commands/DryRun.h"

#include <fmt/format.h>

#include "agent/commands/ErrorReport.h"
#include "agent/commands/Output.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/StoreUnavailable.h"

namespace VornTcamAgent {

nlohmann::json dryRunJson(DryRunPlan const& plan) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& t : plan.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (auto const& u : t.units)
            units.push_back({{"unit", u.unitId},
                             {"reconciled", u.reconciled},
                             {"restored", u.restored},
                             {"rewritten", u.rewritten},
                             {"suppressed", u.suppressed},
                             {"new", u.added},
                             {"swept", u.swept},
                             {"removedBeforeWriting", u.removedFirst},
                             {"corruptRecords", u.corruptRecords},
                             {u.removedFirst ? "removedBeforeWritingKeys" : "sweptKeys", u.sweptKeys},
                             {u.removedFirst ? "removedBeforeWritingKeysTruncated" : "sweptKeysTruncated",
                              u.sweptKeys.size() < u.swept + u.removedFirst}});
        tables.push_back({{"table", t.table}, {"units", std::move(units)}});
    }
    return nlohmann::json{{"namespace", plan.nameSpace}, {"source", plan.source},   {"dryRun", true},
                          {"exists", plan.exists},       {"restart", plan.restart}, {"tables", std::move(tables)}};
}

std::string dryRunText(DryRunPlan const& plan) {
    std::string out = fmt::format("dry run on namespace \"{}\" ({}): {}; nothing was changed\n", plan.nameSpace,
                                  plan.exists ? "stored" : "no shared memory", plan.source);
    out += plan.restart ? "a run would restart: restore, mark, rewrite, sweep\n" : "a run would be a first run\n";
    for (auto const& t : plan.tables) {
        out += fmt::format("{}:\n", t.table);
        for (auto const& u : t.units) {
            if (u.reconciled) {
                out += fmt::format("  unit {}: stored but not desired, reconciled: {} swept", u.unitId, u.swept);
            } else {
                out += fmt::format("  unit {}: {} restored, {} rewritten, {} suppressed, {} new, {} swept", u.unitId,
                                   u.restored, u.rewritten, u.suppressed, u.added, u.swept);
                if (u.removedFirst) out += fmt::format(", {} removed before writing (no room)", u.removedFirst);
            }
            if (u.corruptRecords) out += fmt::format(", {} records failing their checksum", u.corruptRecords);
            out += "\n";
            char const* const verb = u.removedFirst ? "removes before writing" : "sweeps";
            for (auto const& key : u.sweptKeys) out += fmt::format("    {} {}\n", verb, key);
            if (u.sweptKeys.size() < u.swept + u.removedFirst)
                out += fmt::format("    ... and {} more (--limit)\n", u.swept + u.removedFirst - u.sweptKeys.size());
        }
    }
    return out;
}

int dryRunCommand(RunOptions const& options, DesiredState const& state, std::string const& source,
                  std::string const& nameSpace) {
    std::string text;
    try {
        // One read snapshot, no lock: what an agent writes meanwhile is seen as of one commit.
        std::unique_ptr<QelSharedMem::ReadOnlyView> const view = QelSharedMem::ReadOnlyView::open(nameSpace);
        DryRunPlan plan = planRestart(view.get(), state, options.limit);
        plan.nameSpace = nameSpace;
        plan.source = source;
        text = options.json ? dryRunJson(plan).dump(2) + "\n" : dryRunText(plan);
    } catch (QelSharedMem::StoreUnavailableError const& e) {
        return reportError({"run", kExitStoreUnavailable, fmt::format("--dry-run: {}", e.what())}, options.json);
    } catch (std::exception const& e) {
        return reportError({"run", kExitFailed, fmt::format("--dry-run: {}", e.what())}, options.json);
    }
    if (auto problem = printResult(text)) return reportError({"run", kExitFailed, *problem}, false);
    return kExitOk;
}

}  // namespace VornTcamAgent
