#pragma once
// What the restart tests run inside their child processes: reports of merged views and of the
// stored records, and the desired views the parent compares them with.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent/runtime/Programmer.h"
#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredState.h"
#include "tests/restart/ChildProcess.h"

namespace VornTest {

using VornTcamAgent::DesiredState;
using VornTcamAgent::DesiredUnit;
using VornTcamAgent::Runtime;
using VornTcamAgent::TableKind;

inline constexpr TableKind kTableKinds[] = {TableKind::action, TableKind::tcam};

inline std::string tableName(TableKind kind) { return std::string(VornTcamAgent::toString(kind)); }

// key text -> entry text
using View = std::map<std::string, std::string>;

// What `unit` of `state` asks for in one table, as a view. Action entries carry no InLif
// indexes here (the library fills them in); views reported by children leave them out too.
View desiredView(DesiredUnit const& unit, TableKind kind);
View desiredView(DesiredState const& state, Asic::UnitId unitId, TableKind kind);

// Sends the merged view of one table of a unit as facts "view/<unit>/<table>/<key>". Checks on
// the way that each action entry holds the indexes of its InLif key's handle. A unit without
// a software table sends nothing.
void reportView(ChildFacts& facts, Runtime& runtime, Asic::UnitId unitId, TableKind kind);
View viewOf(ChildReport const& report, Asic::UnitId unitId, TableKind kind);

// Sends, per table, the change log's record count, oldest and newest versions, the version the
// entry log restored or reached, the version the group records as reached by the hardware and
// whether the table status holds pending writes: "<what>/<table>" under `prefix`.
void reportLog(ChildFacts& facts, Runtime& runtime, std::string const& prefix);

// Everything stored for the tables: both change logs with their scratchpads, and every record
// of the given units' configuration tables. Equal snapshots mean nothing was stored in between.
std::string storedSnapshot(Runtime& runtime, std::vector<Asic::UnitId> const& units);
// The id of the last committed transaction of the process's shared-memory environment.
std::size_t lastTransactionId();

// Programs `state` (with a sweep of what it leaves out, when asked) and runs the agent until
// every request is answered; every request must succeed.
template <typename State>
void programToCompletion(Runtime& runtime, State const& state, bool sweep = false) {
    VornTcamAgent::Programmer programmer(runtime);
    programmer.write(state);
    if (sweep) runtime.sweepAll();
    runtime.runUntilIdle();
    EXPECT_TRUE(programmer.allAnswered());
    for (auto const& [id, progress] : programmer.allProgress()) {
        EXPECT_EQ(progress.completed, progress.written) << VornTcamAgent::toString(id.first) << " unit " << id.second;
        EXPECT_TRUE(progress.failedKeys.empty());
    }
}

// The entries of `unit` in `next` that are the same in `previous` (same key, same value), with
// the key entries whose action entry is among them.
DesiredUnit identicalPart(DesiredUnit const& previous, DesiredUnit const& next);

}  // namespace VornTest
