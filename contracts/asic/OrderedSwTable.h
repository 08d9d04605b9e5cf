#pragma once
// Base classes of a software table: the framework keeps the table's name, id, unit, owning
// set, statistics and shared status; the derived table implements the status and mark-and-
// sweep virtuals.
#include "contracts/asic/CanonicalTableName.h"
#include "contracts/asic/EntryHandle.h"
#include "contracts/asic/SwTableStats.h"
#include "contracts/asic/Types.h"
#include "contracts/lumo/Publisher.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class OrderedSwTableSet;
class OrderedSwTableStatus;

class OrderedSwTable : public Lumo::PublishingNode {
  public:
    using EntryHandle = OrderedSwTableEntryHandle;

    OrderedSwTable(Lumo::Ptr<CanonicalTableName const> tableName, SwTableId swTableId, UnitId unitId,
                   OrderedSwTableSet* swTableSet);
    ~OrderedSwTable() override;
    char const* typeData() const override { return "Asic::OrderedSwTable"; }

    Lumo::Ptr<CanonicalTableName const> const& tableName() const { return tableName_; }
    SwTableId swTableId() const { return swTableId_; }
    UnitId unitId() const { return unitId_; }
    // The set the table belongs to (not counted: the set holds the table); null once the set
    // dropped it.
    OrderedSwTableSet* swTableSet() const { return swTableSet_; }
    void swTableSetDel() { swTableSet_ = nullptr; }

    Lumo::Ptr<SwTableStats> const& stats() const { return stats_; }
    // Creates the table's statistics object.
    void statsIs() { stats_ = Lumo::make<SwTableStats>(); }

    Lumo::Ptr<OrderedSwTableStatus> const& status() const { return status_; }
    void statusIs(Lumo::Ptr<OrderedSwTableStatus> const& status);

    virtual void handleParent() {}
    virtual void doCreateHwTable() {}
    virtual void doCreateHwTableResponse() {}
    virtual void reconcile() {}
    // The table's status has reached `version`: everything logged up to it is in hardware.
    virtual void tableStatusVersion(LogVersion version) = 0;
    virtual bool hasPendingHwWrites() = 0;

  private:
    Lumo::Ptr<CanonicalTableName const> tableName_;
    SwTableId swTableId_;
    UnitId unitId_;
    OrderedSwTableSet* swTableSet_;
    Lumo::Ptr<SwTableStats> stats_;
    Lumo::Ptr<OrderedSwTableStatus> status_;
};

class OrderedSwTableWithMarkSweep : public OrderedSwTable {
  public:
    using OrderedSwTable::OrderedSwTable;
    char const* typeData() const override { return "Asic::OrderedSwTableWithMarkSweep"; }
    virtual void mark() = 0;
    virtual void sweep() = 0;
};

// Iteration state of a software table: a plain pointer to the table and five flags.
class SwTableIteratorStateBase : public Lumo::Node {
  public:
    class State {
      public:
        bool hasCurrent() const { return bits_ & kHasCurrent; }
        bool inAddColl() const { return bits_ & kInAddColl; }
        bool inTblCfg() const { return bits_ & kInTblCfg; }
        bool skipTblCfg() const { return bits_ & kSkipTblCfg; }
        bool hasBookmark() const { return bits_ & kHasBookmark; }
        void hasCurrentIs(bool v) { set(kHasCurrent, v); }
        void inAddCollIs(bool v) { set(kInAddColl, v); }
        void inTblCfgIs(bool v) { set(kInTblCfg, v); }
        void skipTblCfgIs(bool v) { set(kSkipTblCfg, v); }
        void hasBookmarkIs(bool v) { set(kHasBookmark, v); }
        std::uint8_t bits() const { return bits_; }

      private:
        static constexpr std::uint8_t kHasCurrent = 1, kInAddColl = 2, kInTblCfg = 4, kSkipTblCfg = 8,
                                      kHasBookmark = 16;
        void set(std::uint8_t bit, bool v) { bits_ = v ? (bits_ | bit) : (bits_ & ~bit); }
        std::uint8_t bits_ = 0;
    };

    char const* typeData() const override { return "Asic::SwTableIteratorStateBase"; }
    State const& state() const { return state_; }
    State& state() { return state_; }

  protected:
    State state_;
};

}  // namespace Asic

#pragma GCC visibility pop
