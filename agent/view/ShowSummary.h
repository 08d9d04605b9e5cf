#pragma once
// What `tcam-agent show` prints of a stored view, as text or JSON: per table the change log
// and per unit the counts (live, in deletion, corrupt records, wiped flag), the entries when the
// view was read with them, and the readers of other processes (and whether one keeps the file
// from reusing pages). The Python view returns the same JSON.
#include <nlohmann/json.hpp>
#include <string>

#include "agent/view/StoredView.h"

namespace VornTcamAgent {

std::string storedViewText(StoredView const& view);
nlohmann::json storedViewJson(StoredView const& view);

// One unit's counts and, when read, entries (an element of a table's "units").
nlohmann::json storedUnitJson(StoredUnit const& unit, bool withEntries);
// Entries as `show --json` lists them: [{"key", "entry"}].
nlohmann::json storedEntriesJson(std::vector<StoredEntry> const& entries);
// Readers as `show --json` lists them: [{"pid", "snapshot" (null between reads), "behind"}].
nlohmann::json storedReadersJson(std::vector<StoredReader> const& readers);

}  // namespace VornTcamAgent
