#pragma once
// The shared-memory table types of the two TCAM tables: per table one change log (collection
// "entryLogConfig" of change-log records keyed by log version) and per unit one configuration
// table (collection "swTableEntries" of configuration records keyed by entry key).
//
// All four are one template, TcamTesselT, over the kind of table, its record and its type
// name. registerTcamTesselTypes() makes them known to QelSharedMem mounts:
//   mountGroup.doMount(path, "VornTunnelTcamMgr::TcamConfigTessel", mountInfo);
//   auto table = Lumo::ptr_cast<TcamConfigTessel>(manager->getEntity(path));
// The mount info must declare exactly the table's one collection (name and declared size, the
// collection's capacity); anything else is refused with std::invalid_argument.
#include <memory>

#include "contracts/shm/KeyedCollection.h"
#include "contracts/types/TcamRecords.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace VornTunnelTcamMgr {

enum class TcamTesselKind : std::uint8_t { entryLog, config };

inline constexpr char kEntryLogCollectionName[] = "entryLogConfig";
inline constexpr char kSwTableEntriesCollectionName[] = "swTableEntries";

inline constexpr char kTcamEntryLogTesselTypeName[] = "VornTunnelTcamMgr::TcamEntryLogTessel";
inline constexpr char kTcamConfigTesselTypeName[] = "VornTunnelTcamMgr::TcamConfigTessel";
inline constexpr char kTcamActionEntryLogTesselTypeName[] = "VornTunnelTcamMgr::TcamActionEntryLogTessel";
inline constexpr char kTcamActionConfigTesselTypeName[] = "VornTunnelTcamMgr::TcamActionConfigTessel";

// A shared-memory table of one keyed collection. Owns the mounted collection; the records
// themselves live in shared memory and outlive the object. A change log names its collection
// entryLogConfig, a configuration table swTableEntries, each with the Is/Del forms.
template <TcamTesselKind Kind, typename Record, char const* TypeName>
class TcamTesselT final : public QelSharedMem::Entity {
  public:
    using Collection = Tessel::KeyedCollection<Record>;
    using Key = typename Collection::Key;
    static constexpr char const* kTypeName = TypeName;
    static constexpr char const* kCollectionName =
        Kind == TcamTesselKind::entryLog ? kEntryLogCollectionName : kSwTableEntriesCollectionName;

    // Mounts the table's collection at `path` for `manager`. Requires: `info` declares exactly
    // one collection, named kCollectionName, with a size > 0 (else std::invalid_argument).
    TcamTesselT(QelSharedMem::EntityManager& manager, Lumo::String const& path, QelTessel::MountInfo const& info);

    // The factory registered for kTypeName.
    static Lumo::Ptr<QelSharedMem::Entity> mount(QelSharedMem::EntityManager& manager, Lumo::String const& path,
                                                 QelTessel::MountInfo const& info);

    Collection& entryLogConfig() const requires(Kind == TcamTesselKind::entryLog) { return *collection_; }
    void entryLogConfigIs(Record const& record) requires(Kind == TcamTesselKind::entryLog) { collection_->set(record); }
    // Typed by the collection's key (the version, for a change log) so that every member
    // compiles for both kinds, as an explicit instantiation of either needs.
    bool entryLogConfigDel(Key const& version) requires(Kind == TcamTesselKind::entryLog) {
        return collection_->del(version);
    }

    Collection& swTableEntries() const requires(Kind == TcamTesselKind::config) { return *collection_; }
    void swTableEntriesIs(Record const& record) requires(Kind == TcamTesselKind::config) { collection_->set(record); }
    bool swTableEntriesDel(Key const& key) requires(Kind == TcamTesselKind::config) { return collection_->del(key); }

    Lumo::Ptr<QelTessel::CollectionControl> collectionControl() const { return collection_->controlPtr(); }

  private:
    std::unique_ptr<Collection> collection_;
};

using TcamEntryLogTessel = TcamTesselT<TcamTesselKind::entryLog, TcamLogTesselEntry, kTcamEntryLogTesselTypeName>;
using TcamConfigTessel = TcamTesselT<TcamTesselKind::config, TcamConfigTesselEntry, kTcamConfigTesselTypeName>;
using TcamActionEntryLogTessel =
    TcamTesselT<TcamTesselKind::entryLog, TcamActionLogTesselEntry, kTcamActionEntryLogTesselTypeName>;
using TcamActionConfigTessel =
    TcamTesselT<TcamTesselKind::config, TcamActionConfigTesselEntry, kTcamActionConfigTesselTypeName>;

extern template class TcamTesselT<TcamTesselKind::entryLog, TcamLogTesselEntry, kTcamEntryLogTesselTypeName>;
extern template class TcamTesselT<TcamTesselKind::config, TcamConfigTesselEntry, kTcamConfigTesselTypeName>;
extern template class TcamTesselT<TcamTesselKind::entryLog, TcamActionLogTesselEntry,
                                  kTcamActionEntryLogTesselTypeName>;
extern template class TcamTesselT<TcamTesselKind::config, TcamActionConfigTesselEntry, kTcamActionConfigTesselTypeName>;

// Registers the four table types with QelSharedMem::EntityManager::entityTypeIs. Idempotent.
void registerTcamTesselTypes();

}  // namespace VornTunnelTcamMgr

extern template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamLogTesselEntry>;
extern template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamConfigTesselEntry>;
extern template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamActionLogTesselEntry>;
extern template class Tessel::KeyedCollection<VornTunnelTcamMgr::TcamActionConfigTesselEntry>;

#pragma GCC visibility pop
