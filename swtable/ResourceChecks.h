#pragma once
// The action table's two checks of an entry's InLif resource, both on the linkage's
// resolution state: one for the resolution test (only an outstanding request holds the entry
// back) and one for the commit and update paths (only a resolved resource counts).
#include "contracts/asic/Types.h"
#include "contracts/qel/Trace.h"

namespace VornTunnelTcamMgr {

template <typename F, typename WrapperPtr, typename Linkage>
bool resAccessorCheckResolved(WrapperPtr const& wrapper, Linkage const& linkage) {
    if (linkage->entryResolutionState(wrapper) == Asic::EntryState::pending) {
        QEL_TRACE_AT(F::trace(), 3, "SwTable key: {}, resourceKey: {} is still unresolved!", wrapper->key(),
                     wrapper->rsrcKeys());
        return false;
    }
    return true;
}

template <typename F, typename WrapperPtr, typename Linkage>
bool checkResolveSuccess(WrapperPtr const& wrapper, Linkage const& linkage) {
    if (linkage->entryResolutionState(wrapper) == Asic::EntryState::done) return true;
    QEL_TRACE_AT(F::trace(), 3, "SwTable key: {}, resourceKey: {} has failed resolution!", wrapper->key(),
                 wrapper->rsrcKeys());
    return false;
}

}  // namespace VornTunnelTcamMgr
