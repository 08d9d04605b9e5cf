#pragma once
// QelSharedMem::Environment: the process's handle on one namespace's LMDB environment, and the
// transaction discipline every table and the state database go through. Internal to the
// service: users see only the forward declaration in SharedMem.h.
//
// Owns the MDB_env, the metadata and state-database databases, one kept read-only transaction
// (MDB_NOTLS) with one reusable cursor per database, and the write transaction of an open
// WriteTransaction scope or commit group. After a read the kept transaction stays live
// ("parked"): the next read reuses it, cursors where they were left, as long as no transaction
// has committed since (LMDB's last committed transaction id still equals the snapshot's);
// otherwise it is reset and renewed on the newest snapshot. Every write transaction of this
// process resets a parked one first, so it never pins a snapshot older than the newest and
// never keeps this process's writes from reusing the pages they free. A read costs no
// allocation. Not thread-safe: the agent uses it from its
// one thread.
//
// A commit group (groupBegin .. groupEnd) gathers every write made while it is open into one
// LMDB transaction, begun at the first write and committed by groupCommit() or groupEnd(). Each
// outermost WriteTransaction scope, and each single write outside a scope, is a unit of the
// group that succeeds or fails on its own: when one fails (or its scope ends by an exception),
// the transaction is rolled back to where that unit began, by aborting it and writing again
// what the earlier units wrote (kept in a journal), so the failure looks as it would without
// the group. Nothing is durable before the group commits.
//
// Lifetime: held by std::shared_ptr from the process state and from every collection, so a
// collection that outlives closeEnvironment() finds the handle closed (its operations throw
// std::logic_error) instead of dangling.
#include <lmdb.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/qel/Trace.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StorageFaults.h"

namespace QelSharedMem {

struct NamespaceFiles;
class LmdbHandle;

// Size of the memory map: the upper bound of everything stored in one namespace. The file on
// tmpfs is sparse, so only pages in use take memory; a 32-bit process can only map ~1 GiB.
inline constexpr std::size_t kMapSize = sizeof(void*) >= 8 ? std::size_t(8) << 30 : std::size_t(1) << 30;
// Named databases: two change logs and two configuration tables for each of 256 units, for a
// local and a global entity manager, plus the metadata and state-database databases.
inline constexpr unsigned kMaxDatabases = 2 * (2 + 2 * 256) + 64;
inline constexpr char kMetaDatabase[] = "__meta";
inline constexpr char kLedraDatabase[] = "__ledra";

class Environment : public std::enable_shared_from_this<Environment> {
  public:
    // Opens the environment of namespace `ns`, creating its files (mode 0600, exclusively) when
    // absent. Before LMDB sees a stored file its metas are checked by reads, and once LMDB holds
    // a read transaction on it the whole snapshot is audited (PageAudit.h). A file whose stored
    // format is proven damaged (the meta check or the audit fails, or LMDB refuses it as
    // corrupt) is kept aside under a new name (damagedCopy()) and a new store is created; the
    // environment then reports recreated() and every collection it creates comes up wiped. Any
    // other failure throws and leaves every file as it was: a planted or foreign file
    // (UnsafeFileError); a full reader table, no memory or descriptors, a held lock file, a file
    // of another LMDB data version (StoreUnavailableError); permissions, a full file system
    // (StorageError). std::logic_error when this process already has the file open (a read-only
    // view of it included): LMDB must not open it twice.
    // `faults`, when set, is asked at every point where storage can fail (StorageFaults.h).
    static std::shared_ptr<Environment> open(Lumo::String const& ns, std::size_t mapSize = kMapSize,
                                             std::shared_ptr<StorageFaults> faults = nullptr);
    ~Environment();
    Environment(Environment const&) = delete;
    Environment& operator=(Environment const&) = delete;

