#pragma once
// The registry side of the ordered-table framework: the ordered-table interface (groups,
// named resource tables, table interfaces, the state database) and the process-wide
// singleton of table interfaces.
#include "contracts/asic/GroupInterface.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

// A table known by name to the ordered-table interface (resource tables are such tables).
class NamedSwTable : public Lumo::PublishingNode {
  public:
    char const* typeData() const override { return "Asic::NamedSwTable"; }
};

class OrderedTableInterface;

// Base of the table interfaces; keeps the ordered-table interface.
class TableInterfaceBase : public Lumo::PublishingNode {
  public:
    explicit TableInterfaceBase(Lumo::Ptr<OrderedTableInterface> const& orderedTableIntf);
    ~TableInterfaceBase() override;
    char const* typeData() const override { return "Asic::TableInterfaceBase"; }
    Lumo::Ptr<OrderedTableInterface> const& orderedTableIntf() const { return orderedTableIntf_; }
    virtual void reconcile() {}

  private:
    Lumo::Ptr<OrderedTableInterface> orderedTableIntf_;
};

class OrderedTableInterface : public Lumo::PublishingNode {
  public:
    OrderedTableInterface(Lumo::Ptr<Ledra::EntityManager> entityManager, Qel::EventLoop* loop);
    char const* typeData() const override { return "Asic::OrderedTableInterface"; }

    // Creates the group if it does not exist yet.
    Lumo::Ptr<GroupInterface> makeGroupIntf(Lumo::String const& agentName, Lumo::String const& groupName,
                                            std::uint16_t agentAndGroupId);
    Lumo::Ptr<GroupInterfaceColl> const& groupInterfaceColl() const { return groupInterfaceColl_; }
    Lumo::Ptr<GroupInterface> groupIntf(Lumo::String const& canonicalName) const {
        return groupInterfaceColl_->groupIntf(canonicalName);
    }

    Lumo::Ptr<NamedSwTable> resourceTable(Lumo::String const& name) const { return resourceTable_.get(name); }
    void resourceTableIs(Lumo::String const& name, Lumo::Ptr<NamedSwTable> const& table) {
        resourceTable_.set(name, table);
    }

    Lumo::Ptr<Ledra::EntityManager> const& entityManager() const { return entityManager_; }
    Qel::EventLoop* eventLoop() const { return loop_; }

    // Registered table interfaces, by registration name (plain pointers: the interfaces
    // themselves hold this object).
    void swTableIntfIs(Lumo::String const& name, TableInterfaceBase* intf) { swTableIntf_.set(name, intf); }
    void swTableIntfDel(Lumo::String const& name) { swTableIntf_.del(name); }
    TableInterfaceBase* swTableIntf(Lumo::String const& name) const { return swTableIntf_.get(name); }
    bool swTableIntfHas(Lumo::String const& name) const { return swTableIntf_.has(name); }

    // When true, newly created software tables are not marked for mark and sweep.
    bool skipMarkOnCreate() const { return skipMarkOnCreate_; }
    void skipMarkOnCreateIs(bool v) { skipMarkOnCreate_ = v; }

  private:
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Qel::EventLoop* loop_;
    Lumo::Ptr<GroupInterfaceColl> groupInterfaceColl_;
    Qel::HashMap2018<Lumo::String, Lumo::Ptr<NamedSwTable>> resourceTable_;
    Qel::HashMap2018<Lumo::String, TableInterfaceBase*> swTableIntf_;
    bool skipMarkOnCreate_ = false;
};

// Process-wide registry of table interfaces, found through Qel::Entity's singletons.
class SwTableInterfacesSingleton : public Lumo::Node {
  public:
    static constexpr char const* kTypeName = "Asic::SwTableInterfacesSingleton";
    char const* typeData() const override { return kTypeName; }

    // Finds the singleton, creating it on first use.
    static Lumo::Ptr<SwTableInterfacesSingleton> instance();

    Lumo::Ptr<TableInterfaceBase> swTableIntf(Lumo::String const& name) const { return swTableIntf_.get(name); }
    bool swTableIntfHas(Lumo::String const& name) const { return swTableIntf_.has(name); }
    void swTableIntfIs(Lumo::String const& name, Lumo::Ptr<TableInterfaceBase> const& intf) {
        swTableIntf_.set(name, intf);
    }
    void swTableIntfDel(Lumo::String const& name) { swTableIntf_.del(name); }

  private:
    Qel::HashMap2018<Lumo::String, Lumo::Ptr<TableInterfaceBase>> swTableIntf_;
};

}  // namespace Asic

#pragma GCC visibility pop
