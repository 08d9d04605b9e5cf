#pragma once
// Shared set-up of the whole-agent tests run in one process: a private shared-memory namespace
// and the agent's runtime. restartAgent() ends the runtime and the process-wide singletons (the
// agent process's memory) and starts a new runtime on the same shared memory; runHere() runs the
// agent's run command in the process instead.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <utility>

#include "agent/commands/CommandOptions.h"
#include "agent/commands/RunCommand.h"
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
    // `tcam-agent run --json` in this process, as an agent run of its own on the test's namespace
    // (the test's runtime, if any, is stopped first): its exit status and summary.
    std::pair<int, nlohmann::json> runHere(RunOptions options) {
        stopAgent();
        options.json = true;
        options.nameSpace = shm_.name();
        ::testing::internal::CaptureStdout();
        int const status = runCommand(options);
        std::string const out = ::testing::internal::GetCapturedStdout();
        Qel::Entity::singletonDelAll();
        shm_.restart();
        return {status, nlohmann::json::parse(out)};
    }

    VornTest::ScopedShmNamespace shm_;
    std::unique_ptr<Runtime> runtime_ = std::make_unique<Runtime>();
};

}  // namespace VornTcamAgent
