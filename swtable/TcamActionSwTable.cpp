// The action table's instantiation of the software-table algorithms.
#include "swtable/TcamActionSwTable.h"

#include "swtable/internal/Members-defs.h"

namespace VornTunnelTcamMgr {

template class SwTableT<TcamActionFamily>;
template class EntryHandleT<TcamActionFamily>;
template class IteratorStateT<TcamActionFamily>;

Qel::TraceHandle& TcamActionFamily::trace() {
    static Qel::TraceHandle handle("TcamActionSwTable");
    return handle;
}

TcamActionSwTable::~TcamActionSwTable() = default;
TcamActionEntryWrapper::~TcamActionEntryWrapper() = default;
TcamActionResolverEntry::~TcamActionResolverEntry() = default;
TcamActionSwTableIteratorState::~TcamActionSwTableIteratorState() = default;
TcamActionSwTableHelperBase::~TcamActionSwTableHelperBase() = default;
TcamActionLinkageBase::~TcamActionLinkageBase() = default;

void TcamActionSwTable::linkageBaseIs(Lumo::Ptr<TcamActionLinkageBase> const& linkage) {
    if (linkage == inLifIndexLinkage_) return;
    inLifIndexLinkage_ = linkage;
    notify(kInLifIndexLinkage);
}

Lumo::Ptr<TcamActionSwTable> TcamActionSwTable::TcamActionSwTableIs(
    Lumo::Ptr<Asic::CanonicalTableName const> const& tableName, Asic::SwTableId swTableId, Asic::UnitId unitId,
    Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<TcamActionEntryLog> const& entryLog,
    Lumo::Ptr<Asic::GroupResolver> const& groupResolver) {
    return Lumo::make<TcamActionSwTable>(tableName, swTableId, unitId, swTableSet, entryLog, groupResolver);
}

Lumo::Ptr<TcamActionSwTable> tcamActionSwTableFactory(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                                      Asic::SwTableId swTableId, Asic::UnitId unitId,
                                                      Asic::OrderedSwTableSet* swTableSet,
                                                      Lumo::Ptr<TcamActionEntryLog> const& entryLog,
                                                      Lumo::Ptr<Asic::GroupResolver> const& groupResolver) {
    return TcamActionSwTable::TcamActionSwTableIs(tableName, swTableId, unitId, swTableSet, entryLog, groupResolver);
}

Lumo::Ptr<TcamActionEntryWrapper> TcamActionEntryWrapper::TcamActionEntryWrapperIs(
    TcamActionEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle) {
    return Lumo::make<TcamActionEntryWrapper>(entry, handle);
}
Lumo::Ptr<TcamActionEntryWrapper> tcamActionEntryWrapperFactory(
    TcamActionEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle) {
    return TcamActionEntryWrapper::TcamActionEntryWrapperIs(entry, handle);
}

Lumo::Ptr<TcamActionResolverEntry> TcamActionResolverEntry::TcamActionResolverEntryIs(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamActionSwTable* swTable, Lumo::Ptr<TcamActionEntryWrapper> const& swTableEntry) {
    return Lumo::make<TcamActionResolverEntry>(dependantEntryHandle, flags, swTable, swTableEntry);
}
Lumo::Ptr<TcamActionResolverEntry> tcamActionResolverEntryFactory(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamActionSwTable* swTable, Lumo::Ptr<TcamActionEntryWrapper> const& swTableEntry) {
    return TcamActionResolverEntry::TcamActionResolverEntryIs(dependantEntryHandle, flags, swTable, swTableEntry);
}

Lumo::Ptr<TcamActionSwTableIteratorState> tcamActionSwTableIteratorStateFactory() {
    return Lumo::make<TcamActionSwTableIteratorState>();
}

Lumo::Ptr<TcamActionSwTableHelperBase> TcamActionSwTableHelperBase::TcamActionSwTableHelperBaseIs() {
    return Lumo::make<TcamActionSwTableHelperBase>();
}
Lumo::Ptr<TcamActionSwTableHelperBase> tcamActionSwTableHelperBaseFactory() {
    return TcamActionSwTableHelperBase::TcamActionSwTableHelperBaseIs();
}

}  // namespace VornTunnelTcamMgr
