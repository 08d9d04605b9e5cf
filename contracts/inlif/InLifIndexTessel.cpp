#include "contracts/inlif/InLifIndexTessel.h"

#include <stdexcept>

#include "contracts/shm/RawCollection.h"

namespace VornTunnelNiLib {

InLifIndexTessel::InLifIndexTessel(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                   QelTessel::MountInfo const& info)
    : QelSharedMem::Entity(path, kInLifIndexTesselTypeName) {
    auto const& collections = info.collectionInfo();
    if (collections.size() != 1 || collections.front().name != kInLifIndexCollectionName) {
        throw std::invalid_argument(std::string(kInLifIndexTesselTypeName) + " at " + path +
                                    " mounts exactly one collection, \"" + kInLifIndexCollectionName + "\"");
    }
    Tessel::detail::CollectionDefinition definition;
    definition.dbName = manager.databaseName(path);
    definition.path = path;
    definition.typeName = kInLifIndexTesselTypeName;
    definition.collectionName = kInLifIndexCollectionName;
    definition.capacity = collections.front().size;
    definition.recordLayout = kInLifIndexRecordLayout;
    collection_ = std::make_unique<Collection>(manager.environment(), definition);
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
