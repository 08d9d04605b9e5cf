#pragma once
// What a namespace's shared memory holds for the two tables, read without changing anything
// (QelSharedMem::ReadOnlyView): per table the change log and per unit the configuration
// records, live and in deletion, and the agent's relaunch major id. One snapshot: an agent
// writing meanwhile is seen as of one committed transaction.
//
// The counts are always read; the entries (as JSON, which costs far more than counting) only
// when asked for, narrowed by table, unit, key prefix and a limit.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "contracts/asic/Types.h"

namespace QelSharedMem {
class ReadOnlyView;
}

namespace VornTcamAgent {

struct StoredEntry {
    std::string key;       // the key as formatted
    nlohmann::json entry;  // entryJson() of the stored entry
};

struct StoredUnit {
    Asic::UnitId unitId = 0;
    std::uint64_t liveCount = 0;
    std::uint64_t inDeletionCount = 0;
    std::uint64_t corruptRecords = 0;  // failing their checksum; not counted above, never shown
    bool wiped = false;                // the configuration table's wiped flag
    // Filled only when entries are asked for, and then only those that match.
    std::vector<StoredEntry> live;
    std::vector<StoredEntry> inDeletion;
};

struct StoredChangeLog {
    bool present = false;
    bool wiped = false;
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

// A process other than the reader's own that LMDB's reader table lists for the store.
struct StoredReader {
    std::int64_t pid = 0;
    std::optional<std::uint64_t> snapshot;  // the transaction it reads; nothing between reads
    std::uint64_t behind = 0;  // commits since its snapshot, whose freed pages cannot be reused while it reads
};

struct StoredView {
    std::string nameSpace;
    bool exists = false;  // the namespace's files exist
    bool withEntries = false;
    bool truncated = false;  // the entry limit left matching entries out
    std::uint64_t relaunchMajorId = 0;
    std::vector<StoredTable> tables;
    std::vector<StoredReader> readers;  // the live readers of other processes
    unsigned readerSlots = 0;           // the reader table's size
};

// What to read besides the counts.
struct StoredViewRequest {
    bool entries = false;                // read the entries too
    std::optional<std::string> table;    // only this table ("Tcam" or "TcamAction")
    std::optional<Asic::UnitId> unit;    // only this unit
    std::string keyPrefix;               // only entries whose formatted key starts with it
    std::optional<std::uint64_t> limit;  // at most this many entries in all

    static StoredViewRequest everything() {
        StoredViewRequest r;
        r.entries = true;
        return r;
    }
};

// The table names a request may name.
bool knownTable(std::string const& name);

// Reads namespace `nameSpace`. A namespace that does not exist gives an empty view.
StoredView readStoredView(std::string const& nameSpace,
                          StoredViewRequest const& request = StoredViewRequest::everything());
// Reads an open view (of namespace `nameSpace`).
StoredView readStoredView(QelSharedMem::ReadOnlyView const& view, std::string const& nameSpace,
                          StoredViewRequest const& request);

}  // namespace VornTcamAgent
