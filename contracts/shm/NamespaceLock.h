#pragma once
// QelSharedMem::NamespaceLock: the lock that makes one agent the only writer of a namespace.
//
// It is an flock(2) on the namespace's agent-lock file, so it dies with the process that holds
// it, however that process ends: a killed agent never blocks the next one. Taking it never
// waits: a namespace held by another process is refused at once. Readers (show, a dry run, the
// read-only view) never take it. Within one process the lock is counted, so the agent and a
// removal it makes itself do not refuse each other.
#include <cstdint>
#include <memory>

#include "contracts/lumo/String.h"
#include "contracts/shm/StorageError.h"

namespace QelSharedMem {

// Another process holds the namespace.
class NamespaceBusyError : public StorageError {
  public:
    using StorageError::StorageError;
};

class NamespaceLock {
  public:
    // Takes the agent lock of namespace `ns`, creating its lock file when absent. Throws
    // NamespaceBusyError when another process holds it, UnsafeFileError for a planted lock file,
    // std::invalid_argument for a bad name.
    explicit NamespaceLock(Lumo::String const& ns);
    ~NamespaceLock();
    NamespaceLock(NamespaceLock const&) = delete;
    NamespaceLock& operator=(NamespaceLock const&) = delete;

    Lumo::String const& nameSpace() const { return ns_; }
    // Whether this process holds the lock of `ns`.
    static bool heldHere(Lumo::String const& ns);
    // A count that moves whenever this process takes or releases a namespace's lock, so that
    // an answer of heldHere() can be kept until it does.
    static std::uint64_t changes();

  private:
    Lumo::String ns_;
};

}  // namespace QelSharedMem
