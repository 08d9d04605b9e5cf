#pragma once
// `tcam-agent run --dry-run`: the restart plan of a desired state against what a namespace has
// stored, per table and unit: how many entries a run would restore, rewrite, suppress as
// identical, add and sweep, and which keys it would sweep. It reads shared memory through one
// read-only snapshot (QelSharedMem::ReadOnlyView) and changes nothing, so it may run while an
// agent holds the namespace.
//
// The plan follows the library's restart rules: restored are the unit's live records that
// pass their checksum; a desired key with a restored record is suppressed when its entry
// equals the record (for action entries: same fields and same InLif key; the InLif indexes are
// not compared, since a restored InLif key is resolved to its stored allocation and the record
// made to agree with it before the rewrite is compared), otherwise rewritten; desired keys
// without a restored record are new; restored keys not desired are swept, or removed before
// writing when the restored entries and the new ones would not fit in the table together
// (RemoveFirst.h). A unit stored but not desired is reconciled: all of its entries are cleared,
// counted as swept.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "agent/commands/CommandOptions.h"
#include "agent/state/DesiredState.h"

namespace QelSharedMem {
class ReadOnlyView;
}

namespace VornTcamAgent {

struct DryRunUnit {
    Asic::UnitId unitId = 0;
    bool reconciled = false;  // stored but not desired: cleared
    std::uint64_t restored = 0;
    std::uint64_t rewritten = 0;
    std::uint64_t suppressed = 0;
    std::uint64_t added = 0;
    std::uint64_t swept = 0;
    std::uint64_t removedFirst = 0;    // restored keys not desired, removed before the writes (no room)
    std::uint64_t corruptRecords = 0;  // stored records failing their checksum (neither restored nor swept)
    // The keys swept, or removed before writing when removedFirst: formatted, in key order, at
    // most the limit.
    std::vector<std::string> sweptKeys;
};

struct DryRunTable {
    std::string table;
    std::vector<DryRunUnit> units;  // by unit number
};

struct DryRunPlan {
    std::string nameSpace;
    std::string source;
    bool exists = false;   // the namespace has shared memory
    bool restart = false;  // a run would take the restart path
    std::vector<DryRunTable> tables;
};

// The plan of `state` against `view` (null: nothing stored). `limit` caps each unit's list of
// swept keys.
DryRunPlan planRestart(QelSharedMem::ReadOnlyView const* view, DesiredState const& state,
                       std::optional<std::uint64_t> limit);

std::string dryRunText(DryRunPlan const& plan);
nlohmann::json dryRunJson(DryRunPlan const& plan);

// Reads the namespace, prints the plan and returns the exit status.
int dryRunCommand(RunOptions const& options, DesiredState const& state, std::string const& source,
                  std::string const& nameSpace);

}  // namespace VornTcamAgent
