#pragma once
// Whether a desired state fits on top of what a namespace already stores, checked read-only
// before the run opens shared memory for writing.
//
// A run writes first and sweeps after, so the InLif keys of stored action entries keep their
// indexes until those entries are gone: the InLif pools must hold them together with the
// desired keys. (A unit's table that would overflow in the same way is not refused: the run
// removes its stale entries before writing, see RemoveFirst.h.)
#include <string>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

// Throws DesiredStateError (field "units[N].actionEntries[I].inLif" of the state) when the state does not fit on top of
// namespace `nameSpace`'s stored tables. A namespace that does not exist, or that cannot be read, is not checked: the
// run finds out. Requires: validate(state) passed; the namespace name was checked.
void checkFitsStored(DesiredState const& state, std::string const& nameSpace);

}  // namespace VornTcamAgent
