#pragma once
// QelSharedMem::StoreUnavailableError: the store cannot be used now, for a reason that says nothing
// about what it holds: LMDB's reader table is full, memory or descriptors ran out, its lock file is
// held, or it was written by an LMDB of another data version. None of these is damage: the store is
// left byte for byte as it was and nothing is set aside. The message names the cause and what to do,
// and depends only on the cause and the data file (never on which step met it), so every tool that
// meets the same cause (the agent, show, the dry run, the Python view) says the same thing.
#include <optional>
#include <string>
#include <string_view>

#include "contracts/lumo/String.h"
#include "contracts/shm/StorageError.h"

namespace QelSharedMem {

class StoreUnavailableError : public StorageError {
  public:
    using StorageError::StorageError;
};

// The cause and advice for an error code (errno or LMDB's) that makes a store unavailable without
// damage, or nothing for any other code. MDB_READERS_FULL is described by readersFullCause
// (LmdbHandle.h); MDB_INVALID and MDB_VERSION_MISMATCH are taken to concern the lock file, as
// they do once the data file's metas have passed the check.
std::optional<std::string> unavailableCause(int rc);

// Throws StoreUnavailableError for the data file at `path` with `cause`.
[[noreturn]] void throwUnavailable(Lumo::String const& path, std::string_view cause);

// Throws what failing code `rc` means while `what` (e.g. "opening") the store at `path`:
// StoreUnavailableError for a cause unavailableCause knows, otherwise StorageError. Never for damage:
// the caller has already told damage apart.
[[noreturn]] void throwStoreError(int rc, Lumo::String const& path, std::string_view what);

}  // namespace QelSharedMem
