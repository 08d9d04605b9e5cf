#pragma once
// The key table's client hook class: feature code derives from it and overrides the hooks it
// needs (default: success does nothing, failure answers false, resource update answers true).
#include "api/Export.h"
#include "swtable/TcamInfraTypes.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamSwTableHelperBase : public SwTableHelperBaseT<TcamFamily> {
  public:
    ~TcamSwTableHelperBase() override;
    static Lumo::Ptr<TcamSwTableHelperBase> TcamSwTableHelperBaseIs();
};
VORN_TCAMMGR_API Lumo::Ptr<TcamSwTableHelperBase> tcamSwTableHelperBaseFactory();

}  // namespace VornTunnelTcamMgr
