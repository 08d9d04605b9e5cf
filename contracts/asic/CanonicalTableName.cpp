#include "contracts/asic/CanonicalTableName.h"

#include "contracts/qel/Assert.h"

namespace Asic {
Lumo::String CanonicalTableName::name() const {
    switch (type_) {
        case kOrderedSwTableType:
            return "OrderedSwTable." + groupName_ + "." + tableName_;
        case kPartiallyOrderedSwTableType:
            return "PartiallyOrderedSwTable." + tableName_;
        case kResourceTableType:
            return "ResourceTable." + tableNamespace_ + "::" + tableName_;
        default:
            QEL_ASSERT_MSG(false, "false", "Table type undefined!");
    }
    return {};
}
}  // namespace Asic
