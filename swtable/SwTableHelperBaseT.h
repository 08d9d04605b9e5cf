#pragma once
// The client hook object of a software table: feature code derives from the family's hook
// class, overrides the hooks it needs and installs an instance with swTableHelperIs. The
// defaults: success does nothing, failure answers false (drop the request), a resource update
// answers true (record the re-evaluated entry).
#include "api/Export.h"
#include "contracts/lumo/Node.h"
#include "swtable/SwTableFamily.h"

namespace VornTunnelTcamMgr {

template <typename F>
class VORN_TCAMMGR_API SwTableHelperBaseT : public Lumo::Node {
  public:
    using Wrapper = typename F::Wrapper;
    using SwTable = typename F::SwTable;

    char const* typeData() const override { return F::kHelperTypeName; }

    virtual void finalizeOnSuccess(Lumo::Ptr<Wrapper> const& entry, bool isDelete, Lumo::Ptr<SwTable> const& swTable) {
        (void)entry, (void)isDelete, (void)swTable;
    }
    virtual bool finalizeOnFailure(Lumo::Ptr<Wrapper> const& entry, bool isDelete, Lumo::Ptr<SwTable> const& swTable) {
        (void)entry, (void)isDelete, (void)swTable;
        return false;
    }
    // Note the order: the software table comes before the flag.
    virtual bool finalizeOnResourceUpdate(Lumo::Ptr<Wrapper> const& entry, Lumo::Ptr<SwTable> const& swTable,
                                          bool someResourceHasFailed) {
        (void)entry, (void)swTable, (void)someResourceHasFailed;
        return true;
    }
};

}  // namespace VornTunnelTcamMgr
