#pragma once
// What one `tcam-agent run` did, per table and unit: the facts the summary prints (as text or
// JSON, Summary.h) and the exit status is decided from.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "agent/runtime/Failures.h"
#include "contracts/asic/Types.h"

namespace VornTcamAgent {

struct UnitReport {
    Asic::UnitId unitId = 0;
    // Stored by an earlier run but not in the desired state: reconciliation cleared it.
    bool reconciled = false;
    std::uint64_t entries = 0;        // in the table when the run ended
    std::uint64_t restored = 0;       // restored from shared memory at bring-up
    std::uint64_t written = 0;        // write requests made
    std::uint64_t completed = 0;      // requests answered done
    std::uint64_t rewritten = 0;      // restored keys written again with a changed entry
    std::uint64_t suppressed = 0;     // restored keys written again unchanged, answered from the log
    std::uint64_t added = 0;          // keys not restored
    std::uint64_t swept = 0;          // restored keys not written again, removed by the sweep
    std::vector<Failure> failedKeys;  // every failed request, in the order answered
    // Every counter of the table's statistics, in declaration order.
    std::vector<std::pair<std::string, std::uint64_t>> counters;
    // Restored keys not desired that were removed before the writes: the table had no room for
    // the new entries while it held them.
    std::uint64_t removedFirst = 0;
    // Damaged records (failing their checksum) of the unit's table that the run removed, and,
    // checked when the run met damaged records of the table, the records it leaves: still
    // damaged, or stale (live but not desired, or still in deletion after the hardware
    // confirmed every change).
    std::uint64_t damagedRemoved = 0;
    std::uint64_t damagedLeft = 0;
    std::uint64_t staleLeft = 0;

    std::uint64_t unanswered() const { return written - completed - failedKeys.size(); }
};

struct TableReport {
    std::string table;                     // "Tcam" or "TcamAction"
    std::uint64_t logVersion = 0;          // last version the entry log handed out
    std::uint64_t tableStatusVersion = 0;  // version the hardware has applied
    std::vector<UnitReport> units;
    // Damaged change-log records the run removed, and, checked when the run met damage, the
    // change-log records it leaves although the hardware confirmed every change.
    std::uint64_t changeLogDamagedRemoved = 0;
    std::uint64_t changeLogStaleLeft = 0;
};

struct RunReport {
    std::string nameSpace;
    std::string source;    // where the desired state came from, for people
    bool restart = false;  // a unit restored entries, or the change log had any
    std::uint64_t relaunchMajorId = 0;
    std::vector<Asic::UnitId> reconciledUnits;
    double seconds = 0;  // bring-up to idle
    std::vector<TableReport> tables;

    std::uint64_t requests() const;
    std::uint64_t completed() const;
    std::uint64_t failed() const;         // failed or never answered
    FailureCounts failureCounts() const;  // failed() by class
    double requestsPerSecond() const { return seconds > 0 ? static_cast<double>(requests()) / seconds : 0; }
    bool allCompleted() const { return completed() == requests(); }
    std::uint64_t damagedLeft() const;
    std::uint64_t staleLeft() const;
};

inline std::uint64_t RunReport::requests() const {
    std::uint64_t n = 0;
    for (auto const& t : tables)
        for (auto const& u : t.units) n += u.written;
    return n;
}

inline std::uint64_t RunReport::completed() const {
    std::uint64_t n = 0;
    for (auto const& t : tables)
        for (auto const& u : t.units) n += u.completed;
    return n;
}

inline std::uint64_t RunReport::failed() const { return requests() - completed(); }

inline std::uint64_t RunReport::damagedLeft() const {
    std::uint64_t n = 0;
    for (auto const& t : tables)
        for (auto const& u : t.units) n += u.damagedLeft;
    return n;
}

inline std::uint64_t RunReport::staleLeft() const {
    std::uint64_t n = 0;
    for (auto const& t : tables) {
        n += t.changeLogStaleLeft;
        for (auto const& u : t.units) n += u.staleLeft;
    }
    return n;
}

inline FailureCounts RunReport::failureCounts() const {
    FailureCounts counts{};
    for (auto const& t : tables)
        for (auto const& u : t.units) {
            for (auto const& f : u.failedKeys) ++counts[static_cast<std::size_t>(f.failureClass)];
            counts[static_cast<std::size_t>(FailureClass::unanswered)] += u.unanswered();
        }
    return counts;
}

}  // namespace VornTcamAgent
