// A storage failure inside a resolver pass that groups its commits leaves exactly what the same
// failure leaves when every commit is stored on its own: what is stored, every handle's state,
// the transient collections, the entry logs' versions, what the group learnt and what the InLif
// table was asked. The failure is injected at every write and at every commit of a program of
// both tables with dependencies, a remove and a remove-all, and the two runs are compared
// right after the failure and once the rest has been committed (the simulated hardware held back
// meanwhile, so that both runs make the same writes in the same order).
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredStateGenerate.h"
#include "contracts/qel/Entity.h"
#include "entrylog/EnvironmentCommitGroup.h"
#include "tests/support/ShmNamespace.h"

namespace VornTcamAgent {
namespace {

using Handle = Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const>;
enum class Fault { write, commit };

// What a table leaves that the comparison looks at, as text (a difference prints readably).
template <typename Table>
void observeTable(std::string& out, Table const& t) {
    auto const& log = *t.entryLog();
    out += fmt::format("{} version {} cleaned {}\n", t.typeData(), log.tableVersion(), log.cleanedVersion());
    auto const& cfg = log.tableConfigTessel(t.unitId())->swTableEntries();
    for (auto r = cfg.first(); r; r = cfg.after(r->key()))
        out += fmt::format("config {} @{}\n", r->logEntry, r->logVersion);
    auto const& changes = log.tableEntryLog()->entryLogConfig();
    for (auto r = changes.first(); r; r = changes.after(r->key()))
        out += fmt::format("change {} unit {} {}\n", r->version, r->unitId, r->logEntry);
    std::vector<std::string> transient;
    for (auto const& [key, w] : t.transientAddEntryColl())
        transient.push_back(fmt::format("add {} {}\n", key, w->entryHandle()->version()));
    for (auto const& [key, w] : t.transientRemoveEntryColl())
        transient.push_back(fmt::format("remove {} {}\n", key, w->entryHandle()->version()));
    for (auto const& [key, v] : t.transientVersionForKeyColl())
        transient.push_back(fmt::format("version {} {}\n", key, v));
    std::sort(transient.begin(), transient.end());
    for (auto const& line : transient) out += line;
    out += fmt::format("removeAll {} inLog {}\n", t.transientRemoveAllVersion(), t.entryHandleInLogSize());
}

class GroupedCommitFault : public ::testing::Test {
  protected:
    struct Outcome {
        bool failed = false;  // the injected fault fired
        bool threw = false;
        std::string seen;
        std::string atFailure;
        std::string atRest;
    };

    // One agent run in a namespace of its own: a first program stored cleanly, then the fault
    // set at the `n`th write or commit of a second program, which the loop runs until it
    // stops (by the fault's exception or at rest); then it runs again without the fault.
    static Outcome run(bool grouped, Fault fault, std::uint64_t n) {
        VornTest::ScopedShmNamespace shm("groupfault");
        Outcome outcome;
        {
            Runtime runtime;
            if (!grouped) runtime.group()->groupResolver()->commitGroupIs(nullptr);
            DesiredState const first = generate({0}, 6, 11);
            UnitTables const& unit = runtime.bringUp(0, true);
            std::vector<Handle> handles;
            write(unit, first.units[0], handles);
            runtime.runUntilIdle();

            // The hardware side applies nothing until the program has run, so that its own
            // writes (the table versions it reaches) do not interleave with the program's.
            runtime.hardware().holdIs(true);
            if (fault == Fault::write) {
                shm.faults().failWriteAtIs(n);
            } else {
                shm.faults().failCommitAtIs(n);
            }
            DesiredState const second = mutate(first, 12, 0.5);
            write(unit, second.units[0], handles);
            handles.push_back(unit.tcam->entryRemove(first.units[0].keyEntries[0].key(), nullptr));
            unit.action->entryRemoveAll(nullptr);
            write(unit, first.units[0], handles);
            try {
                runtime.runUntilIdle();
            } catch (std::exception const&) {
                outcome.threw = true;
            }
            outcome.failed = shm.faults().writesFailed() + shm.faults().commitsFailed() > 0;
            outcome.seen = fmt::format("{} writes {} commits", shm.faults().writesSeen(), shm.faults().commitsSeen());
            outcome.atFailure = observe(runtime, unit, handles);
            runtime.hardware().holdIs(false);
            runtime.group()->groupResolver()->updateGenId();
            try {
                runtime.runUntilIdle();
            } catch (std::exception const& e) {
                outcome.atRest = fmt::format("threw at rest: {}\n", e.what());
                runtime.runUntilIdle();
            }
            outcome.atRest += observe(runtime, unit, handles);
        }
        Qel::Entity::singletonDelAll();
        return outcome;
    }

    // Writes a unit's entries, each key entry depending on its action entry's write.
    static void write(UnitTables const& unit, DesiredUnit const& desired, std::vector<Handle>& handles) {
        std::map<std::uint32_t, Lumo::Ptr<Asic::DependencyEntryHandle const>> actions;
        for (auto const& a : desired.actionEntries) {
            handles.push_back(unit.action->entryWrite(a.key(), a.entry(), nullptr));
            actions[a.actionId] = handles.back();
        }
        for (auto const& k : desired.keyEntries)
            handles.push_back(unit.tcam->entryWrite(k.key(), k.entry(), actions[k.actionId]));
    }

    // Everything a run leaves that the comparison looks at: the tables, every handle's state,
    // what the group learnt and what the InLif table holds.
    static std::string observe(Runtime& runtime, UnitTables const& unit, std::vector<Handle> const& handles) {
        std::string out;
        observeTable(out, *unit.action);
        observeTable(out, *unit.tcam);
        for (auto const& h : handles)
            out += fmt::format("handle {} state {} log {}\n", h->version(), static_cast<int>(h->entryState()),
                               h->logVersion());
        for (auto const id : {unit.action->swTableId(), unit.tcam->swTableId()}) {
            out += fmt::format("group {}:", id);
            for (auto const& e : runtime.group()->logEntries(id)) out += fmt::format(" {}", e.version);
            out += "\n";
        }
        auto const& inLif = *runtime.inLifTable();
        return out + fmt::format("inLif entries {} in use {} {}\n", inLif.entryCount(), inLif.inLif0Pool().inUse(),
                                 inLif.inLif23Pool().inUse());
    }
};

TEST_F(GroupedCommitFault, FailureAtAnyWriteOrCommitLeavesWhatCommittingOneAtATimeLeaves) {
    for (Fault const fault : {Fault::write, Fault::commit}) {
        std::uint64_t n = 1;
        for (;; ++n) {
            Outcome const alone = run(false, fault, n);
            Outcome const grouped = run(true, fault, n);
            SCOPED_TRACE(fmt::format("{} {}", fault == Fault::write ? "write" : "commit", n));
            ASSERT_EQ(grouped.failed, alone.failed);
            EXPECT_EQ(grouped.seen, alone.seen);
            if (!alone.failed) break;
            EXPECT_EQ(grouped.threw, alone.threw);
            EXPECT_EQ(grouped.atFailure, alone.atFailure);
            EXPECT_EQ(grouped.atRest, alone.atRest);
        }
        EXPECT_GT(n, 20u) << "the program makes fewer writes or commits than it should";
    }
}

}  // namespace
}  // namespace VornTcamAgent
