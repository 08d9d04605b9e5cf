#include "contracts/asic/HardwareWriterSim.h"

#include <algorithm>

namespace Asic {

HardwareWriterSim::HardwareWriterSim(Lumo::Ptr<GroupInterface> const& group, Qel::EventLoop* loop, std::uint32_t batch)
    : group_(group), loop_(loop), batch_(batch) {
    group_->logEntryListenerIs([this](SwTableId) { schedule(); });
}

HardwareWriterSim::~HardwareWriterSim() { group_->logEntryListenerIs(nullptr); }

void HardwareWriterSim::holdIs(bool hold) {
    hold_ = hold;
    if (!hold_) schedule();
}

void HardwareWriterSim::pendingFromLogIs(SwTableId tableId, LogVersion version) {
    group_->logEntriesMutable(tableId).push_back(GroupInterface::LogEntry{version, nullptr});
    schedule();
}

void HardwareWriterSim::schedule() {
    if (scheduled_ || hold_ || loop_ == nullptr) return;
    scheduled_ = true;
    loop_->post([self = Lumo::Ptr<HardwareWriterSim>(this)] {
        self->scheduled_ = false;
        self->step();
    });
}

bool HardwareWriterSim::needsMet(GroupInterface::LogEntry const& change) const {
    if (!change.needed) return true;
    for (auto [id, tv] : change.needed->neededEntry()) {
        auto set = group_->swTableSet(tv.tableId);
        if (!set || !set->status()) continue;  // a table the group does not program needs no wait
        if (set->status()->version() < tv.version) return false;
    }
    return true;
}

std::uint64_t HardwareWriterSim::step() {
    // Changes logged in a resolver pass that groups its commits are applied once the group is
    // stored; the group interface calls the listener again then.
    if (hold_ || group_->groupResolver()->grouping()) return 0;
    std::uint64_t total = 0;
    bool progress = true;
    // Round after round over the tables, since a change of one table may be what another
    // table's next change waits for; at most `batch_` changes per task.
    while (progress && total < batch_) {
        progress = false;
        for (auto [tableId, set] : group_->swTableSets()) {
            if (total >= batch_) break;
            auto& queue = group_->logEntriesMutable(tableId);
            LogVersion reached = set->status() ? set->status()->version() : 0;
            std::uint64_t n = 0;
            while (!queue.empty() && total + n < batch_ && needsMet(queue.front())) {
                reached = std::max(reached, queue.front().version);
                queue.pop_front();
                ++n;
            }
            if (n == 0) continue;
            total += n;
            progress = true;
            group_->tableVersionIs(tableId, reached);
            set->tableStatusVersionIs(reached);
        }
    }
    applied_ += total;
    // Whatever is left gets another task once this one made progress; changes that wait for
    // another table are retried when that table logs or advances.
    if (total > 0 && group_->logEntriesTotal() > 0) schedule();
    return total;
}

}  // namespace Asic
