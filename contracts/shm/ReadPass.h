#pragma once
// QelSharedMem::ReadPass: one read transaction held across a run of reads of the process's
// environment.
//
// Every read of a keyed collection takes the environment's kept read transaction, checking that
// its snapshot is still the newest (Environment::Read). Reads made while a pass is alive nest
// inside the pass's read and skip that check; each read still does its own lookup or cursor
// step and throws as it would alone. Inside an open WriteTransaction scope a pass changes nothing
// (reads use the scope's transaction).
//
// A pass sees one snapshot: hold it only across reads with no write of this process between
// them, and not across a return to the event loop (a held snapshot keeps LMDB from reusing the
// pages that later commits free).
#include <memory>

#include "contracts/shm/Environment.h"

namespace QelSharedMem {

class ReadPass {
  public:
    // Begins the pass on the environment the collections of this process read from. Requires:
    // the environment is open (a collection has been read since it was opened).
    ReadPass() : env_(processEnvironment()), read_(*env_) {}
    ReadPass(ReadPass const&) = delete;
    ReadPass& operator=(ReadPass const&) = delete;

  private:
    std::shared_ptr<Environment> env_;  // kept alive until read_ has ended
    Environment::Read read_;
};

}  // namespace QelSharedMem
