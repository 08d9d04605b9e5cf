#pragma once
// Asic::GroupInterface: one group of ordered tables. It owns the group's resolver, knows the
// group's software-table sets and sweepable tables, learns every logged change (the hardware
// side consumes them), and keeps per table the log version the hardware has reached, in the
// state database so that it outlives the agent.
#include <deque>
#include <functional>
#include <optional>

#include "contracts/asic/GroupResolver.h"
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/SwTableSet.h"
#include "contracts/ledra/EntityManager.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class GroupInterface : public Lumo::PublishingNode, private GroupResolver::CommitListener {
  public:
    // A logged change as the hardware side sees it.
    struct LogEntry {
        LogVersion version = 0;
        Lumo::Ptr<NeededEntry const> needed;
    };

    GroupInterface(Lumo::String agentName, Lumo::String groupName, std::uint16_t agentAndGroupId,
                   Lumo::Ptr<Ledra::EntityManager> entityManager, Qel::EventLoop* loop);
    ~GroupInterface() override;
    char const* typeData() const override { return "Asic::GroupInterface"; }

    Lumo::String const& agentName() const { return agentName_; }
    Lumo::String const& groupName() const { return groupName_; }
    std::uint16_t agentAndGroupId() const { return agentAndGroupId_; }
    Lumo::Ptr<GroupResolver> const& groupResolver() const { return groupResolver_; }

    // A change of table `tableId` was logged at `version`, needing `needed` of other tables. It
    // is in logEntries() at once; the listener hears of it at once, or, during a resolver pass
    // that groups its commits, once the group's storage transaction has committed (the
    // hardware side applies only what is stored).
    void addLogEntry(SwTableId tableId, LogVersion version, Lumo::Ptr<NeededEntry const> const& needed);
    // Logged changes not yet taken by the hardware side, oldest first.
    std::deque<LogEntry> const& logEntries(SwTableId tableId) const;
    std::deque<LogEntry>& logEntriesMutable(SwTableId tableId) { return logEntries_[tableId]; }
    std::size_t logEntriesTotal() const;
    // Called when logged changes may be applied (the hardware side installs it).
    void logEntryListenerIs(std::function<void(SwTableId)> listener) { logEntryListener_ = std::move(listener); }

    void swTableSetIs(Lumo::Ptr<OrderedSwTableSet> const& set);
    Lumo::Ptr<OrderedSwTableSet> swTableSet(SwTableId tableId) const { return swTableSet_.get(tableId); }
    bool swTableSetHas(SwTableId tableId) const { return swTableSet_.has(tableId); }
    Qel::HashMap2018<SwTableId, Lumo::Ptr<OrderedSwTableSet>> const& swTableSets() const { return swTableSet_; }

    // Tables that take part in mark and sweep.
    void sweepableSwTableSetIs(Lumo::Ptr<OrderedSwTableWithMarkSweep> const& table);
    std::vector<Lumo::Ptr<OrderedSwTableWithMarkSweep>> const& sweepableSwTables() const { return sweepable_; }
    // Sweeps every sweepable table (what the framework does once the agent has written its state).
    void sweepAll();

    // The agent is going away: drops the group's tables, sets, queued requests and listener,
    // so that nothing the group reaches keeps another object alive, and detaches the resolver
    // from the event loop, so that a table still held elsewhere never schedules a pass on it.
    void shutdown();

    // The log version the hardware has reached for a table, as recorded persistently; none
    // when nothing was ever recorded.
    std::optional<LogVersion> tableVersion(SwTableId tableId) const;
    void tableVersionIs(SwTableId tableId, LogVersion version);
    void tableVersionDel(SwTableId tableId);

  private:
    Lumo::String tableVersionPath(SwTableId tableId) const;
    void groupCommitted(bool durable) override;

    Lumo::String agentName_;
    Lumo::String groupName_;
    std::uint16_t agentAndGroupId_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<GroupResolver> groupResolver_;
    Qel::HashMap2018<SwTableId, Lumo::Ptr<OrderedSwTableSet>> swTableSet_;
    std::vector<Lumo::Ptr<OrderedSwTableWithMarkSweep>> sweepable_;
    mutable std::unordered_map<SwTableId, std::deque<LogEntry>> logEntries_;
    std::function<void(SwTableId)> logEntryListener_;
    bool learntInGroup_ = false;  // a change was logged in the resolver's open commit group
};

// The group interfaces of an ordered-table interface, by canonical group name.
class GroupInterfaceColl : public Lumo::Node {
  public:
    char const* typeData() const override { return "Asic::GroupInterfaceColl"; }
    Lumo::Ptr<GroupInterface> groupIntf(Lumo::String const& canonicalName) const {
        return groupIntf_.get(canonicalName);
    }
    bool groupIntfHas(Lumo::String const& canonicalName) const { return groupIntf_.has(canonicalName); }
    void groupIntfIs(Lumo::String const& canonicalName, Lumo::Ptr<GroupInterface> const& g) {
        groupIntf_.set(canonicalName, g);
    }
    Qel::HashMap2018<Lumo::String, Lumo::Ptr<GroupInterface>> const& groupIntfs() const { return groupIntf_; }

  private:
    Qel::HashMap2018<Lumo::String, Lumo::Ptr<GroupInterface>> groupIntf_;
};

}  // namespace Asic

#pragma GCC visibility pop
