#include "contracts/shm/Environment.h"

#include "contracts/qel/Log.h"
#include "contracts/shm/PageAudit.h"
#include "contracts/shm/RawCollection.h"

#include <fmt/format.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

namespace QelSharedMem {

namespace {

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_NOSYNC | MDB_NOTLS | MDB_NORDAHEAD;
constexpr mdb_mode_t kFileMode = 0600;

// Errors of mdb_env_open that mean the file is not a usable environment of this build.
bool unreadableEnvironment(int rc) {
    return rc == MDB_INVALID || rc == MDB_CORRUPTED || rc == MDB_VERSION_MISMATCH || rc == MDB_PAGE_NOTFOUND;
}

void removeFiles(Lumo::String const& path) {
    ::unlink(path.c_str());
    ::unlink((path + "-lock").c_str());
}

MDB_val valOf(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

constexpr Qel::LogDescriptor kRecordQuarantinedDescriptor{
    "SHM_RECORD_QUARANTINED", "Shared-memory table %s: damaged record removed: key %s",
    "A record of a shared-memory table failed its checksum and was removed; its owner writes it again "
    "if it still needs it"};
constexpr Qel::LogDescriptor kEnvironmentRecreatedDescriptor{
    "SHM_ENVIRONMENT_RECREATED", "Shared-memory environment %s is damaged (%s): created anew",
    "The stored shared-memory tables could not be trusted and were removed; every table comes up wiped"};

Qel::LogHandle const& recordQuarantinedLog() {
    static Qel::LogHandle const handle{kRecordQuarantinedDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    return handle;
}
Qel::LogHandle const& environmentRecreatedLog() {
    static Qel::LogHandle const handle{kEnvironmentRecreatedDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    return handle;
}

std::string hex(std::string_view bytes) {
    std::string out = "0x";
    for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
    return out;
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

// Checks the environment at `path` in a forked child: audits the page structure of its newest
// snapshot (PageAudit.h), then reads every record of every database through LMDB, touching
// every byte, so that a page LMDB would read outside the map kills the child rather than the
// caller. Writes what is wrong to `report` and returns the child's exit status (0 sound).
int scanEnvironment(Lumo::String const& path, std::size_t mapSize, int report) {
    auto refuse = [report](std::string const& why) {
        ssize_t const written = ::write(report, why.data(), std::min<std::size_t>(why.size(), 512));
        (void)written;
        return 1;
    };
    MDB_env* env = nullptr;
    if (mdb_env_create(&env) != 0) return refuse("cannot create an LMDB handle");
    int rc = mdb_env_set_mapsize(env, mapSize);
    if (rc == 0) rc = mdb_env_set_maxdbs(env, kMaxDatabases);
    // Without a lock file no process uses the environment: read unlocked rather than create one.
    unsigned flags = MDB_NOSUBDIR | MDB_RDONLY | MDB_NORDAHEAD;
    struct stat lock;
    if (::stat((path + "-lock").c_str(), &lock) != 0) flags |= MDB_NOLOCK;
    if (rc == 0) rc = mdb_env_open(env, path.c_str(), flags, kFileMode);
    if (rc != 0) return refuse(std::string("LMDB refuses it: ") + mdb_strerror(rc));
    MDB_txn* txn = nullptr;
    if (int const began = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn); began != 0)
        return refuse(std::string("no read transaction: ") + mdb_strerror(began));

    // The read transaction pins its snapshot against writers of other processes; its meta page
    // can still be rewritten two commits later, so a miss is retried on a newer snapshot.
    MDB_stat stat{};
    mdb_env_stat(env, &stat);
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || ::fstat(fd, &file) != 0) return refuse("cannot open the file to audit it");
    std::uint64_t const fileSize = static_cast<std::uint64_t>(file.st_size);
    std::optional<std::string> damage;
    for (int attempt = 0; attempt < 5; ++attempt) {
        damage = auditPages(fd, fileSize, stat.ms_psize, mdb_txn_id(txn));
        if (!damage || damage->rfind("no meta page", 0) != 0) break;
        mdb_txn_reset(txn);
        if (mdb_txn_renew(txn) != 0) break;
    }
    ::close(fd);
    if (damage) return refuse(*damage);

    unsigned volatile sink = 0;  // touches every byte, so that a bad page is read here
    auto walk = [&](MDB_dbi dbi) {
        MDB_cursor* cursor = nullptr;
        if (mdb_cursor_open(txn, dbi, &cursor) != 0) return false;
        MDB_val key, value;
        int step = mdb_cursor_get(cursor, &key, &value, MDB_FIRST);
        for (; step == 0; step = mdb_cursor_get(cursor, &key, &value, MDB_NEXT)) {
            auto const* k = static_cast<unsigned char const*>(key.mv_data);
            auto const* v = static_cast<unsigned char const*>(value.mv_data);
            for (std::size_t i = 0; i < key.mv_size; ++i) sink = sink + k[i];
            for (std::size_t i = 0; i < value.mv_size; ++i) sink = sink + v[i];
        }
        mdb_cursor_close(cursor);
        return step == MDB_NOTFOUND;
    };
    constexpr MDB_dbi kFreeDbi = 0;
    constexpr MDB_dbi kMainDbi = 1;
    bool sound = walk(kFreeDbi) && walk(kMainDbi);
    std::vector<std::string> names;
    if (sound) {
        MDB_cursor* cursor = nullptr;
        MDB_val key, value;
        sound = mdb_cursor_open(txn, kMainDbi, &cursor) == 0;
        for (int step = sound ? mdb_cursor_get(cursor, &key, &value, MDB_FIRST) : MDB_NOTFOUND; step == 0;
             step = mdb_cursor_get(cursor, &key, &value, MDB_NEXT))
            names.emplace_back(static_cast<char const*>(key.mv_data), key.mv_size);
        if (cursor) mdb_cursor_close(cursor);
    }
    for (std::size_t i = 0; sound && i < names.size(); ++i) {
        MDB_dbi dbi;
        int const opened = mdb_dbi_open(txn, names[i].c_str(), 0, &dbi);
        if (opened == MDB_INCOMPATIBLE || opened == MDB_NOTFOUND) continue;  // a plain key of the main database
        sound = opened == 0 && walk(dbi);
    }
    mdb_txn_abort(txn);
    mdb_env_close(env);
    return sound ? 0 : refuse("LMDB cannot read every record");
}

}  // namespace

std::optional<std::string> environmentFileDamage(Lumo::String const& path, std::size_t mapSize, int timeoutMs) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;  // nothing stored yet
    int report[2];
    if (::pipe(report) != 0) return std::nullopt;  // cannot check: trust the file as LMDB's own checks do
    pid_t const pid = ::fork();
    if (pid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        ::close(report[0]);
        ::_exit(scanEnvironment(path, mapSize, report[1]));
    }
    ::close(report[1]);
    int status = 0;
    bool timedOut = false;
    for (int waited = 0;; ++waited) {
        pid_t const done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) {
            ::close(report[0]);
            return std::nullopt;
        }
        if (waited >= timeoutMs) {
            // The audit ends on any input; this guards the read through LMDB that follows it.
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            timedOut = true;
            break;
        }
        struct timespec const pause {0, waited < 20 ? 100000 : 1000000};
        ::nanosleep(&pause, nullptr);
    }
    char why[513];
    ssize_t const got = timedOut ? 0 : ::read(report[0], why, sizeof why - 1);
    ::close(report[0]);
    if (timedOut) return fmt::format("reading it took longer than {} ms", timeoutMs);
    if (WIFSIGNALED(status)) return fmt::format("reading it ended by signal {}", WTERMSIG(status));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return std::nullopt;
    return got > 0 ? std::string(why, static_cast<std::size_t>(got)) : std::string("the check failed");
}

bool environmentFileSound(Lumo::String const& path, std::size_t mapSize, int timeoutMs) {
    return !environmentFileDamage(path, mapSize, timeoutMs);
}

[[noreturn]] static void throwLmdb(int rc, Lumo::String const& envPath, std::string_view what, std::string_view subject) {
    if (rc == MDB_MAP_FULL || rc == MDB_TXN_FULL) {
        throw Lumo::CapacityExceededException(
            fmt::format("shared-memory environment {} is full ({}) while {} {}; the transaction is rolled back",
                        envPath, mdb_strerror(rc), what, subject));
    }
    throw StorageError(fmt::format("shared-memory environment {}: {} {} failed: {}", envPath, what, subject,
                                   mdb_strerror(rc)));
}

Environment::Environment(Lumo::String path, std::size_t mapSize)
    : path_(std::move(path)), mapSize_(mapSize), forkGeneration_(forkGeneration()) {}

Environment::~Environment() {
    if (ownedByThisProcess()) close();
}

std::shared_ptr<Environment> Environment::open(Lumo::String const& ns, std::size_t mapSize) {
    std::shared_ptr<Environment> env(new Environment(environmentPath(ns), mapSize));
    // LMDB trusts the pages it reads: a damaged page can make it read outside the map. A child
    // process reads the whole file first; a file it cannot read cleanly is treated like one
    // LMDB refuses at open.
    std::optional<std::string> const damage = environmentFileDamage(env->path_, mapSize, kScanTimeoutMs);
    bool const sound = !damage;
    if (!sound) {
        QEL_TRACE_AT(tesselTrace(), 1, "corruption detected: environment {} is damaged ({}): removed and created anew",
                     env->path_, *damage);
        Qel::log(environmentRecreatedLog(), env->path_.c_str(), damage->c_str());
        removeFiles(env->path_);
    }
    int rc = env->openHandle();
    if (!sound) env->recreated_ = true;
    if (unreadableEnvironment(rc)) {
        removeFiles(env->path_);
        env->recreated_ = true;
        rc = env->openHandle();
    }
    if (rc != 0) throwLmdb(rc, env->path_, "opening", "the environment");
    env->openDatabases();
    return env;
}

int Environment::openHandle() {
    int rc = mdb_env_create(&env_);
    if (rc != 0) return rc;
    rc = mdb_env_set_mapsize(env_, mapSize_);
    if (rc == 0) rc = mdb_env_set_maxdbs(env_, kMaxDatabases);
    if (rc == 0) rc = mdb_env_open(env_, path_.c_str(), kEnvFlags, kFileMode);
    if (rc != 0) {
        mdb_env_close(env_);
        env_ = nullptr;
    }
    return rc;
}

void Environment::openDatabases() {
    int dead = 0;
    mdb_reader_check(env_, &dead);  // frees reader slots of processes that died (kill -9)
    maxKeySize_ = static_cast<std::size_t>(mdb_env_get_maxkeysize(env_));

    MDB_txn* txn = nullptr;
    int rc = beginWrite(&txn);
    if (rc == 0) rc = mdb_dbi_open(txn, kMetaDatabase, MDB_CREATE, &metaDbi_);
    if (rc == 0) rc = mdb_dbi_open(txn, kLedraDatabase, MDB_CREATE, &ledraDbi_);
    if (rc == 0) {
        rc = mdb_txn_commit(txn);
        txn = nullptr;
    }
    if (txn) mdb_txn_abort(txn);
    if (rc == 0) rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, &readTxn_);
    if (rc != 0) {
        close();
        throwLmdb(rc, path_, "opening", "the metadata databases");
    }
    mdb_txn_reset(readTxn_);
    readCursors_.assign(kMaxDatabases + 2, nullptr);  // + LMDB's two core databases
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
    if (readTxn_) mdb_txn_abort(readTxn_);
    readTxn_ = nullptr;
    readDepth_ = 0;
    mdb_env_close(env_);
    env_ = nullptr;
}

