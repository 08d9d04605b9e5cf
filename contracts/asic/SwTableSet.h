#pragma once
// A table's software tables (one per unit) and their shared hardware-write status.
#include <functional>

#include "contracts/asic/OrderedSwTable.h"
#include "contracts/qel/HashMap2018.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

// The hardware-write status of one table, shared by all its units' software tables.
class OrderedSwTableStatus : public Lumo::PublishingNode {
  public:
    static constexpr Lumo::AttributeId kPendingHwWritesAttr = 1;
    static constexpr Lumo::AttributeId kVersionAttr = 2;

    explicit OrderedSwTableStatus(SwTableId tableId) : tableId_(tableId) {}
    char const* typeData() const override { return "Asic::OrderedSwTableStatus"; }

    SwTableId tableId() const { return tableId_; }
    bool pendingHwWrites() const { return pendingHwWrites_; }
    void pendingHwWritesIs(bool v) {
        if (v == pendingHwWrites_) return;
        pendingHwWrites_ = v;
        notify(kPendingHwWritesAttr);
    }
    // The log version up to which the hardware has applied this table's changes.
    LogVersion version() const { return version_; }
    void versionIs(LogVersion v) {
        if (v == version_) return;
        version_ = v;
        notify(kVersionAttr);
    }

  private:
    SwTableId tableId_;
    bool pendingHwWrites_ = false;
    LogVersion version_ = 0;
};

// The software tables of one table, by unit.
class OrderedSwTableSet : public Lumo::PublishingNode {
  public:
    using SwTableColl = Qel::HashMap2018<UnitId, Lumo::Ptr<OrderedSwTable>>;

    OrderedSwTableSet(SwTableId tableId, Lumo::Ptr<OrderedSwTableStatus> status)
        : tableId_(tableId), status_(std::move(status)) {}
    char const* typeData() const override { return "Asic::OrderedSwTableSet"; }

    SwTableId tableId() const { return tableId_; }
    Lumo::Ptr<OrderedSwTableStatus> const& status() const { return status_; }

    Lumo::Ptr<OrderedSwTable> swTable(UnitId unit) const { return swTable_.get(unit); }
    bool swTableHas(UnitId unit) const { return swTable_.has(unit); }
    void swTableIs(Lumo::Ptr<OrderedSwTable> const& table);
    // Drops every table (the agent is going away).
    // Drops every table; a table still held elsewhere forgets this set (it may outlive it).
    void swTableDelAll();
    SwTableColl const& swTables() const { return swTable_; }

    // Sets the status's pending-writes flag from the tables: true when any table has writes
    // on their way to the hardware.
    void maybeUpdatePendingHwWrites();
    // The status reached `version`: every unit's table learns it.
    void tableStatusVersionIs(LogVersion version);

  private:
    SwTableId tableId_;
    Lumo::Ptr<OrderedSwTableStatus> status_;
    SwTableColl swTable_;
};

}  // namespace Asic

#pragma GCC visibility pop
