#pragma once
// Asic::HardwareWriterSim: the hardware side of a group, simulated. It consumes each table's
// logged changes in version order, honours each change's needed-entry set (a change that needs
// version X of another table waits until that table's status reaches X), and advances each
// table's status, which reaches every unit's software table through tableStatusVersion and is
// recorded in the group as the table's version. Work runs as tasks on the event loop.
#include <cstdint>

#include "contracts/asic/GroupInterface.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class HardwareWriterSim : public Lumo::Node {
  public:
    // Installs itself as the group's log-entry listener. `batch` bounds the changes applied
    // per table per task, so that one task never runs unboundedly long.
    HardwareWriterSim(Lumo::Ptr<GroupInterface> const& group, Qel::EventLoop* loop, std::uint32_t batch = 8192);
    ~HardwareWriterSim() override;
    char const* typeData() const override { return "Asic::HardwareWriterSim"; }

    // While held, nothing is applied (the table status stays behind); releasing schedules work.
    void holdIs(bool hold);
    bool hold() const { return hold_; }

    // Changes logged by an earlier agent run that the hardware never confirmed: the table's
    // status is brought up to `version` like for any logged change.
    void pendingFromLogIs(SwTableId tableId, LogVersion version);

    // Applies what can be applied now; returns the number of changes applied.
    std::uint64_t step();
    std::uint64_t applied() const { return applied_; }

  private:
    void schedule();
    bool needsMet(GroupInterface::LogEntry const& change) const;

    Lumo::Ptr<GroupInterface> group_;
    Qel::EventLoop* loop_;
    std::uint32_t batch_;
    bool hold_ = false;
    bool scheduled_ = false;
    std::uint64_t applied_ = 0;
};

}  // namespace Asic

#pragma GCC visibility pop
