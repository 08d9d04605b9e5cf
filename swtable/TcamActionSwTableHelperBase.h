#pragma once
// The action table's client hook class: feature code derives from it and overrides the hooks
// it needs (default: success does nothing, failure answers false, resource update answers true).
#include "swtable/TcamActionInfraTypes.h"

namespace VornTunnelTcamMgr {

class TcamActionSwTableHelperBase : public SwTableHelperBaseT<TcamActionFamily> {
  public:
    ~TcamActionSwTableHelperBase() override;
    static Lumo::Ptr<TcamActionSwTableHelperBase> TcamActionSwTableHelperBaseIs();
};
Lumo::Ptr<TcamActionSwTableHelperBase> tcamActionSwTableHelperBaseFactory();

}  // namespace VornTunnelTcamMgr
