#pragma once
// Reading and writing the desired state as JSON (format described in docs/desired-state.md).
// Reading checks the whole text before returning anything, so a caller never acts on part of a
// bad file.
#include <string>
#include <string_view>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

// The format version this program reads and writes (the top-level "version" field).
inline constexpr int kDesiredStateFormatVersion = 1;

// Parses and validates a desired state. `file` names the text in error messages. Throws
// DesiredStateError ("file:line: path: problem") on the first problem found.
DesiredState parseDesiredState(std::string_view text, std::string const& file = "<input>");

// Reads the file and parses it as parseDesiredState does; a file that cannot be read is a
// DesiredStateError too.
DesiredState loadDesiredState(std::string const& path);

// The JSON text of a state: one entry per line, addresses in canonical form. For a state that
// passes validate(), parseDesiredState(writeDesiredState(s)) == s.
std::string writeDesiredState(DesiredState const& state);

// Writes writeDesiredState(state) to the file, replacing it. Throws DesiredStateError when the file
// cannot be written.
void saveDesiredState(DesiredState const& state, std::string const& path);

}  // namespace VornTcamAgent
