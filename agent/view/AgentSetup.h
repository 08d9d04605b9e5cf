#pragma once
// Settings every tcam-agent command shares: which shared-memory namespace it works on, which
// entity manager keeps the tables and where the agent's relaunch generation is stored. The namespace is checked and
// refused with BadInput, so that a command can refuse a bad command line before it touches anything.
#include <optional>
#include <stdexcept>
#include <string>

#include "contracts/lumo/String.h"
#include "contracts/types/TcamConstants.h"

namespace VornTcamAgent {

// A problem with what the user gave the program (exit status 2).
class BadInput : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The variable that names the namespace when no --namespace is given.
inline constexpr char kNamespaceVariable[] = "VORN_SHM_NAMESPACE";
// What a namespace name may be, as messages and --help say it.
inline constexpr char kNamespaceRule[] = "a namespace name is 1 to 128 of A-Z a-z 0-9 _ -, not starting with -";

// Makes `requested` (when given) this process's shared-memory namespace and returns the
// namespace in force: the requested one, else $VORN_SHM_NAMESPACE, else "default". A bad name,
// an empty VORN_SHM_NAMESPACE included, is refused (the message names the variable when the
// name came from it). Nothing is opened or created.
std::string selectNamespace(std::optional<std::string> const& requested);

// The name of the agent's state-database entity manager.
inline constexpr char kEntityManagerName[] = "VornTunnelNiEm";

// The state-database path of the agent's relaunch generation entity.
inline Lumo::String relaunchPath() {
    return Lumo::String("hardware/velum/agent/relaunch/config/") + VornTunnelTcamMgr::kAgentName;
}

// Whether the shared-memory tables are kept by the non-local entity manager (NOT_LOCAL_EM).
bool tablesUseNonLocalManager();

}  // namespace VornTcamAgent
