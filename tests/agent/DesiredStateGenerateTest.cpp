// Generated and mutated desired states of the agent simulator: reproducible, valid, and
// changing the share of entries they are asked to.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "agent/state/DesiredState.h"
#include "agent/state/DesiredStateGenerate.h"

namespace {

using namespace VornTcamAgent;

TEST(DesiredStateGenerate, GenerateIsReproducibleAndSharesInLifs) {
    DesiredState const s = generate({0, 1}, 100, 7);
    EXPECT_EQ(generate({0, 1}, 100, 7), s);
    EXPECT_NE(generate({0, 1}, 100, 8), s);
    EXPECT_EQ(generate({1}, 100, 7).units[0], s.units[1]);  // a unit does not depend on the others
    EXPECT_NO_THROW(validate(s));

    for (auto const& u : s.units) {
        ASSERT_EQ(u.actionEntries.size(), 100u);
        ASSERT_EQ(u.keyEntries.size(), 100u);
        std::map<VornInLif::InLifKey, int> users;
        int withoutInLif = 0;
        for (auto const& a : u.actionEntries) {
            if (a.inLif.isNull())
                ++withoutInLif;
            else
                ++users[a.inLif];
        }
        EXPECT_GT(withoutInLif, 0);
        int shared = 0;
        for (auto const& [key, n] : users) shared += n > 1;
        EXPECT_GT(shared, 5);
        std::set<AddressFamily> families;
        for (auto const& k : u.keyEntries) families.insert(k.addressFamily);
        EXPECT_EQ(families.size(), 2u);
    }

    EXPECT_THROW(generate({256}, 1, 1), std::invalid_argument);
    EXPECT_THROW(generate({2, 2}, 1, 1), std::invalid_argument);
}

TEST(DesiredStateGenerate, MutateChangesDropsAndAddsEntries) {
    DesiredState const before = generate({0, 9}, 60, 3);
    EXPECT_EQ(mutate(before, 11, 0.0), before);
    DesiredState const after = mutate(before, 11, 0.3);
    EXPECT_EQ(mutate(before, 11, 0.3), after);
    EXPECT_NO_THROW(validate(after));

    for (std::size_t u = 0; u < before.units.size(); ++u) {
        ASSERT_EQ(after.units[u].unitId, before.units[u].unitId);
        std::map<std::uint32_t, DesiredActionEntry> old;
        for (auto const& a : before.units[u].actionEntries) old[a.actionId] = a;
        int changed = 0, added = 0, kept = 0;
        for (auto const& a : after.units[u].actionEntries) {
            auto it = old.find(a.actionId);
            if (it == old.end())
                ++added;
            else
                ++(it->second == a ? kept : changed);
        }
        int const dropped = static_cast<int>(old.size()) - kept - changed;
        EXPECT_EQ(changed, 6);  // a third of 30 % of 60
        EXPECT_EQ(dropped, 6);
        EXPECT_EQ(added, 6);

        EXPECT_EQ(after.units[u].keyEntries.size(), 60u);  // 6 dropped, 6 added
    }

    // Small tables and whole-table churn stay valid, whatever the seed.
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        DesiredState const small = generate({0}, 1 + seed % 3, seed);
        EXPECT_NO_THROW(validate(mutate(small, seed, 1.0)));
    }
    EXPECT_THROW(mutate(before, 1, 1.5), std::invalid_argument);
}

}  // namespace
