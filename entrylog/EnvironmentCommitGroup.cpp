#include "entrylog/EnvironmentCommitGroup.h"

#include "contracts/shm/Environment.h"

namespace VornTunnelTcamMgr {

namespace {

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
        if (env_) env_->groupCommit();
    }
    void end(bool unwinding) override {
        std::shared_ptr<QelSharedMem::Environment> const env = std::move(env_);
        if (env) env->groupEnd(unwinding);
    }

  private:
    std::shared_ptr<QelSharedMem::Environment> env_;
};

}  // namespace

std::shared_ptr<Asic::CommitGroup> environmentCommitGroup() { return std::make_shared<EnvironmentCommitGroup>(); }

}  // namespace VornTunnelTcamMgr
