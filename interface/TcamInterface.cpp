// The key table's instantiation of the table interface.
#include "interface/TcamInterface.h"

#include "interface/internal/TableInterfaceT-defs.h"

namespace VornTunnelTcamMgr {

template class TableInterfaceT<TcamInterfaceTraits>;

Qel::TraceHandle& TcamInterfaceTraits::trace() {
    static Qel::TraceHandle handle("TcamInterface");
    return handle;
}

TcamInterface::~TcamInterface() = default;

}  // namespace VornTunnelTcamMgr
