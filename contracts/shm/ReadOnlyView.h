#pragma once
// QelSharedMem::ReadOnlyView: a look at a namespace's stored tables and state database that
// changes nothing, for inspection tools that run beside an agent or with none.
//
// It reads everything through one read transaction taken at open, so that every answer comes
// from the same committed snapshot even while an agent keeps writing; the snapshot is kept until
// the view is destroyed. The LMDB handle is the one this process has of the file (LmdbHandle.h):
// the process's own environment, other views and the check at open all share it, so closing one
// of them never takes another's snapshot away. Opened by the view, the handle is read-only. A
// namespace whose files do not exist is not created. LMDB records the reader in the lock file's
// reader table while the view is open; that is the only trace it leaves, and the next opener
// reclaims the slot of a reader that died.
#include <sys/types.h>

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

    // A reader of the namespace's store other than this process, from LMDB's reader table.
    struct Reader {
        std::int64_t pid = 0;
        std::optional<std::uint64_t> snapshot;  // the transaction it reads; nothing between reads
        // Transactions committed since its snapshot: while it reads, the pages they freed
        // cannot be reused, so the file grows with what is written meanwhile.
        std::uint64_t behind = 0;
    };

    // Opens namespace `ns` read-only. Null when its environment file does not exist. Throws
    // StorageError for a damaged store, StoreUnavailableError when it cannot be read now
    // (StoreUnavailable.h), UnsafeFileError for a file that may not be used,
    // std::invalid_argument for an unusable name.
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

    // The readers LMDB's reader table lists for the store, this process's own left out.
    std::vector<Reader> otherReaders() const;
    // The slots of the reader table (LMDB's default is 126).
    unsigned readerSlots() const;

    // StorageError when the view's snapshot can no longer be trusted: the view was opened by
    // another process (this one is a fork of it), or its slot in the reader table is gone (the
    // lock file was closed behind LMDB's back in this process, so another process took it for
    // dead), so that a writer may have reused its pages. The answers of a view that passes this
    // check before and after reading come from its snapshot.
    void checkSnapshot() const;

  private:
    struct Handles;
    explicit ReadOnlyView(Lumo::String path);
    void beginSnapshot();
    // The handle of the table's database, or nothing when this snapshot does not have it.
    std::optional<unsigned> tableDatabase(Lumo::String const& managerName, bool local, Lumo::String const& path) const;
    std::optional<unsigned> tableDatabase(std::string const& databaseName) const;

    Lumo::String path_;
    std::unique_ptr<Handles> handles_;
};

}  // namespace QelSharedMem