void Environment::abandon() {
    env_ = nullptr;
    readTxn_ = nullptr;
    readCursors_.clear();
    scopeTxn_ = nullptr;
    scopeDepth_ = 0;
    readDepth_ = 0;
    groupOpen_ = false;
    journal_.clear();
}

bool Environment::ownedByThisProcess() const { return forkGeneration_ == forkGeneration(); }

void Environment::checkOpen() const {
    if (!env_) [[unlikely]]
        throw std::logic_error("shared-memory environment " + path_ + " is closed: table used after closeEnvironment()");
}

int Environment::beginWrite(MDB_txn** txn) {
    int rc = mdb_txn_begin(env_, nullptr, 0, txn);
    if (rc == MDB_MAP_RESIZED && readDepth_ == 0) {
        // Another process grew the map: adopt its size and retry.
        rc = mdb_env_set_mapsize(env_, 0);
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
    if (env.readDepth_ == 0) {
        int rc = mdb_txn_renew(env.readTxn_);
        if (rc == MDB_MAP_RESIZED) {
            rc = mdb_env_set_mapsize(env.env_, 0);
            if (rc == 0) rc = mdb_txn_renew(env.readTxn_);
        }
        if (rc != 0) throwLmdb(rc, env.path_, "starting", "a read transaction");
    }
    ++env.readDepth_;
    kept_ = true;
    txn_ = env.readTxn_;
}

Environment::Read::~Read() {
    if (ownCursor_) mdb_cursor_close(ownCursor_);
    if (kept_ && env_.readTxn_ && --env_.readDepth_ == 0) mdb_txn_reset(env_.readTxn_);
}

MDB_cursor* Environment::Read::cursor(MDB_dbi dbi) {
    int rc;
    if (!kept_) {
        if (ownCursor_) mdb_cursor_close(ownCursor_);
        ownCursor_ = nullptr;
        rc = mdb_cursor_open(txn_, dbi, &ownCursor_);
        if (rc != 0) throwLmdb(rc, env_.path_, "opening", "a cursor");
        return ownCursor_;
    }
    MDB_cursor*& c = env_.readCursors_.at(dbi);
    rc = c ? mdb_cursor_renew(txn_, c) : mdb_cursor_open(txn_, dbi, &c);
    if (rc != 0) throwLmdb(rc, env_.path_, "opening", "a cursor");
    return c;
}

// ---------------------------------------------------------------- Write

Environment::Write::Write(Environment& env, bool alone) : env_(env) {
    env.checkOpen();
    if (alone && env.scopeDepth_ == 0 && env.scopeTxn_) env.groupCommit();
    if (!alone && (env.scopeTxn_ || env.groupOpen_)) {
        txn_ = env.groupTxn();
        if (env.groupOpen_ && env.scopeDepth_ == 0) {
            unit_ = true;
            mark_ = env.journal_.size();
        }
        return;
    }
    int const rc = env.beginWrite(&txn_);
    if (rc != 0) throwLmdb(rc, env.path_, "starting", "a write transaction");
    own_ = true;
}

Environment::Write::~Write() {
    if (own_ && txn_) mdb_txn_abort(txn_);
    if (unit_) env_.rollbackTo(mark_, false);  // left by an exception: undo what it wrote
}

void Environment::Write::commit() {
    unit_ = false;  // stays in the group's transaction
    if (!own_ || !txn_) return;
    int const rc = mdb_txn_commit(std::exchange(txn_, nullptr));  // frees the transaction either way
    if (rc != 0) throwLmdb(rc, env_.path_, "committing", "a write transaction");
}

void Environment::Write::abandon() {
    if (std::exchange(unit_, false)) env_.rollbackTo(mark_, false);
    if (own_ && txn_) mdb_txn_abort(std::exchange(txn_, nullptr));
}

void Environment::Write::fail(int rc, std::string_view what, std::string_view subject) {
    if (own_) {
        abandon();
    } else if (std::exchange(unit_, false)) {
        env_.rollbackTo(mark_, true);
    } else {
        env_.scopeRollback_ = true;  // LMDB's transaction may be half-changed: never commit it
        env_.scopeWriteFailed_ = true;
    }
    throwLmdb(rc, env_.path_, what, subject);
}

// ---------------------------------------------------------------- scopes

void Environment::scopeBegin() {
    checkOpen();
    if (scopeDepth_ == 0) {
        if (groupOpen_) {
            groupTxn();
            scopeMark_ = journal_.size();
        } else {
            int const rc = beginWrite(&scopeTxn_);
            if (rc != 0) throwLmdb(rc, path_, "starting", "a write transaction");
        }
        scopeRollback_ = false;
        scopeWriteFailed_ = false;
    }
    ++scopeDepth_;
}

void Environment::scopeEnd(bool unwinding) {
    if (scopeDepth_ == 0) return;  // abandoned in a forked child
    if (unwinding) scopeRollback_ = true;
    if (--scopeDepth_ > 0) return;
    bool const rollback = std::exchange(scopeRollback_, false);
    bool const writeFailed = std::exchange(scopeWriteFailed_, false);
    if (groupOpen_) {
        // A unit of the group: its writes stay in the group's transaction, or are undone alone.
        if (!scopeTxn_) {
            if (!unwinding)
                throw StorageError("shared-memory environment " + path_ +
                                   " was closed inside a write transaction: its writes are lost");
            return;
        }
        if (!rollback) return;
        rollbackTo(scopeMark_, writeFailed);
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               ": write transaction rolled back because a write or an inner scope in it failed");
        return;
    }
    MDB_txn* const txn = std::exchange(scopeTxn_, nullptr);
    struct AfterScope {
        Environment& env;
        ~AfterScope() { env.afterTransaction(); }
    } const afterScope{*this};
    if (!txn) {
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               " was closed inside a write transaction: its writes are lost");
        return;
    }
    if (rollback) {
        mdb_txn_abort(txn);
        if (!unwinding)
            throw StorageError("shared-memory environment " + path_ +
                               ": write transaction rolled back because a write or an inner scope in it failed");
        return;
    }
    int const rc = mdb_txn_commit(txn);
    if (rc != 0 && !unwinding) throwLmdb(rc, path_, "committing", "a write transaction");
}

