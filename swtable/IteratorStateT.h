#pragma once
// Iteration over the merged view of a software table: pending writes first (the transient add
// collection), then the committed entries of the unit's configuration table that no pending
// request hides. Each step finds its place again from the bookmark key, so the collections may
// change between steps (a sweep removes entries while it walks).
#include <cstdint>

#include "api/Export.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/qel/Assert.h"
#include "contracts/qel/Trace.h"
#include "swtable/SwTableFamily.h"

namespace VornTunnelTcamMgr {

// The "SwTableIter" trace handle of the merge step.
VORN_TCAMMGR_API Qel::TraceHandle& swTableIterTrace();

template <typename F>
class VORN_TCAMMGR_API IteratorStateT : public Asic::SwTableIteratorStateBase {
  public:
    static constexpr char const* qelTraceClassName() { return F::kIteratorStateTypeName; }
    using Key = typename F::Key;
    using Entry = typename F::Entry;
    using SwTable = typename F::SwTable;

    char const* typeData() const override { return F::kIteratorStateTypeName; }

    SwTable const* swTable() const { return swTable_; }
    void swTableIs(SwTable const* t) { swTable_ = t; }
    Key const& bookmarkKey() const { return bookmarkKey_; }
    void bookmarkKeyIs(Key const& k) { bookmarkKey_ = k; }

    // Produces the current entry and moves on; a default entry (and hasCurrent clear) at the end.
    Entry maybeUpdateCurrentEntry();

  private:
    bool addPhase(Entry& result);
    bool configPhase(Entry& result);
    template <typename AddColl>
    std::uint32_t bookmarkPosition(AddColl const& adds) const;

    SwTable const* swTable_ = nullptr;  // not counted
    Key bookmarkKey_{};
    // Where the add phase last saw bookmarkKey_, a hint checked before use: the collection may
    // have changed since, or the bookmark may have been set from outside.
    std::uint32_t bookmarkPos_ = ~std::uint32_t{0};
};

}  // namespace VornTunnelTcamMgr

namespace Asic {

// The framework's entry iterator, instantiated with a software table, its entry, key and
// iterator-state classes: the iterator feature code walks with.
template <typename SwTable, typename Entry, typename Key, typename IteratorState>
class OrderedSwTableEntryIterator {
  public:
    OrderedSwTableEntryIterator(SwTable const* swTable, Lumo::Ptr<IteratorState> state)
        : swTable_(swTable), iterState_(std::move(state)) {
        if (iterState_) current_ = iterState_->maybeUpdateCurrentEntry();
    }
    bool valid() const { return iterState_ && iterState_->state().hasCurrent(); }
    explicit operator bool() const { return valid(); }
    Entry const& operator*() const { return current_; }
    Entry const* operator->() const { return &current_; }
    Entry const& current() const { return current_; }
    Lumo::Ptr<IteratorState> const& iterState() const { return iterState_; }
    SwTable const* swTable() const { return swTable_; }

    // Moves to the next entry. Requires: valid(). Defined here, not with the merge step, so
    // that code which sees only the table's header can advance an iterator: the merge step
    // itself is instantiated with each table.
    OrderedSwTableEntryIterator& operator++() {
        QEL_ASSERT(iterState_ && iterState_->state().hasCurrent(), "iterState_->state().hasCurrent()");
        current_ = iterState_->maybeUpdateCurrentEntry();
        return *this;
    }

  private:
    SwTable const* swTable_;
    Lumo::Ptr<IteratorState> iterState_;
    Entry current_{};
};

}  // namespace Asic

namespace VornTunnelTcamMgr {
// The tables name their iterator type from here.
using Asic::OrderedSwTableEntryIterator;
}  // namespace VornTunnelTcamMgr
