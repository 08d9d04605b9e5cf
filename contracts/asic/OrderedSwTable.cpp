#include "contracts/asic/OrderedSwTable.h"

#include "contracts/asic/SwTableSet.h"
#include "contracts/lumo/Exception.h"

namespace Asic {

OrderedSwTable::OrderedSwTable(Lumo::Ptr<CanonicalTableName const> tableName, SwTableId swTableId, UnitId unitId,
                               OrderedSwTableSet* swTableSet)
    : tableName_(std::move(tableName)), swTableId_(swTableId), unitId_(unitId), swTableSet_(swTableSet) {}

OrderedSwTable::~OrderedSwTable() = default;

void OrderedSwTable::statusIs(Lumo::Ptr<OrderedSwTableStatus> const& status) { status_ = status; }

void OrderedSwTableSet::swTableDelAll() {
    for (auto [unitId, table] : swTable_) table->swTableSetDel();
    swTable_.delAll();
}

void OrderedSwTableSet::swTableIs(Lumo::Ptr<OrderedSwTable> const& table) {
    if (!table) throw Lumo::NullArgumentException("swTable");
    swTable_.set(table->unitId(), table);
}

void OrderedSwTableSet::maybeUpdatePendingHwWrites() {
    if (!status_) return;
    bool pending = false;
    for (auto [unit, table] : swTable_) {
        if (table->hasPendingHwWrites()) {
            pending = true;
            break;
        }
    }
    status_->pendingHwWritesIs(pending);
}

void OrderedSwTableSet::tableStatusVersionIs(LogVersion version) {
    if (status_) status_->versionIs(version);
    // Units may be added by a table's reaction; walk by position.
    for (auto p = swTable_.first(); p != SwTableColl::npos; p = swTable_.next(p)) {
        Lumo::Ptr<OrderedSwTable> table = swTable_.valueAt(p);
        table->tableStatusVersion(version);
    }
}

}  // namespace Asic
