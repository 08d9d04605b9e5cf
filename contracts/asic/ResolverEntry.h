#pragma once
// Asic::ResolverEntry: one request queued with a group resolver. The resolver asks
// isResolved() until it answers true and then calls commitEntry() once.
#include "contracts/asic/EntryHandle.h"
#include "contracts/lumo/Node.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class ResolverEntry : public Lumo::Node {
  public:
    ResolverEntry(Lumo::Ptr<DependencyEntryHandle const> dependantEntryHandle, EntryFlags flags)
        : dependantEntryHandle_(std::move(dependantEntryHandle)), flags_(flags) {}
    char const* typeData() const override { return "Asic::ResolverEntry"; }

    Lumo::Ptr<DependencyEntryHandle const> const& dependantEntryHandle() const { return dependantEntryHandle_; }
    EntryFlags flags() const { return flags_; }
    bool isEntryDeleted() const { return (flags_ & kEntryDeleteFlag) != 0; }
    bool isTableDeleted() const { return (flags_ & kTableDeleteFlag) != 0; }

    virtual bool isResolved() = 0;
    virtual void commitEntry(Lumo::Ptr<ResolverEntry> const& resolverEntry) = 0;
    // Requests of one ordering domain (one software table) commit in the order they were queued.
    virtual void const* orderingDomain() const = 0;

  private:
    Lumo::Ptr<DependencyEntryHandle const> dependantEntryHandle_;
    EntryFlags flags_;
};

}  // namespace Asic

#pragma GCC visibility pop
