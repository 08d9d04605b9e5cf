#pragma once
// The resolver entry: what a software table queues with the group resolver for one request.
// It names the dependency the request waits for and carries the wrapper back to the table
// when the resolver asks whether the request is resolved and when it commits it.
#include "api/Export.h"
#include "contracts/asic/ResolverEntry.h"
#include "swtable/SwTableFamily.h"

namespace VornTunnelTcamMgr {

template <typename F>
class VORN_TCAMMGR_API ResolverEntryT : public Asic::ResolverEntry {
  public:
    static constexpr char const* qelTraceClassName() { return F::kResolverEntryTypeName; }
    using SwTable = typename F::SwTable;
    using Wrapper = typename F::Wrapper;
    using Self = typename F::ResolverEntry;

    ResolverEntryT(Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
                   SwTable* swTable, Lumo::Ptr<Wrapper> const& swTableEntry)
        : Asic::ResolverEntry(dependantEntryHandle, flags), swTable_(swTable), swTableEntry_(swTableEntry) {}
    char const* typeData() const override { return F::kResolverEntryTypeName; }

    SwTable* swTable() const { return swTable_; }
    Lumo::Ptr<Wrapper> const& swTableEntry() const { return swTableEntry_; }

    bool isResolved() override {
        Lumo::Ptr<Self> self(static_cast<Self*>(this));
        return swTable_->isResolverEntryResolved(self);
    }
    void commitEntry(Lumo::Ptr<Asic::ResolverEntry> const& resolverEntry) override {
        swTable_->commitEntry(resolverEntry);
    }
    void const* orderingDomain() const override { return swTable_; }

  private:
    SwTable* swTable_;  // not counted
    Lumo::Ptr<Wrapper> swTableEntry_;
};

}  // namespace VornTunnelTcamMgr
