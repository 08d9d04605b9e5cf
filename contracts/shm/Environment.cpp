#include "contracts/shm/Environment.h"

#include <fmt/format.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace QelSharedMem {

namespace {

constexpr unsigned kEnvFlags = MDB_NOSUBDIR | MDB_WRITEMAP | MDB_NOSYNC | MDB_NOTLS | MDB_NORDAHEAD;
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
    int rc = env->openHandle();
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
    }
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

Environment::Write::Write(Environment& env) : env_(env) {
    env.checkOpen();
    if (env.scopeTxn_) {
        txn_ = env.scopeTxn_;
        return;
    }
    int const rc = env.beginWrite(&txn_);
    if (rc != 0) throwLmdb(rc, env.path_, "starting", "a write transaction");
    own_ = true;
}

Environment::Write::~Write() {
    if (own_ && txn_) mdb_txn_abort(txn_);
}

void Environment::Write::commit() {
    if (!own_ || !txn_) return;
    int const rc = mdb_txn_commit(std::exchange(txn_, nullptr));  // frees the transaction either way
    if (rc != 0) throwLmdb(rc, env_.path_, "committing", "a write transaction");
}

void Environment::Write::abandon() {
    if (own_ && txn_) mdb_txn_abort(std::exchange(txn_, nullptr));
}

void Environment::Write::fail(int rc, std::string_view what, std::string_view subject) {
    if (own_) {
        abandon();
    } else {
        env_.scopeRollback_ = true;  // LMDB's transaction may be half-changed: never commit it
    }
    throwLmdb(rc, env_.path_, what, subject);
}

// ---------------------------------------------------------------- scopes

void Environment::scopeBegin() {
    checkOpen();
    if (scopeDepth_ == 0) {
        int const rc = beginWrite(&scopeTxn_);
        if (rc != 0) throwLmdb(rc, path_, "starting", "a write transaction");
        scopeRollback_ = false;
    }
    ++scopeDepth_;
}

void Environment::scopeEnd(bool unwinding) {
    if (scopeDepth_ == 0) return;  // abandoned in a forked child
    if (unwinding) scopeRollback_ = true;
    if (--scopeDepth_ > 0) return;
    MDB_txn* const txn = std::exchange(scopeTxn_, nullptr);
    bool const rollback = std::exchange(scopeRollback_, false);
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
