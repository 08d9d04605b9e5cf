// The key table's instantiation of the software-table algorithms.
#include "swtable/TcamSwTable.h"

#include "swtable/internal/Members-defs.h"

namespace VornTunnelTcamMgr {

template class SwTableT<TcamFamily>;
template class EntryHandleT<TcamFamily>;
template class IteratorStateT<TcamFamily>;

Qel::TraceHandle& TcamFamily::trace() {
    static Qel::TraceHandle handle("TcamSwTable");
    return handle;
}

TcamSwTable::~TcamSwTable() = default;
TcamEntryWrapper::~TcamEntryWrapper() = default;
TcamResolverEntry::~TcamResolverEntry() = default;
TcamSwTableIteratorState::~TcamSwTableIteratorState() = default;
TcamSwTableHelperBase::~TcamSwTableHelperBase() = default;

Lumo::Ptr<TcamSwTable> TcamSwTable::TcamSwTableIs(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                                  Asic::SwTableId swTableId, Asic::UnitId unitId,
                                                  Asic::OrderedSwTableSet* swTableSet,
                                                  Lumo::Ptr<TcamEntryLog> const& entryLog,
                                                  Lumo::Ptr<Asic::GroupResolver> const& groupResolver) {
    return Lumo::make<TcamSwTable>(tableName, swTableId, unitId, swTableSet, entryLog, groupResolver);
}

Lumo::Ptr<TcamSwTable> tcamSwTableFactory(Lumo::Ptr<Asic::CanonicalTableName const> const& tableName,
                                          Asic::SwTableId swTableId, Asic::UnitId unitId,
                                          Asic::OrderedSwTableSet* swTableSet, Lumo::Ptr<TcamEntryLog> const& entryLog,
                                          Lumo::Ptr<Asic::GroupResolver> const& groupResolver) {
    return TcamSwTable::TcamSwTableIs(tableName, swTableId, unitId, swTableSet, entryLog, groupResolver);
}

Lumo::Ptr<TcamEntryWrapper> TcamEntryWrapper::TcamEntryWrapperIs(
    TcamEntry const& entry, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle) {
    return Lumo::make<TcamEntryWrapper>(entry, handle);
}
Lumo::Ptr<TcamEntryWrapper> tcamEntryWrapperFactory(TcamEntry const& entry,
                                                    Lumo::Ptr<Asic::OrderedSwTable::EntryHandle> const& handle) {
    return TcamEntryWrapper::TcamEntryWrapperIs(entry, handle);
}

Lumo::Ptr<TcamResolverEntry> TcamResolverEntry::TcamResolverEntryIs(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamSwTable* swTable, Lumo::Ptr<TcamEntryWrapper> const& swTableEntry) {
    return Lumo::make<TcamResolverEntry>(dependantEntryHandle, flags, swTable, swTableEntry);
}
Lumo::Ptr<TcamResolverEntry> tcamResolverEntryFactory(
    Lumo::Ptr<Asic::DependencyEntryHandle const> const& dependantEntryHandle, Asic::EntryFlags flags,
    TcamSwTable* swTable, Lumo::Ptr<TcamEntryWrapper> const& swTableEntry) {
    return TcamResolverEntry::TcamResolverEntryIs(dependantEntryHandle, flags, swTable, swTableEntry);
}

Lumo::Ptr<TcamSwTableIteratorState> tcamSwTableIteratorStateFactory() { return Lumo::make<TcamSwTableIteratorState>(); }

Lumo::Ptr<TcamSwTableHelperBase> TcamSwTableHelperBase::TcamSwTableHelperBaseIs() {
    return Lumo::make<TcamSwTableHelperBase>();
}
Lumo::Ptr<TcamSwTableHelperBase> tcamSwTableHelperBaseFactory() {
    return TcamSwTableHelperBase::TcamSwTableHelperBaseIs();
}

}  // namespace VornTunnelTcamMgr
