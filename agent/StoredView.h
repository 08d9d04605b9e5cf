#pragma once
// What a namespace's shared memory holds for the two tables, read without changing anything
// (QelSharedMem::ReadOnlyView): per table the change log and per unit the configuration
// records, live and in deletion, and the agent's relaunch major id. One snapshot: an agent
// writing meanwhile is seen as of one committed transaction.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "contracts/asic/Types.h"

namespace VornTcamAgent {

struct StoredEntry {
    std::string key;       // the key as formatted
    nlohmann::json entry;  // entryJson() of the stored entry
};

struct StoredUnit {
    Asic::UnitId unitId = 0;
    std::vector<StoredEntry> live;
    std::vector<StoredEntry> inDeletion;
    std::uint64_t corruptRecords = 0;  // failing their checksum; not shown
};

struct StoredChangeLog {
    bool present = false;
    std::uint64_t records = 0;
    std::uint64_t oldestVersion = 0;  // 0 when empty
    std::uint64_t newestVersion = 0;
    std::uint64_t scratchpad = 0;
};

struct StoredTable {
    std::string table;  // "Tcam" or "TcamAction"
    StoredChangeLog changeLog;
    std::vector<StoredUnit> units;
};

struct StoredView {
    std::string nameSpace;
    bool exists = false;  // the namespace's files exist
    std::uint64_t relaunchMajorId = 0;
    std::vector<StoredTable> tables;
};

// Reads namespace `nameSpace`. A namespace that does not exist gives an empty view.
StoredView readStoredView(std::string const& nameSpace);

}  // namespace VornTcamAgent
