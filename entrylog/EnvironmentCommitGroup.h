#pragma once
// environmentCommitGroup(): the commit group a group resolver gathers the commits of a pass
// in, over the process's environment: every write of the pass goes into one LMDB transaction,
// committed when the resolver asks (Environment::groupBegin .. groupEnd). A pass that starts while
// the environment is closed, or inside an open WriteTransaction scope, groups nothing.
#include <memory>

#include "contracts/asic/GroupResolver.h"

namespace VornTunnelTcamMgr {

std::shared_ptr<Asic::CommitGroup> environmentCommitGroup();

}  // namespace VornTunnelTcamMgr
