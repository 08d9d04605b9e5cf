#include "agent/runtime/Failures.h"

namespace VornTcamAgent {

std::string_view toString(FailureClass c) {
    switch (c) {
        case FailureClass::inLifUnavailable:
            return "inLifUnavailable";
        case FailureClass::actionFailed:
            return "actionFailed";
        case FailureClass::rejected:
            return "rejected";
        case FailureClass::unanswered:
            return "unanswered";
    }
    return "unknown";
}

std::string_view describe(FailureClass c) {
    switch (c) {
        case FailureClass::inLifUnavailable:
            return "action entries whose InLif key got no InLif index";
        case FailureClass::actionFailed:
            return "key entries whose action entry failed";
        case FailureClass::rejected:
            return "requests the table failed";
        case FailureClass::unanswered:
            return "requests never answered";
    }
    return "failures";
}

}  // namespace VornTcamAgent
