#pragma once
// Removal before writing. A unit's table keeps the entries it restored until the sweep after the
// writes, so during a run it holds the restored entries and the desired entries not restored.
// When that peak exceeds what the table holds (a near-full table whose desired state changed),
// the agent first removes the restored entries the desired state no longer holds, with ordinary
// removes after restore, lets them commit and the hardware confirm them (which frees their
// records), and only then writes. The sweep then has nothing of them left to remove. The dry
// run plans with the same rule.
#include <cstdint>
#include <set>

#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"

namespace VornTcamAgent {

// The entries a unit's table holds: the capacity its configuration table is mounted with.
inline std::uint64_t tcamTableCapacity() { return VornTunnelTcamMgr::TcamEntryLog::configCapacity(); }
inline std::uint64_t actionTableCapacity() { return VornTunnelTcamMgr::TcamActionEntryLog::configCapacity(); }

// Whether a table holding `restored` entries must shed the stale ones before `added` desired
// entries that it does not hold are written.
inline bool mustRemoveFirst(std::uint64_t restored, std::uint64_t added, std::uint64_t capacity) {
    return restored + added > capacity;
}

// Removes the restored keys `desired` does not hold from `table` when the peak would not fit;
// returns how many it removed (0 when it fits). The caller runs the event loop before writing.
template <typename Table, typename Key>
std::uint64_t removeStaleFirst(Table& table, std::uint64_t capacity, std::set<Key> const& restored,
                               std::set<Key> const& desired) {
    std::uint64_t added = 0;
    for (auto const& key : desired) added += restored.count(key) == 0 ? 1 : 0;
    if (!mustRemoveFirst(restored.size(), added, capacity)) return 0;
    std::uint64_t removed = 0;
    for (auto const& key : restored) {
        if (desired.count(key)) continue;
        table.entryRemove(key, nullptr);
        ++removed;
    }
    return removed;
}

}  // namespace VornTcamAgent
