#include "contracts/asic/OrderedTableInterface.h"

#include "contracts/asic/Constants.h"
#include "contracts/qel/Entity.h"

namespace Asic {

TableInterfaceBase::TableInterfaceBase(Lumo::Ptr<OrderedTableInterface> const& orderedTableIntf)
    : orderedTableIntf_(orderedTableIntf) {}
TableInterfaceBase::~TableInterfaceBase() = default;

OrderedTableInterface::OrderedTableInterface(Lumo::Ptr<Ledra::EntityManager> entityManager, Qel::EventLoop* loop)
    : entityManager_(std::move(entityManager)), loop_(loop), groupInterfaceColl_(Lumo::make<GroupInterfaceColl>()) {}

Lumo::Ptr<GroupInterface> OrderedTableInterface::makeGroupIntf(Lumo::String const& agentName,
                                                               Lumo::String const& groupName,
                                                               std::uint16_t agentAndGroupId) {
    Lumo::String canonical = Constants::canonicalizeGroupName(agentName, groupName);
    if (auto g = groupInterfaceColl_->groupIntf(canonical)) return g;
    auto g = Lumo::make<GroupInterface>(agentName, groupName, agentAndGroupId, entityManager_, loop_);
    groupInterfaceColl_->groupIntfIs(canonical, g);
    return g;
}

Lumo::Ptr<SwTableInterfacesSingleton> SwTableInterfacesSingleton::instance() {
    if (auto s = Qel::Entity::singleton<SwTableInterfacesSingleton>(kTypeName)) return s;
    auto s = Lumo::make<SwTableInterfacesSingleton>();
    Qel::Entity::singletonIs(kTypeName, s);
    return s;
}

}  // namespace Asic
