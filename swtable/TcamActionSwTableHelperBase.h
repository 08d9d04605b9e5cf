#pragma once
// The action table's client hook class: feature code derives from it and overrides the hooks
// it needs (default: success does nothing, failure answers false, resource update answers true).
#include "api/Export.h"
#include "swtable/TcamActionInfraTypes.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamActionSwTableHelperBase : public SwTableHelperBaseT<TcamActionFamily> {
  public:
    ~TcamActionSwTableHelperBase() override;
    static Lumo::Ptr<TcamActionSwTableHelperBase> TcamActionSwTableHelperBaseIs();
};
VORN_TCAMMGR_API Lumo::Ptr<TcamActionSwTableHelperBase> tcamActionSwTableHelperBaseFactory();

}  // namespace VornTunnelTcamMgr
