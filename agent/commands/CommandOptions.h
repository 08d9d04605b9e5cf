#pragma once
// What the command line asks of each tcam-agent command, filled in by main.cpp and read by the
// commands. Exit statuses shared by all commands are here too.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "contracts/asic/Types.h"

namespace VornTcamAgent {

// Exit statuses of tcam-agent.
inline constexpr int kExitOk = 0;        // every request completed (run), or done (show, clean)
inline constexpr int kExitFailed = 1;    // a request failed or was never answered, or the run broke off
inline constexpr int kExitBadInput = 2;  // bad command line or desired state; nothing was touched
inline constexpr int kExitBusy = 3;      // another agent holds the namespace; nothing was touched
// Every request completed, but the run leaves records it knows are damaged or stale.
inline constexpr int kExitLeftDamaged = 5;
// The store cannot be used now (reader table full, out of memory or descriptors, lock file held,
// another LMDB data version); it is not damaged and nothing was touched.
inline constexpr int kExitStoreUnavailable = 6;

// What `run` programs when given neither a state file nor --generate.
inline constexpr std::uint64_t kDefaultGenerate = 1000;
inline constexpr std::uint64_t kDefaultSeed = 1;
inline std::vector<Asic::UnitId> defaultUnits() { return {0, 1}; }

struct RunOptions {
    std::optional<std::string> stateFile;   // --state
    std::optional<std::uint64_t> generate;  // --generate N
    std::optional<std::string> units;       // --units (with --generate), "0,1"
    std::uint64_t seed = kDefaultSeed;      // --seed
    std::optional<double> mutate;           // --mutate F
    bool json = false;                      // --json
    std::optional<int> completionsFd;       // --completions-fd
    std::optional<std::string> nameSpace;   // --namespace
    std::vector<std::string> trace;         // --trace HANDLE/LEVEL,...
    bool dryRun = false;                    // --dry-run
    std::optional<std::uint64_t> limit;     // --limit (swept keys listed per unit by --dry-run)
    std::optional<std::string> sweepAudit;  // --sweep-audit FILE
};

struct ShowOptions {
    bool json = false;
    std::optional<std::string> nameSpace;
    bool entries = false;                // --entries
    std::optional<std::string> table;    // --table
    std::optional<Asic::UnitId> unit;    // --unit
    std::optional<std::string> key;      // --key (a key or a prefix of one)
    std::optional<std::uint64_t> limit;  // --limit
};

struct CleanOptions {
    std::optional<std::string> nameSpace;
};

}  // namespace VornTcamAgent
