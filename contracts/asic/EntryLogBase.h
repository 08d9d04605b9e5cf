#pragma once
// Asic::EntryLogBase: what the framework keeps for every entry log: the table, the state
// database, the group, the agent name, the last log version handed out (tableVersion) and
// the version up to which the log has been cleaned (cleanedVersion, 0 = never).
// The group is not counted: the group holds the software tables (through their sets) and each
// table holds its entry log, so a counted group here would be a cycle that only a fixed
// teardown order could break. Requires: the group outlives every commit through the log.
#include "contracts/asic/GroupInterface.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class EntryLogBase : public Lumo::PublishingNode {
  public:
    EntryLogBase(SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> entityManager,
                 Lumo::Ptr<GroupInterface> const& groupInterface, Lumo::String agentName)
        : tableId_(tableId),
          entityManager_(std::move(entityManager)),
          groupInterface_(groupInterface.ptr()),
          agentName_(std::move(agentName)) {}
    char const* typeData() const override { return "Asic::EntryLogBase"; }

    SwTableId tableId() const { return tableId_; }
    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return entityManager_; }
    GroupInterface* groupInterface() const { return groupInterface_; }
    Lumo::String const& agentName() const { return agentName_; }

    LogVersion tableVersion() const { return tableVersion_; }
    // Advances the table version by `amount` and returns the advanced value.
    LogVersion tableVersionInc(LogVersion amount) { return tableVersion_ += amount; }
    LogVersion cleanedVersion() const { return cleanedVersion_; }

  protected:
    void tableVersionIs(LogVersion v) { tableVersion_ = v; }
    void cleanedVersionIs(LogVersion v) { cleanedVersion_ = v; }

  private:
    SwTableId tableId_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    GroupInterface* groupInterface_;  // not counted, see above
    Lumo::String agentName_;
    LogVersion tableVersion_ = 0;
    LogVersion cleanedVersion_ = 0;
};

}  // namespace Asic

#pragma GCC visibility pop