void Environment::afterTransaction() {
    if (!damaged_.empty() && env_) removeDamaged();
}

// ---------------------------------------------------------------- commit groups

bool Environment::groupBegin() {
    checkOpen();
    if (groupOpen_ || scopeDepth_ > 0 || scopeTxn_) return false;
    groupOpen_ = true;
    groupLost_ = false;
    journal_.clear();
    return true;
}

MDB_txn* Environment::groupTxn() {
    if (!scopeTxn_) {
        int const rc = beginWrite(&scopeTxn_);
        if (rc != 0) throwLmdb(rc, path_, "starting", "a write transaction");
        journal_.clear();
    }
    return scopeTxn_;
}

void Environment::groupCommit() {
    if (!groupOpen_ || scopeDepth_ > 0) return;
    MDB_txn* const txn = std::exchange(scopeTxn_, nullptr);
    journal_.clear();
    bool const lost = std::exchange(groupLost_, false);
    int const rc = txn ? mdb_txn_commit(txn) : 0;
    afterTransaction();
    if (rc != 0) throwLmdb(rc, path_, "committing", "a group of writes");
    if (lost)
        throw StorageError("shared-memory environment " + path_ +
                           ": writes of a commit group were lost when a failed write was undone");
}

void Environment::groupEnd(bool unwinding) {
    if (!groupOpen_) return;
    try {
        groupCommit();
    } catch (std::exception const& e) {
        groupOpen_ = false;
        if (!unwinding) throw;
        QEL_TRACE_AT(tesselTrace(), 1, "committing a group of writes of {} failed: {}", path_, e.what());
        return;
    }
    groupOpen_ = false;
}

