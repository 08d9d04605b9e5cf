#pragma once
// Why requests of a `tcam-agent run` failed: each failure is put in a class the summary counts
// and names, with the request's key and a reason a person can act on.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace VornTcamAgent {

enum class FailureClass : std::uint8_t {
    inLifUnavailable,  // an action entry's InLif key got no InLif index (the pools were used up)
    actionFailed,      // a key entry's action entry failed, so the key entry could not follow it
    rejected,          // the table failed the request for another reason
    unanswered,        // the request was never answered
};
inline constexpr std::size_t kFailureClasses = 4;

// "inLifUnavailable", ...: the class as the JSON summary names it.
std::string_view toString(FailureClass c);
// What the class means, for the text summary.
std::string_view describe(FailureClass c);

// One failed request.
struct Failure {
    FailureClass failureClass = FailureClass::rejected;
    std::string key;     // as the library formats it
    std::string reason;  // why, naming what the user can change
};

// Requests per failure class.
using FailureCounts = std::array<std::uint64_t, kFailureClasses>;

}  // namespace VornTcamAgent
