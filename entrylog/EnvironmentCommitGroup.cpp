#include "entrylog/EnvironmentCommitGroup.h"

#include <exception>

#include "contracts/qel/Assert.h"
#include "contracts/shm/Environment.h"

namespace VornTunnelTcamMgr {

namespace {

// The commits of a group were each told to their table, their client and the group as soon as
// their own writes succeeded (a write or commit that fails fails alone and is rolled back, as
// it would outside a group). Storage refusing the group afterwards cannot be taken back: every
// write found room in the file's reservation when it was made, so this means a broken store or
// system (an I/O error, memory exhausted). The process stops rather than go on with handles
// waiting for records that were never stored; the restart recovers from what the store holds,
// as after a crash.
[[noreturn]] void groupLost(char const* what) {
    Qel::assertionFailed("committed group stored", what, __FILE__, __LINE__, __func__);
}

// Holds the environment the group was begun on, so that a group outlives closeEnvironment()
// safely (its end then finds the handle closed and the group's writes reported lost).
class EnvironmentCommitGroup final : public Asic::CommitGroup {
  public:
    bool begin() override {
        std::shared_ptr<QelSharedMem::Environment> const& env = QelSharedMem::processEnvironment();
        if (!env->groupBegin()) return false;
        env_ = env;
        return true;
    }
    void commit() override {
        if (!env_) return;
        try {
            env_->groupCommit();
        } catch (std::exception const& e) {
            groupLost(e.what());
        }
    }
    void end(bool /*unwinding*/) override {
        std::shared_ptr<QelSharedMem::Environment> const env = std::move(env_);
        if (!env) return;
        try {
            env->groupEnd(false);
        } catch (std::exception const& e) {
            groupLost(e.what());
        }
    }

  private:
    std::shared_ptr<QelSharedMem::Environment> env_;
};

}  // namespace

std::shared_ptr<Asic::CommitGroup> environmentCommitGroup() { return std::make_shared<EnvironmentCommitGroup>(); }

}  // namespace VornTunnelTcamMgr
