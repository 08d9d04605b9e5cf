#pragma once
// The whole-agent fixture with `tcam-agent run --json` run in this process, on the test's
// namespace, as one agent run of its own.
#include <nlohmann/json.hpp>
#include <utility>

#include "agent/commands/CommandOptions.h"
#include "agent/commands/RunCommand.h"
#include "tests/e2e/RuntimeFixture.h"

namespace VornTcamAgent {

class CommandFixture : public RuntimeFixture {
  protected:
    using RuntimeFixture::RuntimeFixture;

    // Stops the test's runtime, if any, and runs the command: its exit status and summary.
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
};

}  // namespace VornTcamAgent
