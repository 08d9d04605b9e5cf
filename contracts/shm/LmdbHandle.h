#pragma once
// QelSharedMem::LmdbHandle: the one LMDB handle (MDB_env) a process keeps of a data file, shared
// by every user of that file in the process and closed when the last one lets it go.
//
// LMDB must not open one file twice in a process: its locks on the lock file are POSIX record
// locks, which belong to the process, so closing a second handle drops the locks of the first
// (its mark as a live reader among them). Another process's check for dead readers then frees the
// first handle's reader slots, and a writer reuses the pages of snapshots still being read. The
// writable Environment, the read-only views and the check at open therefore all take their
// handle here: a read-only user shares whatever handle the process has of the file, and a
// writable open while the process has one is refused. A file is known by device and inode, so a
// namespace removed and made anew is a new file.
//
// Named databases: LMDB lets one transaction at a time open database handles, and a handle opened
// in a read transaction lives only as long as that transaction unless it commits. Long-lived
// read transactions (views) therefore never open one: openAllDatabases() opens them in a short
// read transaction that commits at once, so that they are valid in every transaction begun
// afterwards.
//
// Descriptors: while LMDB opens its files (inside mdb_env_open), the free descriptors among 0-2
// are held on /dev/null, so that none of its files becomes a standard descriptor; its data file
// descriptor is made close-on-exec afterwards (LMDB opens the others so).
//
// Not thread-safe, like the rest of the service. A forked child never uses, shares or closes its
// parent's handles.
#include <lmdb.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/lumo/String.h"

namespace QelSharedMem {

// One slot of an LMDB lock file's reader table.
struct LmdbReader {
    std::int64_t pid = 0;
    std::optional<std::uint64_t> snapshot;  // the transaction it reads; nothing between reads
};

class LmdbHandle {
  public:
    struct Options {
        unsigned flags = 0;  // mdb_env_open's; MDB_RDONLY for a read-only handle
        std::size_t mapSize = 0;
        unsigned maxDatabases = 0;
    };

    // The process's handle of the existing data file at `path`, opened with `options` when the
    // process has none. A read-only request shares any handle of the file, except that a request
    // with a lock file does not share a handle opened without one (MDB_NOLOCK). A writable
    // request while the process has a handle of the file is refused (std::logic_error). Before
    // LMDB opens the file, a process holding LMDB's lock file exclusively (an LMDB setting it up)
    // is waited for a moment, then reported (StoreUnavailableError). After the open, the reader
    // slots of dead processes are freed. Null with `rc` set when LMDB refuses to open the file;
    // UnsafeFileError, StoreUnavailableError or StorageError when it cannot be tried.
    static std::shared_ptr<LmdbHandle> acquire(Lumo::String const& path, Options const& options, int& rc);
    // The handle this process has of the file at `path`, or null.
    static std::shared_ptr<LmdbHandle> find(Lumo::String const& path);

    ~LmdbHandle();
    LmdbHandle(LmdbHandle const&) = delete;
    LmdbHandle& operator=(LmdbHandle const&) = delete;

    MDB_env* env() const { return env_; }
    Lumo::String const& path() const { return path_; }
    bool ownedByThisProcess() const;

    // Begins a read-only transaction. When the reader table is full, the slots of dead processes
    // are freed and the begin is tried once more. LMDB's code.
    int beginRead(MDB_txn** txn);

    // Opens a handle of every named database of the newest snapshot that has none yet, in a read
    // transaction that commits. LMDB's code.
    int openAllDatabases();
    // Whether every name in the main database of `txn`'s snapshot has a handle or is known not to
    // be a database; `rc` receives a failure of the walk.
    bool coversSnapshot(MDB_txn* txn, int& rc) const;
    // The handle openAllDatabases opened for `name`.
    std::optional<MDB_dbi> database(std::string_view name) const;

    // The occupied slots of the reader table (empty without a lock file).
    std::vector<LmdbReader> readers() const;

    // The snapshots that open read-only views of this process read, by transaction id. While one
    // is open the map must not be moved, and each view can check that its reader slot is still
    // there (snapshotHeld).
    void viewBegan(std::uint64_t snapshot) { views_.insert(snapshot); }
    void viewEnded(std::uint64_t snapshot);
    bool viewsOpen() const { return !views_.empty(); }
    // Whether this process still has a reader slot on `snapshot` for each view that reads it.
    bool snapshotHeld(std::uint64_t snapshot) const;

  private:
    LmdbHandle(Lumo::String path, Options const& options);
    int open();

    Lumo::String path_;
    Options options_;
    pid_t pid_;
    MDB_env* env_ = nullptr;
    std::map<std::string, MDB_dbi, std::less<>> databases_;
    std::set<std::string, std::less<>> notDatabases_;  // names in the main database that are not databases
    std::multiset<std::uint64_t> views_;
};

// The cause (for StoreUnavailableError) of a full reader table of `env`: who holds its slots.
std::string readersFullCause(MDB_env* env);

}  // namespace QelSharedMem
