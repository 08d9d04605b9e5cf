#pragma once
// `tcam-agent show`: prints what shared memory holds, read-only, with or without an agent
// running. `tcam-agent clean`: removes the namespace's shared memory. Both return the exit
// status.
#include "agent/commands/CommandOptions.h"
#include "agent/view/StoredView.h"

namespace VornTcamAgent {

int showCommand(ShowOptions const& options);
int cleanCommand(CleanOptions const& options);

// What `show` reads besides the counts, as its options ask.
StoredViewRequest storedViewRequest(ShowOptions const& options);

}  // namespace VornTcamAgent