    // Ends this environment's use of the LMDB handle (aborting an open scope's transaction); the
    // handle closes once the read-only views of this process that share it are closed too.
    // Later uses throw.
    void close();
    // A forked child inherits the parent's handle but must not use or close it: forget it.
    void abandon();
    bool isOpen() const { return env_ != nullptr; }
    bool ownedByThisProcess() const;
    void checkOpen() const;

    Lumo::String const& path() const { return path_; }
    bool recreated() const { return recreated_; }
    // Where the damaged file was kept when the store was recreated; empty otherwise.
    Lumo::String const& damagedCopy() const { return damagedCopy_; }
    MDB_env* handle() const { return env_; }
    MDB_dbi metaDbi() const { return metaDbi_; }
    MDB_dbi ledraDbi() const { return ledraDbi_; }
    std::size_t maxKeySize() const { return maxKeySize_; }

    // A transaction to read in: the open scope's write transaction (so a scope sees its own
    // writes), otherwise the kept read transaction, renewed on entry and reset on exit.
    class Read {
      public:
        explicit Read(Environment& env);
        ~Read();
        Read(Read const&) = delete;
        Read& operator=(Read const&) = delete;
        MDB_txn* txn() const { return txn_; }
        // The snapshot this read sees, as a number that no other snapshot of this handle shares:
        // it changes whenever the kept transaction is renewed, and for a read in a scope's write
        // transaction with every write made in it. What was read under one number is what a
        // read under the same number would find again.
        std::uint64_t snapshot() const { return kept_ ? env_.readGeneration_ : env_.scopeSnapshot_; }
        // A cursor on `dbi` for this read; valid until the Read ends. It is the transaction's
        // own cursor of `dbi`, left where the last read of the same transaction left it.
        MDB_cursor* cursor(MDB_dbi dbi);

      private:
        Environment& env_;
        MDB_txn* txn_ = nullptr;
        bool kept_ = false;
    };

    // A transaction to write in: the open scope's transaction, or one of its own that commit()
    // commits and the destructor otherwise aborts. fail() reports an LMDB error: it aborts its
    // own transaction or marks the scope's for rollback, then throws.
    class Write {
      public:
        // `alone`: a transaction of its own even inside a commit group (whose open transaction
        // is committed first); for mounts, which open databases.
        explicit Write(Environment& env, bool alone = false);
        ~Write();
        Write(Write const&) = delete;
        Write& operator=(Write const&) = delete;
        MDB_txn* txn() const { return txn_; }
        bool scoped() const { return !own_; }
        void commit();
        // Ends the transaction without writing anything (its own) or leaves the scope untouched.
        void abandon();
        [[noreturn]] void fail(int rc, std::string_view what, std::string_view subject);
        // mdb_put / mdb_del in this write's transaction. A write that finds the map full has the
        // map grown (the transaction is rebuilt from the journal) and is made once more; when the
        // map cannot grow, LMDB's error is returned for fail(). The journal is told by wrote() /
        // removed() as before.
        int put(MDB_dbi dbi, MDB_val* key, MDB_val* value, unsigned flags);
        int del(MDB_dbi dbi, MDB_val* key);
        // Tell the commit group what was written, so that it can be written again when a later
        // unit of the group fails. `value` is the stored bytes.
        void wrote(MDB_dbi dbi, MDB_val const& key, MDB_val const& value) {
            env_.scopeChanged();
            env_.journal(dbi, key, &value);
        }
        void removed(MDB_dbi dbi, MDB_val const& key) {
            env_.scopeChanged();
            env_.journal(dbi, key, nullptr);
        }

      private:
        // `op` found the map full in this write's transaction: grows the map and makes `op` once
        // more in the rebuilt transaction (EnvironmentReserve.cpp).
        int growAndRetry(std::function<int(MDB_txn*)> const& op);

        Environment& env_;
        MDB_txn* txn_ = nullptr;
        bool own_ = false;
        bool unit_ = false;     // a unit of a commit group of its own, not yet ended
        std::size_t mark_ = 0;  // the journal's length when the unit began
    };

