#include "contracts/shm/SingleCollectionMount.h"

#include <stdexcept>
#include <string>

namespace Tessel {

detail::CollectionDefinition singleCollectionDefinition(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                        QelTessel::MountInfo const& info, char const* typeName,
                                                        char const* collectionName, std::uint32_t recordLayout) {
    auto const& collections = info.collectionInfo();
    if (collections.size() != 1 || collections.front().name != collectionName) {
        throw std::invalid_argument(
            std::string(typeName) + " at " + path + " mounts exactly one collection, \"" + collectionName + "\"" +
            (collections.empty() ? "; none was declared" : "; \"" + collections.front().name + "\" was declared"));
    }
    detail::CollectionDefinition definition;
    definition.dbName = manager.databaseName(path);
    definition.path = path;
    definition.typeName = typeName;
    definition.collectionName = collectionName;
    definition.capacity = collections.front().size;
    definition.recordLayout = recordLayout;
    return definition;
}

}  // namespace Tessel
