// tcam-agent: placeholder until the software tables exist; prints the two tables it will serve.
#include <fmt/format.h>

#include "contracts/asic/Types.h"
#include "contracts/types/TcamConstants.h"

int main() {
    using namespace VornTunnelTcamMgr;
    fmt::print("Tcam       {} change log {}\n", Asic::SwTableId(0x1B080401), TcamConstants::tableEntryLogTesselPath());
    fmt::print("TcamAction {} change log {}\n", Asic::SwTableId(0x1B080402),
               TcamActionConstants::tableEntryLogTesselPath());
    return 0;
}