void Environment::journal(MDB_dbi dbi, MDB_val const& key, MDB_val const* value) {
    struct Op {
        MDB_dbi dbi;
        std::uint32_t keySize;
        std::uint32_t valueSize;  // ~0: a removal
    } const op{dbi, static_cast<std::uint32_t>(key.mv_size),
               value ? static_cast<std::uint32_t>(value->mv_size) : ~std::uint32_t{0}};
    std::size_t const at = journal_.size();
    journal_.resize(at + sizeof op + key.mv_size + (value ? value->mv_size : 0));
    char* out = journal_.data() + at;
    std::memcpy(out, &op, sizeof op);
    std::memcpy(out + sizeof op, key.mv_data, key.mv_size);
    if (value) std::memcpy(out + sizeof op + key.mv_size, value->mv_data, value->mv_size);
}

void Environment::rollbackTo(std::size_t mark, bool failed) {
    if (!scopeTxn_ || (!failed && journal_.size() == mark)) return;
    mdb_txn_abort(std::exchange(scopeTxn_, nullptr));
    journal_.resize(mark);
    int rc = beginWrite(&scopeTxn_);
    for (std::size_t at = 0; rc == 0 && at < journal_.size();) {
        struct {
            MDB_dbi dbi;
            std::uint32_t keySize;
            std::uint32_t valueSize;
        } op;
        std::memcpy(&op, journal_.data() + at, sizeof op);
        at += sizeof op;
        MDB_val k{op.keySize, journal_.data() + at};
        at += op.keySize;
        if (op.valueSize == ~std::uint32_t{0}) {
            rc = mdb_del(scopeTxn_, op.dbi, &k, nullptr);
            if (rc == MDB_NOTFOUND) rc = 0;
        } else {
            MDB_val v{op.valueSize, journal_.data() + at};
            at += op.valueSize;
            rc = mdb_put(scopeTxn_, op.dbi, &k, &v, 0);
        }
    }
    if (rc != 0) {
        if (scopeTxn_) mdb_txn_abort(std::exchange(scopeTxn_, nullptr));
        journal_.clear();
        groupLost_ = true;
        QEL_TRACE_AT(tesselTrace(), 1, "undoing a failed write of {}: writing the group's earlier writes again failed: {}",
                     path_, mdb_strerror(rc));
    }
}

