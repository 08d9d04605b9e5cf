#pragma once
// VornTest::ScopedShmNamespace: gives a test its own shared-memory namespace, so tests run in
// parallel without seeing each other's tables, and removes the namespace's files when the
// test ends so that nothing is left in /dev/shm.
//
// Create it before the first mount of the test (as a fixture member or at the top of the
// test body). Every shared-memory entity and keyed collection of the test must be released
// before it is destroyed: the destructor closes the process's environment.
//
// The namespace is opened with a CountedStorageFaults that injects nothing until the test
// asks it to (faults()).
#include <memory>
#include <string>

#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StorageFaults.h"
#include "tests/support/TestSupport.h"

namespace VornTest {

class ScopedShmNamespace {
  public:
    explicit ScopedShmNamespace(std::string const& prefix = "t") : name_(uniqueName(prefix)) {
        QelSharedMem::closeEnvironment();
        QelSharedMem::namespaceIs(name_, QelSharedMem::NamespaceOptions{0, faults_});
    }
    ~ScopedShmNamespace() {
        QelSharedMem::closeEnvironment();
        QelSharedMem::removeNamespace(name_);
    }
    ScopedShmNamespace(ScopedShmNamespace const&) = delete;
    ScopedShmNamespace& operator=(ScopedShmNamespace const&) = delete;

    std::string const& name() const { return name_; }
    QelSharedMem::CountedStorageFaults& faults() const { return *faults_; }
    // Reopens the namespace with another map size (0: the normal one), so that a test can fill it.
    void mapSizeIs(std::size_t bytes) const {
        QelSharedMem::namespaceIs(name_, QelSharedMem::NamespaceOptions{bytes, faults_});
    }

    // Models an agent restart inside the test process: drops the environment handle; the next
    // mount reopens the same files.
    void restart() const { QelSharedMem::closeEnvironment(); }

  private:
    std::shared_ptr<QelSharedMem::CountedStorageFaults> faults_ =
        std::make_shared<QelSharedMem::CountedStorageFaults>();
    std::string name_;
};

}  // namespace VornTest
