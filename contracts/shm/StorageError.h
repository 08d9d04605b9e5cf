#pragma once
// QelSharedMem::StorageError: the base of the storage layer's errors that are not damage. Its
// own header, so that the headers declaring errors derived from it (NamespaceLock.h,
// StoreFiles.h, StoreUnavailable.h) need nothing else of the storage layer.
#include <stdexcept>

namespace QelSharedMem {

// An LMDB operation failed for a reason other than a full collection or map (those throw
// Lumo::CapacityExceededException). The transaction it belonged to is rolled back.
class StorageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace QelSharedMem
