#pragma once
// What a run did about damaged records of a table, and what it leaves behind.
//
// Every damaged record a read meets is reported, and the report removes every damaged record of
// its table (not only the one read), so a run normally deals with all of them. The check here
// makes sure. When the run met damage in a table (a read of its change log or of a unit's
// configuration table reported corruption, or one of them was found wiped at its mount), it reads
// each unit's stored records once more, reporting and removing nothing, and counts what is still
// damaged and what is stale: live entries the desired state does not hold, and records still in
// deletion or in the change log although the hardware has confirmed every change. A run that
// leaves any says so (exit status 5). A run that met no damage pays nothing here.
#include <set>
#include <vector>

#include "agent/commands/RunReport.h"
#include "contracts/shm/KeyedCollectionImpl.h"

namespace VornTcamAgent {

// Whether the run met damage in the table of entry log `log` on any of `units`.
template <typename EntryLog>
bool metDamage(EntryLog const& log, std::vector<Asic::UnitId> const& units) {
    if (log.wipedMounts() > 0 || log.tableEntryLog()->entryLogConfig().corruptionsDetected() > 0) return true;
    for (Asic::UnitId unitId : units)
        if (auto const cfg = log.tableConfigTessel(unitId); cfg && cfg->swTableEntries().corruptionsDetected() > 0)
            return true;
    return false;
}

// Fills the damage counts of the table's report: what the run removed and, when it met damage,
// the change-log records it leaves.
template <typename EntryLog>
void checkDamage(EntryLog const& log, bool damaged, TableReport& t) {
    auto const& changeLog = log.tableEntryLog()->entryLogConfig();
    t.changeLogDamagedRemoved = changeLog.quarantined();
    if (damaged) t.changeLogStaleLeft = changeLog.size();
}

// Fills the damage counts of one unit's report. `wanted`: the keys the desired state holds for
// the unit (none for a reconciled unit).
template <typename EntryLog, typename Key>
void checkDamage(EntryLog const& log, Asic::UnitId unitId, bool damaged, std::set<Key> const& wanted, UnitReport& u) {
    auto const cfg = log.tableConfigTessel(unitId);
    if (!cfg) return;
    auto const& entries = cfg->swTableEntries();
    u.damagedRemoved = entries.quarantined();
    if (!damaged) return;
    u.staleLeft = 0;
    u.damagedLeft = entries.scan([&](auto const& record) {
        if (record.inDeletion || wanted.count(record.key()) == 0) ++u.staleLeft;
    });
}

}  // namespace VornTcamAgent
