#pragma once
// Tessel::mountSingleCollection: the mount of a shared-memory table type that holds exactly one
// keyed collection. The mount info must declare that one collection by name; anything else is
// refused with std::invalid_argument. The collection opens in the manager's environment under
// the table's path, with the declared size as its capacity.
#include <cstdint>
#include <memory>

#include "contracts/shm/KeyedCollection.h"
#include "contracts/shm/KeyedCollectionImpl.h"
#include "contracts/shm/RawCollection.h"

namespace Tessel {

// The definition of the collection `collectionName` that a table of `typeName` at `path` mounts.
detail::CollectionDefinition singleCollectionDefinition(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                        QelTessel::MountInfo const& info, char const* typeName,
                                                        char const* collectionName, std::uint32_t recordLayout);

template <typename Record>
std::unique_ptr<KeyedCollection<Record>> mountSingleCollection(QelSharedMem::EntityManager& manager,
                                                               Lumo::String const& path,
                                                               QelTessel::MountInfo const& info, char const* typeName,
                                                               char const* collectionName, std::uint32_t recordLayout) {
    return std::make_unique<KeyedCollection<Record>>(
        manager.environment(), singleCollectionDefinition(manager, path, info, typeName, collectionName, recordLayout));
}

}  // namespace Tessel
