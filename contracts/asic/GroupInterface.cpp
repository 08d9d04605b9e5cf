#include "contracts/asic/GroupInterface.h"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "contracts/asic/Constants.h"
#include "contracts/lumo/Exception.h"

namespace Asic {

GroupInterface::GroupInterface(Lumo::String agentName, Lumo::String groupName, std::uint16_t agentAndGroupId,
                               Lumo::Ptr<Ledra::EntityManager> entityManager, Qel::EventLoop* loop)
    : agentName_(std::move(agentName)),
      groupName_(std::move(groupName)),
      agentAndGroupId_(agentAndGroupId),
      entityManager_(std::move(entityManager)),
      groupResolver_(Lumo::make<GroupResolver>(loop)) {
    groupResolver_->commitListenerIs(this);
}

GroupInterface::~GroupInterface() { groupResolver_->commitListenerIs(nullptr); }

void GroupInterface::addLogEntry(SwTableId tableId, LogVersion version, Lumo::Ptr<NeededEntry const> const& needed) {
    logEntries_[tableId].push_back(LogEntry{version, needed});
    // Inside a pass that groups its commits the listener hears of it once the group is stored.
    if (groupResolver_->grouping()) {
        learntInGroup_ = true;
        return;
    }
    if (logEntryListener_) logEntryListener_(tableId);
}

void GroupInterface::groupCommitted(bool durable) {
    if (!std::exchange(learntInGroup_, false) || !durable || !logEntryListener_) return;
    for (auto const& [tableId, queue] : logEntries_)
        if (!queue.empty()) logEntryListener_(tableId);
}

std::deque<GroupInterface::LogEntry> const& GroupInterface::logEntries(SwTableId tableId) const {
    return logEntries_[tableId];
}

std::size_t GroupInterface::logEntriesTotal() const {
    std::size_t n = 0;
    for (auto const& [id, q] : logEntries_) n += q.size();
    return n;
}

void GroupInterface::swTableSetIs(Lumo::Ptr<OrderedSwTableSet> const& set) {
    if (!set) throw Lumo::NullArgumentException("swTableSet");
    swTableSet_.set(set->tableId(), set);
}

void GroupInterface::sweepableSwTableSetIs(Lumo::Ptr<OrderedSwTableWithMarkSweep> const& table) {
    if (!table) throw Lumo::NullArgumentException("sweepableSwTableSet");
    for (auto const& t : sweepable_)
        if (t == table) return;
    sweepable_.push_back(table);
}

void GroupInterface::sweepAll() {
    auto tables = sweepable_;
    for (auto const& t : tables) t->sweep();
}

void GroupInterface::shutdown() {
    logEntryListener_ = nullptr;
    sweepable_.clear();
    for (auto [id, set] : swTableSet_) set->swTableDelAll();
    swTableSet_.delAll();
    logEntries_.clear();
    learntInGroup_ = false;
    groupResolver_->clear();
    groupResolver_->eventLoopDel();
}

Lumo::String GroupInterface::tableVersionPath(SwTableId tableId) const {
    return fmt::format("hardware/velum/group/{}/tableVersion/{:08x}",
                       Constants::canonicalizeGroupName(agentName_, groupName_), tableId.value());
}

std::optional<LogVersion> GroupInterface::tableVersion(SwTableId tableId) const {
    if (!entityManager_) return std::nullopt;
    return entityManager_->value(tableVersionPath(tableId), "version");
}

void GroupInterface::tableVersionIs(SwTableId tableId, LogVersion version) {
    if (entityManager_) entityManager_->valueIs(tableVersionPath(tableId), "version", version);
}

void GroupInterface::tableVersionDel(SwTableId tableId) {
    if (entityManager_) entityManager_->valueDel(tableVersionPath(tableId), "version");
}

}  // namespace Asic
