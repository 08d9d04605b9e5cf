#pragma once
// The environment variables tcam-agent reads, checked before a command touches anything. Each
// value is read strictly: an empty, malformed, out-of-range or unknown value is refused with
// BadInput (exit status 2) naming the variable and what it accepts, never taken as unset or
// as some other value.
//
//   QEL_TRACE                   trace handles enabled from the start: as --trace (TraceSettings.h)
//   NOT_LOCAL_EM                "1": the tables are kept by the non-local entity manager
//   VORN_AGENT_INLIF_POOL_SIZE  `run` only: both InLif pools shrunk to 0..65536 indexes
//   VORN_SHM_NAMESPACE          the default namespace: checked by selectNamespace (AgentSetup.h)
#include <cstdint>
#include <optional>

namespace VornTcamAgent {

inline constexpr char kTraceVariable[] = "QEL_TRACE";
inline constexpr char kNonLocalManagerVariable[] = "NOT_LOCAL_EM";
inline constexpr char kInLifPoolSizeVariable[] = "VORN_AGENT_INLIF_POOL_SIZE";

// Checks QEL_TRACE and NOT_LOCAL_EM, and with `run` VORN_AGENT_INLIF_POOL_SIZE. Throws BadInput.
void checkEnvironment(bool run);

// VORN_AGENT_INLIF_POOL_SIZE, when set. Throws BadInput for a bad value.
std::optional<std::uint32_t> inLifPoolSizeFromEnvironment();

}  // namespace VornTcamAgent
