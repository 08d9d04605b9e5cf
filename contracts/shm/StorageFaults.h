#pragma once
// QelSharedMem::StorageFaults: the seam through which a test makes the shared-memory service
// fail the way real storage fails, without touching the stored files. A namespace is opened
// with one (NamespaceOptions::faults); the environment of that namespace asks it at each point
// where storage can fail. The default answers are those of healthy storage, so an object of
// this class itself injects nothing.
//
// A "unit" is what succeeds or fails on its own: a write transaction of its own, or, inside a
// commit group, one outermost WriteTransaction scope or one single write. A failed write or
// commit rolls back its unit only, as a real LMDB failure does.
#include <cstdint>
#include <set>

#include "contracts/lumo/String.h"

namespace QelSharedMem {

class StorageFaults {
  public:
    virtual ~StorageFaults() = default;
    // Asked before every data write (a record set or removal, or a collection control change):
    // true makes the write fail as if LMDB had failed with EIO.
    virtual bool failWrite() { return false; }
    // Asked when a unit is about to become part of the store (its own transaction commits, or
    // it ends inside a commit group): true makes that commit fail with EIO.
    virtual bool failCommit() { return false; }
    // Asked when the stored table at `path` is mounted: true makes it come up wiped, as a table
    // whose stored form could not be used does.
    virtual bool wipedAtMount(Lumo::String const& /*path*/) { return false; }
    // Asked when a record of the table at `path` is read and found intact: true makes the read
    // report it corrupt, as a record failing its checksum does.
    virtual bool corruptRead(Lumo::String const& /*path*/) { return false; }
    // Whether records that reads found damaged are removed (true, as in service) or kept, so
    // that a test can read them again.
    virtual bool quarantineDamaged() { return true; }
};

// Ready-made faults for tests: fail the nth write or commit counted from when it was set
// (1 is the next one), bring given tables up wiped, report every record of given tables corrupt.
class CountedStorageFaults : public StorageFaults {
  public:
    // 0 turns the fault off. `sticky`: every write (commit) from the nth on fails.
    void failWriteAtIs(std::uint64_t n, bool sticky = false) { writes_ = Counter{n, sticky}; }
    void failCommitAtIs(std::uint64_t n, bool sticky = false) { commits_ = Counter{n, sticky}; }
    void wipedAtMountIs(Lumo::String const& path) { wiped_.insert(path); }
    void corruptReadsIs(Lumo::String const& path, bool corrupt) {
        if (corrupt) {
            corrupt_.insert(path);
        } else {
            corrupt_.erase(path);
        }
    }
    void quarantineDamagedIs(bool quarantine) { quarantine_ = quarantine; }
    std::uint64_t writesFailed() const { return writes_.failed; }
    std::uint64_t commitsFailed() const { return commits_.failed; }
    // Writes and commits asked about since the fault was last set.
    std::uint64_t writesSeen() const { return writes_.seen; }
    std::uint64_t commitsSeen() const { return commits_.seen; }

    bool failWrite() override { return writes_.take(); }
    bool failCommit() override { return commits_.take(); }
    bool wipedAtMount(Lumo::String const& path) override { return wiped_.erase(path) != 0; }
    bool corruptRead(Lumo::String const& path) override { return !corrupt_.empty() && corrupt_.count(path) != 0; }
    bool quarantineDamaged() override { return quarantine_; }

  private:
    struct Counter {
        std::uint64_t left = 0;  // calls until the failing one; 0: off
        bool sticky = false;
        std::uint64_t failed = 0;
        std::uint64_t seen = 0;
        bool take() {
            ++seen;
            if (left == 0) return false;
            if (left > 1) {
                --left;
                return false;
            }
            if (!sticky) left = 0;
            ++failed;
            return true;
        }
    };
    Counter writes_;
    Counter commits_;
    std::set<Lumo::String> wiped_;
    std::set<Lumo::String> corrupt_;
    bool quarantine_ = true;
};

}  // namespace QelSharedMem
