#include "agent/AgentSetup.h"

#include <fmt/format.h>

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "contracts/qel/Trace.h"
#include "contracts/shm/SharedMem.h"

namespace VornTcamAgent {

std::string selectNamespace(std::optional<std::string> const& requested) {
    try {
        if (requested) QelSharedMem::namespaceIs(*requested);
        return QelSharedMem::namespaceName();
    } catch (std::invalid_argument const& e) {
        throw BadInput(e.what());
    }
}

namespace {

void checkTraceItem(std::string_view item) {
    auto const slash = item.rfind('/');
    if (slash == std::string_view::npos || slash == 0)
        throw BadInput(fmt::format("--trace: \"{}\" is not HANDLE/LEVEL", item));
    std::string_view const levelText = item.substr(slash + 1);
    int level = -1;
    auto const [end, ec] = std::from_chars(levelText.data(), levelText.data() + levelText.size(), level);
    if (ec != std::errc{} || end != levelText.data() + levelText.size() || level < 0 || level > 9)
        throw BadInput(fmt::format("--trace: level \"{}\" of \"{}\" is not 0..9", levelText, item));
}

}  // namespace

void enableTraces(std::vector<std::string> const& items) {
    std::vector<std::string_view> parts;
    for (std::string const& item : items) {
        std::string_view rest = item;
        while (!rest.empty()) {
            auto const comma = rest.find(',');
            std::string_view const part = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
            if (part.empty()) continue;
            checkTraceItem(part);
            parts.push_back(part);
        }
    }
    // Everything is checked before anything is enabled.
    for (std::string_view part : parts) Qel::TraceHandle::configure(part);
}

bool tablesUseNonLocalManager() { return std::getenv("NOT_LOCAL_EM") != nullptr; }

}  // namespace VornTcamAgent
