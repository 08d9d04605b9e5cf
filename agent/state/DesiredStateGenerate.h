#pragma once
// Generated desired states for load and restart runs of the agent simulator. Everything is
// reproducible from the seed: the same arguments give the same state on every platform (the
// generator does not use the standard library's distributions, whose results vary).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

// `n` action entries (ids 1..n) and `n` key entries on each of `units`, in that order. A few
// actions share each InLif key, so that InLif resources are shared; about one action in eight has
// none. Every key entry names an action of its unit and keys are unique per unit.
// Throws std::invalid_argument for a unit above kMaxUnitId or a unit named twice, and when
// checkGenerateSize() refuses the size for InLif pools of `inLifKeys` keys (the agent's pools by
// default; a host with larger pools passes its own). The work is linear in the number of entries.
DesiredState generate(std::vector<Asic::UnitId> const& units, std::size_t n, std::uint64_t seed,
                      std::size_t inLifKeys = kMaxInLifKeys);

// The distinct InLif keys generate() gives each unit for `n` entries per table (a few actions
// share each key; keys of different units rarely coincide).
std::size_t generatedInLifKeys(std::size_t n);

// Refuses (std::invalid_argument) a size generate() must not make: more than kMaxEntriesPerTable
// entries per table, or more InLif keys over all units than pools of `inLifKeys` keys hold. Cheap:
// callers check before generating anything.
void checkGenerateSize(std::size_t unitCount, std::uint64_t n, std::size_t inLifKeys = kMaxInLifKeys);

// The state a restarted agent might ask for next: on each unit about `fraction` (0..1) of the
// entries of each table are touched, a third changed in place, a third dropped and a third's worth
// of new ones added; a key entry whose action is dropped is pointed at a surviving action (or
// dropped when none is left). When `fraction` is above 0, a table with entries loses at least one,
// gains at least one and, if any are left, has at least one changed. The result passes validate(); the units stay the
// same. Throws std::invalid_argument when `fraction` is outside 0..1.
DesiredState mutate(DesiredState const& state, std::uint64_t seed, double fraction);

}  // namespace VornTcamAgent
