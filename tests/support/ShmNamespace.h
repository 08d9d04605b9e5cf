#pragma once
// VornTest::ScopedShmNamespace: gives a test its own shared-memory namespace, so tests run in
// parallel without seeing each other's tables, and removes the namespace's files when the
// test ends so that nothing is left in /dev/shm.
//
// Create it before the first mount of the test (as a fixture member or at the top of the
// test body). Every shared-memory entity and keyed collection of the test must be released
// before it is destroyed: the destructor closes the process's environment.
#include <string>

#include "contracts/shm/SharedMem.h"
#include "tests/support/TestSupport.h"

namespace VornTest {

class ScopedShmNamespace {
  public:
    explicit ScopedShmNamespace(std::string const& prefix = "t") : name_(uniqueName(prefix)) {
        QelSharedMem::closeEnvironment();
        QelSharedMem::namespaceIs(name_);
    }
    ~ScopedShmNamespace() {
        QelSharedMem::closeEnvironment();
        QelSharedMem::removeNamespace(name_);
    }
    ScopedShmNamespace(ScopedShmNamespace const&) = delete;
    ScopedShmNamespace& operator=(ScopedShmNamespace const&) = delete;

    std::string const& name() const { return name_; }

    // Models an agent restart inside the test process: drops the environment handle; the next
    // mount reopens the same files.
    void restart() const { QelSharedMem::closeEnvironment(); }

  private:
    std::string name_;
};

}  // namespace VornTest
