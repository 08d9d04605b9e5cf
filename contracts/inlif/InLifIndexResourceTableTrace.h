#pragma once
// The "InLifIndexResourceTable" trace handle, shared by the resource table's source files.
#include "contracts/qel/Trace.h"

namespace VornTunnelNiLib {
Qel::TraceHandle& inLifIndexResourceTableTrace();
}  // namespace VornTunnelNiLib
