#include "swtable/IteratorStateT.h"

namespace VornTunnelTcamMgr {
Qel::TraceHandle& swTableIterTrace() {
    static Qel::TraceHandle handle("SwTableIter");
    return handle;
}
}  // namespace VornTunnelTcamMgr