// ---------------------------------------------------------------- quarantine

void Environment::quarantine(std::vector<DamagedRecord> records) {
    if (!env_) return;
    for (DamagedRecord& r : records) damaged_.push_back(std::move(r));
    if (!scopeTxn_) removeDamaged();
}

void Environment::removeDamaged() {
    std::vector<DamagedRecord> records = std::exchange(damaged_, {});
    MDB_txn* txn = nullptr;
    int rc = beginWrite(&txn);
    std::vector<DamagedRecord const*> removed;
    for (std::size_t i = 0; rc == 0 && i < records.size(); ++i) {
        DamagedRecord const& r = records[i];
        MDB_val k = valOf(r.key);
        MDB_val v;
        rc = mdb_get(txn, r.dbi, &k, &v);
        if (rc == MDB_NOTFOUND) {
            rc = 0;  // removed or never there under this key
            continue;
        }
        if (rc != 0) break;
        std::string_view const value(static_cast<char const*>(v.mv_data), v.mv_size);
        if (Tessel::detail::storedRecordIntact(r.key, value, r.recordSize)) continue;  // rewritten meanwhile
        rc = mdb_del(txn, r.dbi, &k, nullptr);
        if (rc == 0) removed.push_back(&r);
    }
    if (rc == 0) {
        rc = mdb_txn_commit(std::exchange(txn, nullptr));
    } else if (txn) {
        mdb_txn_abort(txn);
    }
    if (rc != 0) {
        QEL_TRACE_AT(tesselTrace(), 1, "corruption detected: removing {} damaged records of {} failed: {}",
                     records.size(), path_, mdb_strerror(rc));
        return;
    }
    for (DamagedRecord const* r : removed) {
        ++quarantined_;
        std::string const key = hex(r->key);
        QEL_TRACE_AT(tesselTrace(), 1, "corruption detected: damaged record of key {} removed from {}", key, r->path);
        Qel::log(recordQuarantinedLog(), r->path.c_str(), key.c_str());
    }
}

