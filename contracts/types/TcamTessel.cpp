#include "contracts/types/TcamTessel.h"

#include "contracts/shm/SingleCollectionMount.h"

namespace VornTunnelTcamMgr {

template <TcamTesselKind Kind, typename Record, char const* TypeName>
TcamTesselT<Kind, Record, TypeName>::TcamTesselT(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                 QelTessel::MountInfo const& info)
    : QelSharedMem::Entity(path, TypeName) {
    collection_ = Tessel::mountSingleCollection<Record>(manager, path, info, TypeName, kCollectionName, kRecordLayout);
}

template <TcamTesselKind Kind, typename Record, char const* TypeName>
Lumo::Ptr<QelSharedMem::Entity> TcamTesselT<Kind, Record, TypeName>::mount(QelSharedMem::EntityManager& manager,
                                                                           Lumo::String const& path,
                                                                           QelTessel::MountInfo const& info) {
    return Lumo::make<TcamTesselT>(manager, path, info);
}

template class TcamTesselT<TcamTesselKind::entryLog, TcamLogTesselEntry, kTcamEntryLogTesselTypeName>;
template class TcamTesselT<TcamTesselKind::config, TcamConfigTesselEntry, kTcamConfigTesselTypeName>;
template class TcamTesselT<TcamTesselKind::entryLog, TcamActionLogTesselEntry, kTcamActionEntryLogTesselTypeName>;
template class TcamTesselT<TcamTesselKind::config, TcamActionConfigTesselEntry, kTcamActionConfigTesselTypeName>;

// Registering again replaces each factory by itself.
void registerTcamTesselTypes() {
    QelSharedMem::EntityManager::entityTypeIs(TcamEntryLogTessel::kTypeName, &TcamEntryLogTessel::mount);
    QelSharedMem::EntityManager::entityTypeIs(TcamConfigTessel::kTypeName, &TcamConfigTessel::mount);
    QelSharedMem::EntityManager::entityTypeIs(TcamActionEntryLogTessel::kTypeName, &TcamActionEntryLogTessel::mount);
    QelSharedMem::EntityManager::entityTypeIs(TcamActionConfigTessel::kTypeName, &TcamActionConfigTessel::mount);
}

}  // namespace VornTunnelTcamMgr

template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamLogTesselEntry>;
template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamConfigTesselEntry>;
template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamActionLogTesselEntry>;
template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamActionConfigTesselEntry>;
