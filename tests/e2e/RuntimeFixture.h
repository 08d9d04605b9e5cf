#pragma once
// Shared set-up of the whole-agent tests run in one process: a private shared-memory namespace
// and the agent's runtime. restartAgent() ends the runtime and the process-wide singletons (the
// agent process's memory) and starts a new runtime on the same shared memory.
#include <gtest/gtest.h>

#include <memory>

#include "agent/runtime/Runtime.h"
#include "contracts/qel/Entity.h"
#include "tests/support/ShmNamespace.h"

namespace VornTcamAgent {

class RuntimeFixture : public ::testing::Test {
  protected:
    explicit RuntimeFixture(char const* namespacePrefix) : shm_(namespacePrefix) {}
    ~RuntimeFixture() override {
        runtime_.reset();
        Qel::Entity::singletonDelAll();
    }

    // Ends the runtime as the agent process's exit would; the shared memory stays.
    void stopAgent() {
        runtime_.reset();
        Qel::Entity::singletonDelAll();
        shm_.restart();
    }
    void restartAgent(RuntimeOptions const& options = {}) {
        stopAgent();
        runtime_ = std::make_unique<Runtime>(options);
    }

    VornTest::ScopedShmNamespace shm_;
    std::unique_ptr<Runtime> runtime_ = std::make_unique<Runtime>();
};

}  // namespace VornTcamAgent
