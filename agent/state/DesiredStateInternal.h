#pragma once
// Shared between the desired-state sources only: where the elements of a parsed state came from,
// so that the cross-entry checks can name the line of the offending element.
#include <string>
#include <vector>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent::detail {

// Lines (1-based) of the elements of a state read from a file, in the state's order.
struct SourceLines {
    struct Unit {
        int unitIdLine = 0;                 // the "unit" value
        std::vector<int> actionIdLines;     // per action entry: its "actionId" value
        std::vector<int> keyLines;          // per key entry: where its object starts
        std::vector<int> keyActionIdLines;  // per key entry: its "actionId" value
    };
    std::string file;
    std::vector<Unit> units;
};

// validate() with lines for the messages; `lines` may be null (a state built in code).
void validateState(DesiredState const& state, SourceLines const* lines);

}  // namespace VornTcamAgent::detail
