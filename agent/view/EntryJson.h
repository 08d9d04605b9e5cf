#pragma once
// The JSON form of a table entry: its fields as one JSON object, named as in desired-state
// files. The completion lines of `tcam-agent run` and the output of `tcam-agent show --json`
// both use it, so that a tool can compare what was answered with what is stored field by field.
//
//   key table:    {"vrf", "tunnelType", "addressFamily", "srcAddr", "dstAddr", "priority",
//                  "ttlCheck", "actionId"}
//   action table: {"actionId", "decapType", "vrf", "inLif" ({"intf", "vlan"} or null),
//                  "inLif0Index", "inLif23Index"}
//
// An enumeration value this build does not know is written as its number.
#include <nlohmann/json.hpp>

#include "contracts/types/TcamTypes.h"

namespace VornTcamAgent {

nlohmann::json entryJson(VornTunnelTcamMgr::TcamEntry const& entry);
nlohmann::json entryJson(VornTunnelTcamMgr::TcamActionEntry const& entry);

}  // namespace VornTcamAgent
