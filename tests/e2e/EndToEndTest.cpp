// Whole-agent runs inside one process: writes of both tables through the resolver, the InLif
// resources and the simulated hardware until every handle completes.
#include <gtest/gtest.h>

#include <map>

#include "agent/DesiredStateGenerate.h"
#include "agent/Programmer.h"
#include "tests/e2e/RuntimeFixture.h"

namespace VornTcamAgent {
namespace {

using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamActionEntryKey;
using VornTunnelTcamMgr::TcamEntry;
using VornTunnelTcamMgr::TcamEntryKey;

// The merged view of a table, with the InLif indexes the library resolved taken out of action
// entries (they are checked separately) so that it compares with the desired entries.
template <typename Table>
auto mergedView(Table const& table) {
    std::map<std::string, typename Table::Entry> view;
    for (auto it = table.entryIteratorConst(); it; ++it) view[fmt::format("{}", it->key())] = *it;
    return view;
}

std::map<std::string, TcamActionEntry> desiredActions(DesiredUnit const& unit) {
    std::map<std::string, TcamActionEntry> view;
    for (auto const& a : unit.actionEntries) view[fmt::format("{}", a.key())] = a.entry();
    return view;
}

std::map<std::string, TcamEntry> desiredKeys(DesiredUnit const& unit) {
    std::map<std::string, TcamEntry> view;
    for (auto const& k : unit.keyEntries) view[fmt::format("{}", k.key())] = k.entry();
    return view;
}

class EndToEnd : public RuntimeFixture {
  protected:
    EndToEnd() : RuntimeFixture("e2e") {}
    // Every action entry holds the indexes of its InLif key, and every other field as desired.
    void expectProgrammed(DesiredUnit const& unit) {
        UnitTables const* tables = runtime_->unit(unit.unitId);
        ASSERT_NE(tables, nullptr);
        auto actions = mergedView(*tables->action);
        for (auto& [key, entry] : actions) {
            auto const handle = runtime_->inLifTable()->handle(entry.inLifIndexKey());
            if (entry.inLifIndexKey() == VornInLif::InLifKey{}) {
                EXPECT_EQ(entry.inLif0Index(), 0u) << key;
            } else {
                ASSERT_TRUE(handle) << key;
                EXPECT_EQ(entry.inLif0Index(), handle->inLif0Index()) << key;
                EXPECT_EQ(entry.inLif23Index(), handle->inLif23Index()) << key;
            }
            entry.inLif0IndexIs(0);
            entry.inLif23IndexIs(0);
        }
        EXPECT_EQ(actions, desiredActions(unit));
        EXPECT_EQ(mergedView(*tables->tcam), desiredKeys(unit));
        EXPECT_FALSE(tables->tcam->hasPendingHwWrites());
        EXPECT_FALSE(tables->action->hasPendingHwWrites());
    }
};

TEST_F(EndToEnd, KeyEntriesWaitForTheirActionsAndActionsForTheirInLifResources) {
    DesiredState const state = generate({0, 1}, 60, 7);
    std::map<std::string, int> answers;
    Programmer programmer(*runtime_, [&](TableKind kind, Asic::UnitId unit, std::string const& key, bool ok) {
        EXPECT_TRUE(ok) << toString(kind) << " " << unit << " " << key;
        ++answers[fmt::format("{}/{}/{}", toString(kind), unit, key)];
    });
    // The hardware is held back: everything is logged, nothing completes.
    runtime_->hardware().holdIs(true);
    programmer.write(state);
    runtime_->runUntilIdle();
    EXPECT_TRUE(answers.empty());
    EXPECT_TRUE(runtime_->unit(0)->tcam->hasPendingHwWrites());

    runtime_->hardware().holdIs(false);
    runtime_->runUntilIdle();
    EXPECT_TRUE(programmer.allAnswered());
    EXPECT_EQ(answers.size(), programmer.totalWritten());
    for (auto const& [key, count] : answers) EXPECT_EQ(count, 1) << key;
    for (auto const& unit : state.units) expectProgrammed(unit);
}

}  // namespace
}  // namespace VornTcamAgent