    // WriteTransaction scopes. The outermost begin starts the write transaction; the outermost
    // end commits it, or aborts it when any scope ended by an exception or a write failed (and
    // then throws StorageError unless `unwinding`).
    void scopeBegin();
    void scopeEnd(bool unwinding);
    bool inScope() const { return scopeDepth_ > 0; }

    // Commit groups. groupBegin() returns false (and opens nothing) when a group or a scope is
    // already open: the writes then join that one. groupCommit() makes the group's writes so far
    // durable (StorageError or Lumo::CapacityExceededException when LMDB refuses, the group's
    // writes then lost); groupEnd() commits and closes the group, and when `unwinding` reports a
    // failed commit by a trace instead of throwing.
    bool groupBegin();
    void groupCommit();
    void groupEnd(bool unwinding);
    bool groupOpen() const { return groupOpen_; }

    // Plain key/value access to the metadata and state-database databases.
    std::optional<std::string> get(MDB_dbi dbi, std::string_view key);
    void put(MDB_dbi dbi, std::string_view key, std::string_view value);
    bool del(MDB_dbi dbi, std::string_view key);
    // Keys of `dbi` that start with `prefix`, in order.
    std::vector<std::string> keysWithPrefix(MDB_dbi dbi, std::string_view prefix);

    // A collection in which a read found a damaged record (length or checksum). Damage seldom
    // comes alone (a damaged leaf page holds many records), so the whole collection is checked.
    struct DamagedCollection {
        MDB_dbi dbi;
        std::uint32_t recordSize;
        Lumo::String path;                       // the table, for the log
        std::shared_ptr<std::uint64_t> removed;  // the collection's count of records removed
    };
    // Removes every record of the collection that fails its check, so that walks of the table go
    // past them and writes of their keys (which may not be the keys stored, when key bytes were
    // damaged) find nothing in the way. The records are read in the removing transaction, so a
    // record a write replaced meanwhile is kept. Inside a WriteTransaction scope the removal
    // waits for the outermost scope to end (committed or not), in a transaction of its own, so
    // that it never dooms or joins the scope. Failures are traced, never thrown.
    void quarantine(DamagedCollection collection);
    // Records removed so far by this handle.
    std::uint64_t quarantined() const { return quarantined_; }

    // The injected storage faults of a test (StorageFaults.h), or null.
    StorageFaults* faults() const { return faults_.get(); }
    // Whether the data write about to be made must fail as injected.
    bool injectedWriteFailure() const { return faults_ && faults_->failWrite(); }
    // Whether the table stored at `path` must come up wiped at this mount, as injected.
    bool injectedWipe(Lumo::String const& path) const { return faults_ && faults_->wipedAtMount(path); }

  private:
    Environment(Lumo::String path, std::size_t mapSize, std::shared_ptr<StorageFaults> faults);
    // Checks or creates the namespace's files; what is wrong with the stored file's metas, if any.
    std::optional<std::string> prepareFiles(NamespaceFiles const& files);
    std::optional<std::string> auditSnapshot();
    int openHandle();
    int beginWrite(MDB_txn** txn);
    // The open transaction of a scope or group, begun now if a group has none yet.
    MDB_txn* groupTxn();
    void journal(MDB_dbi dbi, MDB_val const& key, MDB_val const* value);
    // Undoes the group's writes after journal position `mark`: at once when nothing was written
    // since and no write failed, otherwise by a new transaction that writes the journal again.
    void rollbackTo(std::size_t mark, bool failed);
    // Begins a write transaction into `txn` and writes the journal into it again; LMDB's error
    // (with `txn` null) when that fails.
    int replayJournal(MDB_txn*& txn);

