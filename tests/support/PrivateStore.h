#pragma once
// A test with a shared-memory namespace of its own that it opens itself (no environment is open
// when it starts) and whose files, whatever they have become, are all removed at the end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "tests/support/TestSupport.h"

namespace VornTest {

class PrivateStoreTest : public ::testing::Test {
  protected:
    explicit PrivateStoreTest(std::string const& prefix)
        : ns_(uniqueName(prefix)), files_(QelSharedMem::namespaceFiles(ns_)) {
        QelSharedMem::closeEnvironment();
    }
    ~PrivateStoreTest() override {
        QelSharedMem::closeEnvironment();
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_)) ::unlink(f.c_str());
    }

    // The data file holds `before` still, and no copy of the store was set aside.
    void expectUntouched(std::string const& before) const {
        EXPECT_EQ(fileText(files_.data), before);
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_))
            EXPECT_NE(f.rfind(files_.damagedPrefix, 0), 0u) << "set aside: " << f;
    }

    std::string const ns_;
    QelSharedMem::NamespaceFiles const files_;
};

}  // namespace VornTest
