#pragma once
// The action-table fixture of the read, restore and linkage tests: the shared software-table
// fixture for the action table, with entries that name an InLif and reads of the merged view.
#include <optional>
#include <vector>

#include "tests/support/SwTableFixture.h"

namespace VornTest {

using VornTunnelNiLib::InLifIndexEntryKey;
using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamActionEntryKey;
using VornTunnelTcamMgr::TcamActionSwTable;
using ResourceTable = VornTunnelNiLib::InLifIndexResourceTable;
using Linkage = VornTunnelTcamMgr::TcamActionInLifIndexLinkage;

inline constexpr Asic::UnitId kTestUnit = kSwUnit;

inline InLifIndexEntryKey inLif(std::uint32_t intf) {
    return intf ? InLifIndexEntryKey{intf, 10, 0} : InLifIndexEntryKey{};
}
inline TcamActionEntryKey akey(std::uint32_t id) { return TcamActionEntryKey{id}; }
// An action entry: `vrf` tells values apart, `intf` names its InLif (0: none).
inline TcamActionEntry aentry(std::uint32_t id, std::uint32_t vrf = 1, std::uint32_t intf = 0) {
    TcamActionEntry e;
    e.logEntry.key.actionId = id;
    e.logEntry.decapType = 1;
    e.logEntry.vrfId = vrf;
    e.rsrcKeys.inLifKey = inLif(intf);
    return e;
}

class ActionTableFixture : public SwTableFixture<TcamActionSwTable> {
  protected:
    Linkage& linkage() const { return *table_->inLifIndexLinkage(); }

    // Queues a write of the table (pending until commitAll()).
    Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> write(std::uint32_t id, std::uint32_t vrf = 1,
                                                             std::uint32_t intf = 0) {
        return table_->entryWrite(akey(id), aentry(id, vrf, intf), nullptr);
    }
    // Queues entries 1 and 2 on InLif 5, 3 on InLif 6 and 4 without InLif.
    void writeInLifUsers() {
        for (std::uint32_t id : {1u, 2u}) write(id, 1, 5);
        write(3, 1, 6);
        write(4, 1, 0);
    }
    // Logs a committed entry straight into the entry log, without a request of the table.
    Asic::LogVersion logDirect(std::uint32_t id, std::uint32_t vrf = 1, std::uint32_t intf = 0) {
        auto const e = aentry(id, vrf, intf);
        return log_->entryIs(e.logEntry, e.rsrcKeys, Lumo::make<Asic::NeededEntry>(), kTestUnit, table_->stats(),
                             false);
    }

    // Every entry of the merged view in iteration order, from key `from` when given.
    std::vector<TcamActionEntry> walk(std::optional<std::uint32_t> from = std::nullopt) const {
        std::vector<TcamActionEntry> out;
        for (auto it = from ? table_->entryIteratorConst(akey(*from)) : table_->entryIteratorConst(); it.valid(); ++it)
            out.push_back(*it);
        return out;
    }
    static std::vector<std::uint32_t> ids(std::vector<TcamActionEntry> const& entries) {
        std::vector<std::uint32_t> out;
        for (auto const& e : entries) out.push_back(e.key().actionId);
        return out;
    }
};

}  // namespace VornTest
