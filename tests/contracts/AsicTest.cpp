#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <iterator>

#include "contracts/asic/CanonicalTableName.h"
#include "contracts/asic/Constants.h"
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/types/TcamConstants.h"

namespace {

// The vtable slot of a virtual member function. Under the Itanium C++ ABI (g++, also with -m32)
// a pointer to a virtual member holds 1 plus the byte offset of the function's slot.
template <typename M>
std::ptrdiff_t slotOf(M member) {
    static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t words[2];
    std::memcpy(words, &member, sizeof member);
    EXPECT_EQ(words[0] % std::ptrdiff_t(sizeof(void*)), 1) << "not a virtual function";
    return (words[0] - 1) / std::ptrdiff_t(sizeof(void*));
}

TEST(AsicEntryHandle, FrameworkHooksSitInTheFrameworksSlotOrder) {
    using H = Asic::OrderedSwTable::EntryHandle;
    std::ptrdiff_t const slots[] = {slotOf(&H::typeData),
                                    slotOf(&H::handleEntryState),
                                    slotOf(&H::hwIndexForDependentField),
                                    slotOf(&H::handleIndexSuggestions),
                                    slotOf(&H::entryTableVersion),
                                    slotOf(&H::tableName),
                                    slotOf(&H::tableId)};
    for (std::size_t i = 1; i < std::size(slots); ++i) EXPECT_EQ(slots[i], slots[0] + std::ptrdiff_t(i)) << i;
    // A dependency handle has the same slots up to entryTableVersion.
    EXPECT_EQ(slotOf(&Asic::DependencyEntryHandle::entryTableVersion), slots[4]);
}

TEST(AsicNeededEntry, KeepsTheHighestVersionPerTable) {
    Asic::NeededEntry n;
    Asic::SwTableId a(0x1B080401), b(0x1B080402);
    n.add({a, 5});
    n.add({a, 3});
    n.add({b, 1});
    Asic::NeededEntry m;
    m.add({a, 9});
    n.merge(m);
    EXPECT_EQ(n.size(), 2u);
    EXPECT_EQ(n.neededEntry().get(a).version, 9u);
    EXPECT_EQ(n.neededEntry().get(b).version, 1u);
}

TEST(AsicConstants, UnitIdRoundTripsThroughTheConfigPath) {
    using VornTunnelTcamMgr::TcamActionConstants;
    using VornTunnelTcamMgr::TcamConstants;
    for (Asic::UnitId unit : {0, 1, 17, 65535}) {
        EXPECT_EQ(Asic::Constants::getUnitIdFromConfigPath(TcamConstants::configTesselPath(unit)), unit);
    }
    EXPECT_NE(TcamConstants::configTesselPath(0), TcamActionConstants::configTesselPath(0));
    auto base = Asic::Constants::canonicalGroupTableConfigTesselPathBase(
        Asic::Constants::canonicalizeGroupName("VornTunnelNi", "VornTunnelTcamMgrGroup"), "VornTunnelTcamMgr", "Tcam");
    EXPECT_EQ(TcamConstants::configTesselPath(3).rfind(base, 0), 0u);
    EXPECT_FALSE(Asic::Constants::parseUnitIdFromConfigPath(base + "unit70000").has_value());
    EXPECT_FALSE(Asic::Constants::parseUnitIdFromConfigPath(base + "unitx").has_value());
}

}  // namespace
