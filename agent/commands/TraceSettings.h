#pragma once
// The trace settings tcam-agent accepts, from `run --trace` and from QEL_TRACE. A list is
// "HANDLE/LEVEL[,HANDLE/LEVEL...]" with LEVEL 0..9 and HANDLE the name of a trace handle the
// library makes, or "*" for all of them. Anything else (an empty list or item, a level out of
// range, an unknown handle) is refused with BadInput before anything is enabled, so that a
// misspelt handle is not silently traced at no level.
#include <string>
#include <string_view>
#include <vector>

namespace VornTcamAgent {

// The names of every trace handle of the library and its platform layer, in name order. The
// handles are made on first use; this makes them all (which also applies QEL_TRACE to them).
std::vector<std::string> knownTraceHandles();

// Checks one list; `source` ("--trace", "QEL_TRACE") begins the message. Throws BadInput.
void checkTraceList(std::string_view list, std::string_view source);

// Checks every `--trace` value, then enables them all. Throws BadInput, having enabled nothing.
void enableTraces(std::vector<std::string> const& lists);

}  // namespace VornTcamAgent
