#include "contracts/shm/Environment.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "contracts/qel/Log.h"
#include "contracts/shm/LmdbHandle.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/PageAudit.h"
#include "contracts/shm/RawCollection.h"
#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"

namespace QelSharedMem {

namespace {

// No MDB_WRITEMAP: commits write their pages with pwrite(2), so a full tmpfs fails the commit
// with ENOSPC instead of killing the process with SIGBUS through a sparse writable map.
constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS | MDB_NORDAHEAD;
// LMDB's lock file (its reader table, written through a shared map): reserved whole before LMDB
// maps it, so that a full tmpfs cannot turn a reader-slot write into a SIGBUS. It is the size
// LMDB gives it for its default 126 readers.
constexpr std::uint64_t kLockFileBytes = 8192;

constexpr Qel::LogDescriptor kEnvironmentRecreatedDescriptor{
    "SHM_ENVIRONMENT_RECREATED", "Shared-memory environment %s is damaged (%s): kept aside as %s, created anew",
    "The stored shared-memory tables could not be trusted: the damaged file was renamed and kept, and every "
    "table comes up wiped"};

Qel::LogHandle const& environmentRecreatedLog() {
    static Qel::LogHandle const handle{kEnvironmentRecreatedDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    return handle;
}

// Counts the forks this process descends from, so that telling a forked child from the
// process that opened an environment costs a load instead of a getpid() system call.
std::atomic<unsigned> gForkGeneration{0};

unsigned forkGeneration() {
    static bool const registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { gForkGeneration.fetch_add(1, std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    return gForkGeneration.load(std::memory_order_relaxed);
}

}  // namespace

Environment::Environment(Lumo::String path, std::size_t mapSize, std::shared_ptr<StorageFaults> faults)
    : path_(std::move(path)), mapSize_(mapSize), forkGeneration_(forkGeneration()), faults_(std::move(faults)) {}

Environment::~Environment() {
    if (ownedByThisProcess()) close();
}

std::shared_ptr<Environment> Environment::open(Lumo::String const& ns, std::size_t mapSize,
                                               std::shared_ptr<StorageFaults> faults) {
    NamespaceFiles const files = namespaceFiles(ns);
    // Before any file is opened: opening and closing one that a handle of this process holds
    // would drop that handle's locks.
    if (LmdbHandle::find(files.data))
        throw std::logic_error("shared-memory environment " + files.data +
                               " is already open in this process (by a read-only view or another environment): "
                               "close it before it is opened for writing");
    std::shared_ptr<Environment> env(new Environment(files.data, mapSize, std::move(faults)));
    env->ns_ = ns;
    std::optional<std::string> damage = env->prepareFiles(files);
    int rc = 0;
    if (!damage) {
        rc = env->openHandle();
        if (openRefusedAsDamaged(rc)) {
            damage = fmt::format("LMDB refuses it: {}", mdb_strerror(rc));
        } else if (rc != 0) {
            if (auto const cause = unavailableCause(rc)) throwUnavailable(env->path_, *cause);
            throwLmdbError(rc, env->path_, "opening", "the environment");
        } else {
            damage = env->auditSnapshot();
        }
    }
    if (damage) {
        // Proven damage of the stored format: keep the file aside and start a new store.
        env->close();
        env->damagedCopy_ = keepAside(files);
        env->recreated_ = true;
        QEL_TRACE_AT(tesselTrace(), 1,
                     "corruption detected: environment {} is damaged ({}): kept aside as {}, created anew", env->path_,
                     *damage, env->damagedCopy_);
        Qel::log(environmentRecreatedLog(), env->path_.c_str(), damage->c_str(), env->damagedCopy_.c_str());
        if (auto const again = env->prepareFiles(files))
            throw StorageError(
                fmt::format("shared-memory environment {}: a new store is refused: {}", env->path_, *again));
        rc = env->openHandle();
        if (auto const cause = unavailableCause(rc)) throwUnavailable(env->path_, *cause);
        if (rc != 0) throwLmdbError(rc, env->path_, "creating", "the environment");
    }
    env->openDatabases();
    return env;
}

std::optional<std::string> Environment::prepareFiles(NamespaceFiles const& files) {
    // Both are checked before either is created, so that a planted file refuses the open with
    // nothing made.
    FileDescriptor data = openStoreFile(files.data, O_RDWR);
    FileDescriptor lock = openStoreFile(files.lmdbLock, O_RDWR);
    bool created = false, lockCreated = false;
    if (!data) data = openOrCreateStoreFile(files.data, O_RDWR, created);
    if (!lock) lock = openOrCreateStoreFile(files.lmdbLock, O_RDWR, lockCreated);
    reserveSpace(lock.get(), files.lmdbLock, kLockFileBytes);
    if (created) return std::nullopt;  // empty: LMDB makes a new environment in it
    struct stat st {};
    if (::fstat(data.get(), &st) != 0)
        throw StorageError("checking " + files.data + " failed: " + std::strerror(errno));
    if (st.st_size == 0) return std::nullopt;
    refuseOtherDataVersion(data.get(), files.data);
    try {
        return auditMetas(data.get(), static_cast<std::uint64_t>(st.st_size));
    } catch (PageReadError const& e) {
        throwStoreError(e.error(), files.data, "reading");
    }
}

std::optional<std::string> Environment::auditSnapshot() {
    FileDescriptor data = openStoreFile(path_, O_RDONLY);
    if (!data) throw StorageError("shared-memory environment " + path_ + " vanished while it was opened");
    return auditOpenSnapshot(*handle_, data.get());
}

int Environment::openHandle() {
    // LmdbHandle frees the reader slots of dead processes (kill -9) before anything is read.
    int rc = 0;
    handle_ = LmdbHandle::acquire(path_, {kEnvFlags, mapSize_, kMaxDatabases}, rc);
    env_ = handle_ ? handle_->env() : nullptr;
    return rc;
}

void Environment::openDatabases() {
    maxKeySize_ = static_cast<std::size_t>(mdb_env_get_maxkeysize(env_));
    reserveAtOpen();

    MDB_txn* txn = nullptr;
    int rc = beginWrite(&txn);
    if (rc == 0) rc = mdb_dbi_open(txn, kMetaDatabase, MDB_CREATE, &metaDbi_);
    if (rc == 0) rc = mdb_dbi_open(txn, kLedraDatabase, MDB_CREATE, &ledraDbi_);
    if (rc == 0) {
        ++commits_;
        rc = mdb_txn_commit(txn);
        txn = nullptr;
    }
    if (txn) mdb_txn_abort(txn);
    if (rc != 0) {
        close();
        if (auto const cause = unavailableCause(rc)) throwUnavailable(path_, *cause);
        throwLmdbError(rc, path_, "opening", "the metadata databases");
    }
    rc = handle_->beginRead(&readTxn_);
    if (rc != 0) {
        auto const handle = handle_;
        close();
        throwReadBeginError(rc, *handle);
    }
    mdb_txn_reset(readTxn_);
    readCursors_.assign(kMaxDatabases + 2, nullptr);  // + LMDB's two core databases
    cursorGenerations_.assign(kMaxDatabases + 2, 0);
    scopeCursors_.assign(kMaxDatabases + 2, nullptr);
    scopeCursorTxns_.assign(kMaxDatabases + 2, 0);
}

void Environment::close() {
    if (!env_) return;
    if (scopeTxn_) {
        mdb_txn_abort(scopeTxn_);
        scopeTxn_ = nullptr;
        scopeRollback_ = true;
        if (groupOpen_) groupLost_ = true;
    }
    journal_.clear();
    for (MDB_cursor* c : readCursors_)
        if (c) mdb_cursor_close(c);
    readCursors_.clear();
    scopeCursors_.clear();  // freed with the scope's transaction
    if (readTxn_) mdb_txn_abort(readTxn_);
    readTxn_ = nullptr;
    readDepth_ = 0;
    readLive_ = false;
    handle_.reset();  // closes LMDB's handle unless a read-only view of this process shares it
    env_ = nullptr;
}

void Environment::abandon() {
    handle_.reset();  // a handle of another process is never closed here
    env_ = nullptr;
    readTxn_ = nullptr;
    readCursors_.clear();
    scopeCursors_.clear();
    scopeTxn_ = nullptr;
    scopeDepth_ = 0;
    readDepth_ = 0;
    readLive_ = false;
    groupOpen_ = false;
    journal_.clear();
}

bool Environment::ownedByThisProcess() const { return forkGeneration_ == forkGeneration(); }

void Environment::checkOpen() const {
    if (!env_) [[unlikely]]
        throw std::logic_error("shared-memory environment " + path_ +
                               " is closed: table used after closeEnvironment()");
}

bool Environment::soleWriter() const {
    std::uint64_t const changes = NamespaceLock::changes();
    if (changes != lockChangesSeen_) [[unlikely]] {
        lockChangesSeen_ = changes;
        soleWriter_ = NamespaceLock::heldHere(ns_);
    }
    return soleWriter_;
}

bool Environment::parkedSnapshotCurrent() const {
    if (!readLive_) return false;
    if (soleWriter()) return readCommits_ == commits_;
    MDB_envinfo info;
    if (mdb_env_info(env_, &info) != 0) return false;
    return info.me_last_txnid == mdb_txn_id(readTxn_);
}

void Environment::resetKeptRead() {
    if (!readLive_ || readDepth_ != 0) return;
    mdb_txn_reset(readTxn_);
    readLive_ = false;
}

int Environment::beginWrite(MDB_txn** txn) {
    ++writeTxns_;
    scopeChanged();
    resetKeptRead();  // a parked snapshot would keep this write from reusing the pages it frees
    growAhead();
    int rc = mdb_txn_begin(env_, nullptr, 0, txn);
    if (rc == MDB_MAP_RESIZED && readDepth_ == 0 && !handle_->viewsOpen()) {
        // Another process grew the map: adopt its size (and its reservation) and retry (never
        // under a view's snapshot, which reads through the present map).
        rc = mdb_env_set_mapsize(env_, 0);
        if (MDB_envinfo info; rc == 0 && mdb_env_info(env_, &info) == 0) {
            mapLimit_ = std::max(mapLimit_, info.me_mapsize);
            reserved_ = std::max<std::uint64_t>(reserved_, mapLimit_);
        }
        if (rc == 0) rc = mdb_txn_begin(env_, nullptr, 0, txn);
    }
    return rc;
}

// ---------------------------------------------------------------- Read

Environment::Read::Read(Environment& env) : env_(env) {
    env.checkOpen();
    if (env.scopeTxn_) {
        txn_ = env.scopeTxn_;
        return;
    }
    if (env.readDepth_ == 0 && !env.parkedSnapshotCurrent()) {
        env.resetKeptRead();
        int rc = mdb_txn_renew(env.readTxn_);
        if (rc == MDB_MAP_RESIZED && !env.handle_->viewsOpen()) {
            rc = mdb_env_set_mapsize(env.env_, 0);
            if (rc == 0) rc = mdb_txn_renew(env.readTxn_);
        }
        if (int dead = 0; rc == MDB_READERS_FULL && mdb_reader_check(env.env_, &dead) == 0 && dead > 0)
            rc = mdb_txn_renew(env.readTxn_);
        if (rc == MDB_READERS_FULL) throwReadBeginError(rc, *env.handle_);
        if (rc != 0) throwLmdbError(rc, env.path_, "starting", "a read transaction");
        env.readLive_ = true;
        env.readCommits_ = env.commits_;
        env.readGeneration_ = ++env.snapshotNumbers_;
    }
    ++env.readDepth_;
    kept_ = true;
    txn_ = env.readTxn_;
}

Environment::Read::~Read() {
    // At depth 0 the kept transaction stays live ("parked"): the next read reuses it, cursor
    // positions included, when no transaction has committed since (see parkedSnapshotCurrent).
    if (kept_ && env_.readTxn_) --env_.readDepth_;
}

MDB_cursor* Environment::Read::cursor(MDB_dbi dbi) {
    int rc;
    if (!kept_) {
        MDB_cursor*& c = env_.scopeCursors_.at(dbi);
        std::uint64_t& bound = env_.scopeCursorTxns_.at(dbi);
        if (c && bound == env_.writeTxns_) return c;
        c = nullptr;  // of an ended transaction: freed with it
        rc = mdb_cursor_open(txn_, dbi, &c);
        if (rc != 0) throwLmdbError(rc, env_.path_, "opening", "a cursor");
        bound = env_.writeTxns_;
        return c;
    }
    MDB_cursor*& c = env_.readCursors_.at(dbi);
    std::uint64_t& bound = env_.cursorGenerations_.at(dbi);
    if (c && bound == env_.readGeneration_) return c;  // still on this snapshot, where it was left
    rc = c ? mdb_cursor_renew(txn_, c) : mdb_cursor_open(txn_, dbi, &c);
    if (rc != 0) throwLmdbError(rc, env_.path_, "opening", "a cursor");
    bound = env_.readGeneration_;
    return c;
}

// ---------------------------------------------------------------- Write

Environment::Write::Write(Environment& env, bool alone) : env_(env) {
    env.checkOpen();
    if (alone && env.scopeDepth_ == 0 && env.scopeTxn_) env.groupCommit();
    if (!alone && (env.scopeTxn_ || env.groupOpen_)) {
        txn_ = env.groupTxn();
        env.scopeChanged();
        if (env.groupOpen_ && env.scopeDepth_ == 0) {
            unit_ = true;
            mark_ = env.journal_.size();
        }
        return;
    }
    int const rc = env.beginWrite(&txn_);
    if (rc != 0) throwLmdbError(rc, env.path_, "starting", "a write transaction");
    own_ = true;
    env.journal_.clear();
}

Environment::Write::~Write() {
    if (!own_) env_.scopeChanged();
    if (own_ && txn_) {
        mdb_txn_abort(txn_);
        env_.journal_.clear();
    }
    if (unit_) env_.rollbackTo(mark_, false);  // left by an exception: undo what it wrote
}

void Environment::Write::commit() {
    // Only a transaction of its own or a unit of a group commits here; a write inside a scope
    // commits with the scope.
    if ((own_ || unit_) && env_.injectedCommitFailure()) fail(EIO, "committing", "a write transaction (injected)");
    if (own_ || unit_) {
        if (int const rc = env_.ensureMargin(); rc != 0) fail(rc, "reserving room to commit", "a write transaction");
    }
    unit_ = false;  // stays in the group's transaction
    if (!own_ || !txn_) return;
    int const rc = env_.commitTxn(std::exchange(txn_, nullptr));  // frees the transaction either way
    env_.journal_.clear();
    if (rc != 0) throwLmdbError(rc, env_.path_, "committing", "a write transaction");
}

void Environment::Write::abandon() {
    if (std::exchange(unit_, false)) env_.rollbackTo(mark_, false);
    if (own_ && txn_) {
        mdb_txn_abort(std::exchange(txn_, nullptr));
        env_.journal_.clear();
    }
}

void Environment::Write::fail(int rc, std::string_view what, std::string_view subject) {
    env_.scopeChanged();
    if (own_) {
        abandon();
    } else if (std::exchange(unit_, false)) {
        env_.rollbackTo(mark_, true);
    } else {
        env_.scopeRollback_ = true;  // LMDB's transaction may be half-changed: never commit it
        env_.scopeWriteFailed_ = true;
    }
    throwLmdbError(rc, env_.path_, what, subject);
}

}  // namespace QelSharedMem
