#pragma once
// Asic::EntryLogBase: what the framework keeps for every entry log: the table, the state
// database, the group, the agent name, the last log version handed out (tableVersion) and
// the version up to which the log has been cleaned (cleanedVersion, 0 = never).
#include "contracts/asic/GroupInterface.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

class EntryLogBase : public Lumo::PublishingNode {
  public:
    EntryLogBase(SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> entityManager,
                 Lumo::Ptr<GroupInterface> groupInterface, Lumo::String agentName)
        : tableId_(tableId),
          entityManager_(std::move(entityManager)),
          groupInterface_(std::move(groupInterface)),
          agentName_(std::move(agentName)) {}
    char const* typeData() const override { return "Asic::EntryLogBase"; }

    SwTableId tableId() const { return tableId_; }
    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return entityManager_; }
    Lumo::Ptr<GroupInterface> const& groupInterface() const { return groupInterface_; }
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
    Lumo::Ptr<GroupInterface> groupInterface_;
    Lumo::String agentName_;
    LogVersion tableVersion_ = 0;
    LogVersion cleanedVersion_ = 0;
};

}  // namespace Asic

#pragma GCC visibility pop
