#pragma once
// `tcam-agent run`: brings the agent up on shared memory, programs a desired state, runs until
// every request is answered and prints the summary. Returns the exit status.
#include "agent/commands/CommandOptions.h"

namespace VornTcamAgent {

int runCommand(RunOptions const& options);

}  // namespace VornTcamAgent