    // ---- the map and the file's reservation (EnvironmentReserve.cpp)
    // LMDB may use the pages below mapLimit_; the data file is allocated (posix_fallocate) up to
    // reserved_, which is mapLimit_ plus a margin for what a commit itself allocates. So a
    // commit never writes into room the file system has not already given: a full file system
    // is met only where the map grows, at the write that needs more room, which then fails
    // alone and is rolled back like any failed write.
    void reserveAtOpen();
    // The write in `txn` found the map full: aborts `txn`, grows the map and the reservation,
    // and rebuilds `txn` from the journal. 0 when the write may be made again; otherwise the
    // error to report (`txn` then holds the journal again, at the old size, or is null when
    // even that failed).
    int growMap(MDB_txn*& txn);
    // Grows the map and the reservation by one step, or up to `needed` bytes when that is more;
    // 0 or the error of posix_fallocate or LMDB. Only while no transaction of this process is live.
    int growMapTo(std::uint64_t needed);
    // Before a write transaction begins: grows the map when less than a few MiB of it is unused,
    // so that the transaction rarely finds it full. Nothing when the map cannot grow now.
    void growAhead();
    // The map cannot grow now: a read of this process or a view sharing the handle is live, or
    // the map is as large as it may be.
    bool mapPinned() const;
    // Commits `txn` (freed either way). A commit that needs pages beyond the map for LMDB's
    // free-page list is made again within the reserved margin.
    int commitTxn(MDB_txn* txn);
    // Brings the reservation up to `bytes`; 0 or the errno of posix_fallocate.
    int reserve(std::uint64_t bytes);
    // Reserves the margin a commit may need beyond the map, when it is not reserved: asked when
    // a unit is about to be committed (in a group: when it ends), which fails when there is no
    // room for it. 0 or the errno of posix_fallocate.
    int ensureMargin();
    bool injectedCommitFailure() const { return faults_ && faults_->failCommit(); }
    std::size_t mapLimit_ = 0;
    std::uint64_t reserved_ = 0;
    std::size_t pageSize_ = 4096;
    void afterTransaction();
    void openDatabases();
    void removeDamaged();
    // Removes the records of one collection that fail their check, in `txn`; their keys in `removed`.
    int removeDamagedOf(MDB_txn* txn, DamagedCollection const& collection, std::vector<std::string>& removed);

    Lumo::String path_;
    Lumo::String ns_;
    std::size_t mapSize_;
    unsigned forkGeneration_ = 0;         // of the process that opened it
    std::shared_ptr<LmdbHandle> handle_;  // shared with the read-only views of this process
    MDB_env* env_ = nullptr;              // handle_'s
    MDB_dbi metaDbi_ = 0;
    MDB_dbi ledraDbi_ = 0;
    std::size_t maxKeySize_ = 0;
    bool recreated_ = false;
    Lumo::String damagedCopy_;

    // Whether the parked kept transaction still shows the newest committed snapshot. While this
    // process holds the namespace's agent lock no other process commits, so the answer is known
    // from this process's own commits; otherwise LMDB is asked for its last transaction.
    bool parkedSnapshotCurrent() const;
    // Whether this process holds the namespace's agent lock (cached until a lock of the process
    // is taken or released).
    bool soleWriter() const;
    // Resets the kept transaction when it is parked (live with no Read on it).
    void resetKeptRead();

    MDB_txn* readTxn_ = nullptr;     // kept read transaction
    unsigned readDepth_ = 0;         // nested Read objects on the kept transaction
    bool readLive_ = false;          // readTxn_ renewed and not reset since
    std::uint64_t commits_ = 0;      // write transactions this process committed (or tried to)
    std::uint64_t readCommits_ = 0;  // commits_ when readTxn_ was last renewed
    mutable std::uint64_t lockChangesSeen_ = ~std::uint64_t{0};
    mutable bool soleWriter_ = false;
    // Snapshot numbers (Read::snapshot), handed out from one counter: a renewal of readTxn_
    // takes a new one, and so does the scope's transaction whenever it begins or anything may
    // have changed in it (every write, failure and rollback).
    void scopeChanged() { scopeSnapshot_ = ++snapshotNumbers_; }
    std::uint64_t snapshotNumbers_ = 0;
    std::uint64_t readGeneration_ = 0;              // the number of readTxn_'s present renewal
    std::uint64_t scopeSnapshot_ = 0;               // the number of what scopeTxn_ holds now
    std::vector<MDB_cursor*> readCursors_;          // by database handle, bound to readTxn_
    std::vector<std::uint64_t> cursorGenerations_;  // the renewal each cursor was last bound in
    // Cursors of the scope's write transaction, by database handle. LMDB frees them when that
    // transaction ends, so one counts only while writeTxns_ is still what it was opened under.
    std::uint64_t writeTxns_ = 0;  // write transactions begun
    std::vector<MDB_cursor*> scopeCursors_;
    std::vector<std::uint64_t> scopeCursorTxns_;

