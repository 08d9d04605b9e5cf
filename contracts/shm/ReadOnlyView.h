#pragma once
// QelSharedMem::ReadOnlyView: a look at a namespace's stored tables and state database that
// changes nothing, for inspection tools that run beside an agent or with none.
//
// It opens the namespace's LMDB environment read-only (the process's own environment, the one
// the tables and the state database use, is not touched), and reads everything through one read
// transaction taken at open, so that every answer comes from the same committed snapshot even
// while an agent keeps writing. A namespace whose files do not exist is not created. LMDB
// records the reader in the lock file's reader table while the view is open; that is the only
// trace it leaves, and the next opener reclaims the slot of a reader that died.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/lumo/String.h"
#include "contracts/shm/CollectionMeta.h"

namespace QelSharedMem {

class ReadOnlyView {
  public:
    // One stored record of a keyed table: its encoded key, the record bytes (without the
    // checksum) and whether length and checksum are intact.
    struct Record {
        std::string_view key;
        std::string_view bytes;
        bool intact = false;
    };

    // Opens namespace `ns` read-only. Null when its environment file does not exist. Throws
    // StorageError when LMDB cannot read it, std::invalid_argument for an unusable name.
    static std::unique_ptr<ReadOnlyView> open(Lumo::String const& ns);
    ~ReadOnlyView();
    ReadOnlyView(ReadOnlyView const&) = delete;
    ReadOnlyView& operator=(ReadOnlyView const&) = delete;

    Lumo::String const& path() const { return path_; }

    // Paths of the stored tables of the entity manager (name, local) under pathBase, in byte
    // order, as EntityManager::findEntities lists them.
    std::vector<Lumo::String> findEntities(Lumo::String const& managerName, bool local,
                                           Lumo::String const& pathBase) const;
    // The stored metadata of a table; empty when absent or damaged.
    std::optional<CollectionMeta> metadata(Lumo::String const& managerName, bool local, Lumo::String const& path) const;
    // Records stored in a table (0 when the table does not exist).
    std::uint64_t recordCount(Lumo::String const& managerName, bool local, Lumo::String const& path) const;
    // Calls fn for the table's records in key order (backward: from the last); fn returns false
    // to stop. A table that does not exist has no records.
    void forEachRecord(Lumo::String const& managerName, bool local, Lumo::String const& path, bool backward,
                       std::function<bool(Record const&)> const& fn) const;
    // A raw value of the state database, by its stored key.
    std::optional<std::string> stateDatabaseValue(std::string_view key) const;

  private:
    struct Handles;
    explicit ReadOnlyView(Lumo::String path);
    // The handle of the table's database, or nothing when it does not exist.
    std::optional<unsigned> tableDatabase(Lumo::String const& managerName, bool local, Lumo::String const& path) const;

    Lumo::String path_;
    std::unique_ptr<Handles> handles_;
};

}  // namespace QelSharedMem
