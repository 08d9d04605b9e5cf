#pragma once
// Asic::CanonicalTableName: the framework's name of a table, built from its type, group,
// namespace and table name.
#include <cstdint>

#include "contracts/lumo/Node.h"
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Asic {

using OrderedTableType = std::uint8_t;
inline constexpr OrderedTableType kOrderedSwTableType = 0;
inline constexpr OrderedTableType kPartiallyOrderedSwTableType = 1;
inline constexpr OrderedTableType kResourceTableType = 2;

class CanonicalTableName : public Lumo::Node {
  public:
    CanonicalTableName(OrderedTableType type, Lumo::String groupName, Lumo::String tableNamespace,
                       Lumo::String tableName)
        : type_(type),
          groupName_(std::move(groupName)),
          tableNamespace_(std::move(tableNamespace)),
          tableName_(std::move(tableName)) {}
    char const* typeData() const override { return "Asic::CanonicalTableName"; }

    OrderedTableType type() const { return type_; }
    Lumo::String const& groupName() const { return groupName_; }
    Lumo::String const& tableNamespace() const { return tableNamespace_; }
    Lumo::String const& tableName() const { return tableName_; }

    // "OrderedSwTable.<group>.<table>", "PartiallyOrderedSwTable.<table>" or
    // "ResourceTable.<namespace>::<table>"; any other type stops the process.
    Lumo::String name() const;

  private:
    OrderedTableType type_;
    Lumo::String groupName_;
    Lumo::String tableNamespace_;
    Lumo::String tableName_;
};

}  // namespace Asic

#pragma GCC visibility pop
