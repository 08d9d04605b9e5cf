#pragma once
// Whether a desired state fits on top of what a namespace already stores, checked read-only
// before the run opens shared memory for writing.
//
// A run writes first and sweeps after: a unit's table keeps the entries it restored until the
// sweep removes those not written again, so for the duration of the run it holds the stored
// entries and the desired entries not stored. Likewise the InLif keys of stored action entries
// keep their indexes until those entries are gone, so the InLif pools must hold them together
// with the desired keys.
#include <string>

#include "agent/DesiredState.h"

namespace VornTcamAgent {

// Throws DesiredStateError (field "units[N].actionEntries", ".keyEntries" or ".inLif" of the
// state) when the state does not fit on top of namespace `nameSpace`'s stored tables. A
// namespace that does not exist, or that cannot be read, is not checked: the run finds out.
// Requires: validate(state) passed; the namespace name was checked.
void checkFitsStored(DesiredState const& state, std::string const& nameSpace);

}  // namespace VornTcamAgent