    MDB_txn* scopeTxn_ = nullptr;
    unsigned scopeDepth_ = 0;
    bool scopeRollback_ = false;     // a scope ended by an exception, or a write in it failed
    bool scopeWriteFailed_ = false;  // an LMDB write in the scope failed (the transaction is unusable)

    bool groupOpen_ = false;
    std::size_t scopeMark_ = 0;  // journal length when the outermost scope in the group began
    std::vector<char> journal_;  // what the open write transaction (own, scope or group) wrote, in order
    bool groupLost_ = false;     // a rollback could not write the journal again

    std::vector<DamagedCollection> damaged_;  // waiting for the scope to end
    std::uint64_t quarantined_ = 0;

    std::shared_ptr<StorageFaults> faults_;
};

// What is wrong with the stored environment at `path`, or nothing when it is sound (an absent
// file is sound). Checks in this process, changing nothing: the metas by reads, then LMDB opens
// the file read-only (or the handle this process has of it is used) and the snapshot of a read
// transaction is audited by reads (PageAudit.h). UnsafeFileError for a file that may not be
// used; StoreUnavailableError when it cannot be checked now (a full reader table, no memory or
// descriptors, a held lock file, another LMDB data version); StorageError for another failure.
std::optional<std::string> environmentFileDamage(Lumo::String const& path, std::size_t mapSize);
// Audits the newest snapshot of `handle`'s environment, whose data file is open at `fd`; throws
// as environmentFileDamage does when it cannot.
std::optional<std::string> auditOpenSnapshot(LmdbHandle& handle, int fd);
// StoreUnavailableError when the data file open at `fd` was written by an LMDB of another data
// version: not damage, and not a file this build may touch.
void refuseOtherDataVersion(int fd, Lumo::String const& path);
// Whether mdb_env_open's `rc` proves the data file damaged (its metas having passed the check):
// other refusals concern the lock file or the process, not what is stored.
bool openRefusedAsDamaged(int rc);
// Throws what a failure `rc` to begin a read transaction of `handle` means (never damage).
[[noreturn]] void throwReadBeginError(int rc, LmdbHandle const& handle);

// The environment of this process's namespace, opened on first use (and reopened after
// closeEnvironment(), or in a forked child).
// Exported from libvorn-platform (compiled hidden) for libvorn-tcammgr; not installed.
#pragma GCC visibility push(default)
std::shared_ptr<Environment> const& processEnvironment();
#pragma GCC visibility pop

// Throws what LMDB's error `rc` means for the environment at `envPath`: CapacityExceededException
// for a full map or transaction, otherwise StorageError (naming a full file system as such).
[[noreturn]] void throwLmdbError(int rc, Lumo::String const& envPath, std::string_view what, std::string_view subject);

// The "Tessel" trace handle: mounts (level 2 when a collection comes up wiped, 3 otherwise)
// and detected corruption (level 1).
Qel::TraceHandle& tesselTrace();

// "<len>:<name>:<L|G>:", the part of stored names that separates entity managers.
std::string managerKey(Lumo::String const& name, bool local);
// Refuses an empty path, or one holding ".." or a NUL, with std::invalid_argument.
void validatePath(Lumo::String const& path);

}  // namespace QelSharedMem
