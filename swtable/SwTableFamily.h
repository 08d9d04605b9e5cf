#pragma once
// Forward declarations of both table families and the pieces every family supplies.
//
// A family traits struct (TcamFamily, TcamActionFamily) names the family's value types and
// classes; every algorithm of the software table is written once over it. The families differ
// only where kHasResources says so: the action table binds its entries to InLif index
// resources through its linkage.
#include "contracts/qel/Trace.h"

namespace VornTunnelTcamMgr {

class TcamSwTable;
class TcamActionSwTable;
class TcamEntryWrapper;
class TcamActionEntryWrapper;
class TcamResolverEntry;
class TcamActionResolverEntry;
class TcamSwTableHelperBase;
class TcamActionSwTableHelperBase;
class TcamSwTableIteratorState;
class TcamActionSwTableIteratorState;
class TcamEntryLog;
class TcamActionEntryLog;
class TcamActionLinkageBase;

struct TcamFamily;
struct TcamActionFamily;

// The key table has no resource linkage; algorithms that take one get this empty stand-in.
struct NoLinkage {};

}  // namespace VornTunnelTcamMgr
