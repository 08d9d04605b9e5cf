#include "agent/view/AgentSetup.h"

#include <fmt/format.h>

#include <cstdlib>

#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"

namespace VornTcamAgent {

static_assert(QelSharedMem::kMaxNamespaceLength == 128, "kNamespaceRule states the longest name");

std::string selectNamespace(std::optional<std::string> const& requested) {
    try {
        if (requested) {
            QelSharedMem::namespaceIs(*requested);
        } else if (char const* fromEnv = std::getenv(kNamespaceVariable)) {
            // The store's own default treats an empty variable as unset; the agent does not
            // guess which namespace was meant.
            if (*fromEnv == '\0')
                throw std::invalid_argument("it is set but empty; set it to a namespace name or unset it");
            QelSharedMem::namespaceIs(fromEnv);
        }
        return QelSharedMem::namespaceName();
    } catch (std::invalid_argument const& e) {
        throw BadInput(
            fmt::format("{}: {}; {}", requested ? "--namespace" : kNamespaceVariable, e.what(), kNamespaceRule));
    }
}

bool tablesUseNonLocalManager() { return std::getenv("NOT_LOCAL_EM") != nullptr; }

}  // namespace VornTcamAgent
