#include "contracts/inlif/InLifIndexTessel.h"

#include "contracts/shm/SingleCollectionMount.h"

namespace VornTunnelNiLib {

InLifIndexTessel::InLifIndexTessel(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                   QelTessel::MountInfo const& info)
    : QelSharedMem::Entity(path, kInLifIndexTesselTypeName) {
    collection_ = Tessel::mountSingleCollection<InLifIndexTesselEntry>(
        manager, path, info, kInLifIndexTesselTypeName, kInLifIndexCollectionName, kInLifIndexRecordLayout);
}

Lumo::Ptr<QelSharedMem::Entity> InLifIndexTessel::mount(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                        QelTessel::MountInfo const& info) {
    return Lumo::make<InLifIndexTessel>(manager, path, info);
}

void registerInLifIndexTesselType() {
    QelSharedMem::EntityManager::entityTypeIs(kInLifIndexTesselTypeName, &InLifIndexTessel::mount);
}

}  // namespace VornTunnelNiLib

template class Tessel::KeyedCollection<VornTunnelNiLib::InLifIndexTesselEntry>;
