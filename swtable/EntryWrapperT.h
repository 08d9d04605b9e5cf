#pragma once
// The entry wrapper: one entry in flight through a software table (a write or remove, or an
// entry rebuilt from the configuration table). It holds the entry value, the entry handle that
// stamps its version, and for the action table the InLif index resource the entry was given.
//
// `entry` is fixed at construction except for the action table's two InLif index fields,
// which setResolvedFields and finalizeOnSuccess overwrite.
#include <cstdint>

#include "api/Export.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/lumo/Format.h"
#include "contracts/qel/Trace.h"
#include "swtable/SwTableFamily.h"

namespace VornTunnelTcamMgr {

// Stand-in for the resource handle pointer of a family without resources.
struct NoResourcePtr {};

template <typename F>
class VORN_TCAMMGR_API EntryWrapperT : public Lumo::Node {
  public:
    static constexpr char const* qelTraceClassName() { return F::kWrapperTypeName; }
    using Entry = typename F::Entry;
    using Key = typename F::Key;
    using LogEntry = typename F::LogEntry;
    using ResourceKeys = typename F::ResourceKeys;
    using SwTable = typename F::SwTable;
    using Wrapper = typename F::Wrapper;
    using Handle = Asic::OrderedSwTable::EntryHandle;
    using ResourcePtr = typename F::ResourcePtr;

    EntryWrapperT(Entry const& entry, Lumo::Ptr<Handle> const& entryHandle)
        : entry_(entry), entryHandle_(entryHandle) {}
    char const* typeData() const override { return F::kWrapperTypeName; }

    Entry const& entry() const { return entry_; }
    Lumo::Ptr<Handle> const& entryHandle() const { return entryHandle_; }
    Key const& key() const { return entry_.key(); }
    LogEntry const& logEntry() const { return entry_.logEntry; }
    ResourceKeys const& rsrcKeys() const { return entry_.rsrcKeys; }
    // Sets the key held in the entry (a stored entry always carries the key it was written under).
    void keyIs(Key const& key) { entry_.keyIs(key); }

    // Action table: the InLif index key of the entry's resource keys.
    auto const& inLifIndexKey() const requires F::kHasResources { return entry_.inLifIndexKey(); }
    // Action table: the InLif index resource the linkage assigned to this entry, or null.
    ResourcePtr const& inLifIndexKeyResPtr() const requires F::kHasResources { return resPtr_; }
    void inLifIndexKeyResPtrIs(ResourcePtr const& p) requires F::kHasResources { resPtr_ = p; }
    // Action table: the resolved indexes of the resource, 0 without one.
    std::uint32_t inLif0Index() const requires F::kHasResources { return resPtr_ ? resPtr_->inLif0Index() : 0; }
    std::uint32_t inLif23Index() const requires F::kHasResources { return resPtr_ ? resPtr_->inLif23Index() : 0; }

    // Writes the resolved resource fields into the entry (nothing for the key table).
    void setResolvedFields() {
        if constexpr (F::kHasResources) {
            entry_.inLif0IndexIs(inLif0Index());
            entry_.inLif23IndexIs(inLif23Index());
        }
    }
    void retrieveClientData() {}

    // The entry resolved: for an action write take up the resolved indexes, then tell the hook.
    void finalizeOnSuccess(Lumo::Ptr<SwTable> const& swTable, bool isDeleted) {
        QEL_TRACE_AT(F::trace(), 8, " key: {} isDeleted: {}", key(), isDeleted);
        if (!isDeleted) setResolvedFields();
        auto helper = swTable->swTableHelper();
        Lumo::Ptr<Wrapper> self(static_cast<Wrapper*>(this));
        helper->finalizeOnSuccess(self, isDeleted, swTable);
    }

    // The entry's resource failed: the hook decides whether it is committed anyway.
    bool finalizeOnFailure(Lumo::Ptr<SwTable> const& swTable, bool isDeleted) {
        QEL_TRACE_AT(F::trace(), 8, " key: {} isDeleted: {}", key(), isDeleted);
        auto helper = swTable->swTableHelper();
        Lumo::Ptr<Wrapper> self(static_cast<Wrapper*>(this));
        bool retVal = helper->finalizeOnFailure(self, isDeleted, swTable);
        QEL_TRACE_AT(F::trace(), 3, " retVal: {}", retVal);
        return retVal;
    }

  private:
    Entry entry_;
    Lumo::Ptr<Handle> entryHandle_;
    [[no_unique_address]] ResourcePtr resPtr_{};
};

}  // namespace VornTunnelTcamMgr
