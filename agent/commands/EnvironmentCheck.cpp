#include "agent/commands/EnvironmentCheck.h"

#include <fmt/format.h>

#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "agent/commands/TraceSettings.h"
#include "agent/state/DesiredState.h"
#include "agent/state/EchoText.h"
#include "agent/state/OptionValues.h"
#include "agent/view/AgentSetup.h"

namespace VornTcamAgent {

void checkEnvironment(bool run) {
    if (char const* traces = std::getenv(kTraceVariable)) checkTraceList(traces, kTraceVariable);
    if (char const* nonLocal = std::getenv(kNonLocalManagerVariable); nonLocal && std::string_view(nonLocal) != "1")
        // The library counts the variable as set whatever it holds: "0" would still select the
        // non-local manager, and the agent would not find the tables it stored.
        throw BadInput(
            fmt::format("{}: \"{}\" is not accepted; set it to 1 to keep the tables in the non-local entity "
                        "manager, or unset it",
                        kNonLocalManagerVariable, echoText(nonLocal)));
    if (run) inLifPoolSizeFromEnvironment();
}

std::optional<std::uint32_t> inLifPoolSizeFromEnvironment() {
    char const* text = std::getenv(kInLifPoolSizeVariable);
    if (text == nullptr) return std::nullopt;
    try {
        return static_cast<std::uint32_t>(parseWholeNumber(text, kMaxInLifKeys));
    } catch (std::invalid_argument const& e) {
        throw BadInput(fmt::format("{}: {} (indexes per InLif pool)", kInLifPoolSizeVariable, e.what()));
    }
}

}  // namespace VornTcamAgent
