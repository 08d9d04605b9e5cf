// The action table's instantiation of the table interface, with the InLif linkage step.
#include "interface/TcamActionInterface.h"

#include "interface/internal/TableInterfaceT-defs.h"
#include "linkage/TcamActionResourceTableLinkage.h"

namespace VornTunnelTcamMgr {

template class TableInterfaceT<TcamActionInterfaceTraits>;

Qel::TraceHandle& TcamActionInterfaceTraits::trace() {
    static Qel::TraceHandle handle("TcamActionInterface");
    return handle;
}

TcamActionInterface::~TcamActionInterface() = default;

void TcamActionInterfaceTraits::connectResources(TableInterfaceT<TcamActionInterfaceTraits>& intf,
                                                 TcamActionSwTable& table) {
    Asic::CanonicalTableName const name(Asic::kResourceTableType, "", "VornTunnelNiLib",
                                        "InLifIndex.featureVornVrfSelection");
    Lumo::Ptr<Asic::NamedSwTable> resTbl = intf.orderedTableIntf()->resourceTable(name.name());
    QEL_ASSERT(resTbl, "resTbl");
    auto typedResourceTable = Lumo::ptr_cast<VornTunnelNiLib::InLifIndexResourceTable>(resTbl);
    QEL_ASSERT(typedResourceTable, "typedResourceTable");
    auto client = typedResourceTable->makeClientInstance();
    auto const entries = typedResourceTable->entryCount();
    QEL_TRACE_AT(
        trace(), 2,
        "ResourceTable: VornTunnelNiLib::InLifIndex.featureVornVrfSelection started or restored with {} entries",
        entries);
    Qel::RingTrace::record(
        "ResourceTable: VornTunnelNiLib::InLifIndex.featureVornVrfSelection started or restored with {} entries",
        {static_cast<std::int64_t>(entries)});
    table.inLifIndexLinkageIs(tcamActionInLifIndexLinkageFactory(&table, client));
}

}  // namespace VornTunnelTcamMgr