// ---------------------------------------------------------------- plain access

std::optional<std::string> Environment::get(MDB_dbi dbi, std::string_view key) {
    Read r(*this);
    MDB_val k = valOf(key);
    MDB_val v;
    int const rc = mdb_get(r.txn(), dbi, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) throwLmdb(rc, path_, "reading", key);
    return std::string(static_cast<char const*>(v.mv_data), v.mv_size);
}

void Environment::put(MDB_dbi dbi, std::string_view key, std::string_view value) {
    Write w(*this);
    MDB_val k = valOf(key);
    MDB_val v = valOf(value);
    if (int const rc = mdb_put(w.txn(), dbi, &k, &v, 0); rc != 0) w.fail(rc, "writing", key);
    w.wrote(dbi, k, v);
    w.commit();
}

bool Environment::del(MDB_dbi dbi, std::string_view key) {
    Write w(*this);
    MDB_val k = valOf(key);
    int const rc = mdb_del(w.txn(), dbi, &k, nullptr);
    if (rc == MDB_NOTFOUND) {
        w.abandon();
        return false;
    }
    if (rc != 0) w.fail(rc, "removing", key);
    w.removed(dbi, k);
    w.commit();
    return true;
}

std::vector<std::string> Environment::keysWithPrefix(MDB_dbi dbi, std::string_view prefix) {
    std::vector<std::string> keys;
    Read r(*this);
    MDB_cursor* c = r.cursor(dbi);
    MDB_val k = valOf(prefix);
    MDB_val v;
    int rc = prefix.empty() ? mdb_cursor_get(c, &k, &v, MDB_FIRST) : mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
    while (rc == 0) {
        std::string_view const key(static_cast<char const*>(k.mv_data), k.mv_size);
        if (key.substr(0, prefix.size()) != prefix) break;
        keys.emplace_back(key);
        rc = mdb_cursor_get(c, &k, &v, MDB_NEXT);
    }
    if (rc != 0 && rc != MDB_NOTFOUND) throwLmdb(rc, path_, "listing", prefix);
    return keys;
}

// ---------------------------------------------------------------- naming

std::string managerKey(Lumo::String const& name, bool local) {
    return fmt::format("{}:{}:{}:", name.size(), name, local ? 'L' : 'G');
}

void validatePath(Lumo::String const& path) {
    if (path.empty()) throw std::invalid_argument("shared-memory path is empty");
    if (path.find('\0') != Lumo::String::npos) throw std::invalid_argument("shared-memory path holds a NUL byte");
    if (path.find("..") != Lumo::String::npos)
        throw std::invalid_argument("shared-memory path holds \"..\": " + path);
}

}  // namespace QelSharedMem
