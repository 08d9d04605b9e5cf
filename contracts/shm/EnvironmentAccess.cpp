// The Environment's plain key/value access, the removal of damaged records, the naming of
// stored databases, and the errors every LMDB failure becomes.
#include <fmt/format.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <utility>

#include "contracts/qel/Log.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/RawCollection.h"

namespace QelSharedMem {

namespace {

MDB_val valOf(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

constexpr Qel::LogDescriptor kRecordQuarantinedDescriptor{
    "SHM_RECORD_QUARANTINED", "Shared-memory table %s: damaged record removed: key %s",
    "A record of a shared-memory table failed its checksum and was removed; its owner writes it again "
    "if it still needs it"};
Qel::LogHandle const& recordQuarantinedLog() {
    static Qel::LogHandle const handle{kRecordQuarantinedDescriptor, Lumo::Duration{}, 1.0, 0, 0};
    return handle;
}
std::string hex(std::string_view bytes) {
    std::string out = "0x";
    for (unsigned char c : bytes) out += fmt::format("{:02x}", c);
    return out;
}

}  // namespace

[[noreturn]] void throwLmdbError(int rc, Lumo::String const& envPath, std::string_view what, std::string_view subject) {
    if (rc == MDB_MAP_FULL || rc == MDB_TXN_FULL) {
        throw Lumo::CapacityExceededException(
            fmt::format("shared-memory environment {} is full ({}) while {} {}; the transaction is rolled back",
                        envPath, mdb_strerror(rc), what, subject));
    }
    std::string note;
    if (rc == ENOSPC || rc == EIO) {
        // LMDB reports a write cut short by a full file system as EIO.
        struct statvfs fs {};
        if (::statvfs(envPath.c_str(), &fs) == 0 && std::uint64_t(fs.f_bavail) * fs.f_frsize < (std::uint64_t(1) << 20))
            note = fmt::format(
                "{}{} bytes free where it is stored); the transaction is rolled back and every "
                "earlier one is kept",
                rc == EIO ? " (No space left on device: " : " (", std::uint64_t(fs.f_bavail) * fs.f_frsize);
    }
    throw StorageError(fmt::format("shared-memory environment {}: {} {} failed: {}{}", envPath, what, subject,
                                   mdb_strerror(rc), note));
}

// ---------------------------------------------------------------- quarantine

void Environment::quarantine(DamagedCollection collection) {
    if (!env_ || (faults_ && !faults_->quarantineDamaged())) return;
    for (DamagedCollection const& pending : damaged_)
        if (pending.dbi == collection.dbi) return;  // checked whole when the scope ends
    damaged_.push_back(std::move(collection));
    if (!scopeTxn_) removeDamaged();
}

int Environment::removeDamagedOf(MDB_txn* txn, DamagedCollection const& collection, std::vector<std::string>& removed) {
    MDB_cursor* c = nullptr;
    int rc = mdb_cursor_open(txn, collection.dbi, &c);
    if (rc != 0) return rc;
    MDB_val k, v;
    std::string last;
    for (rc = mdb_cursor_get(c, &k, &v, MDB_FIRST); rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
        std::string_view const key(static_cast<char const*>(k.mv_data), k.mv_size);
        // The check at open has audited the tree's order; a step that does not move forward
        // would still end the walk rather than go round.
        if (!last.empty() && key <= std::string_view(last)) break;
        last.assign(key);
        std::string_view const value(static_cast<char const*>(v.mv_data), v.mv_size);
        if (!Tessel::detail::storedRecordIntact(key, value, collection.recordSize)) removed.emplace_back(key);
    }
    mdb_cursor_close(c);
    if (rc != 0 && rc != MDB_NOTFOUND) return rc;
    for (std::string const& key : removed) {
        MDB_val dk = valOf(key);
        if (rc = mdb_del(txn, collection.dbi, &dk, nullptr); rc != 0) return rc;
    }
    return 0;
}

void Environment::removeDamaged() {
    std::vector<DamagedCollection> const collections = std::exchange(damaged_, {});
    MDB_txn* txn = nullptr;
    int rc = beginWrite(&txn);
    std::vector<std::vector<std::string>> removed(collections.size());
    for (std::size_t i = 0; rc == 0 && i < collections.size(); ++i)
        rc = removeDamagedOf(txn, collections[i], removed[i]);
    if (rc == 0) {
        ++commits_;
        rc = mdb_txn_commit(std::exchange(txn, nullptr));
    } else if (txn) {
        mdb_txn_abort(txn);
    }
    if (rc != 0) {
        for (DamagedCollection const& collection : collections)
            QEL_TRACE_AT(tesselTrace(), 1, "corruption detected: removing the damaged records of {} failed: {}",
                         collection.path, mdb_strerror(rc));
        return;
    }
    for (std::size_t i = 0; i < collections.size(); ++i) {
        quarantined_ += removed[i].size();
        if (collections[i].removed) *collections[i].removed += removed[i].size();
        for (std::string const& stored : removed[i]) {
            std::string const key = hex(stored);
            QEL_TRACE_AT(tesselTrace(), 1, "corruption detected: damaged record of key {} removed from {}", key,
                         collections[i].path);
            Qel::log(recordQuarantinedLog(), collections[i].path.c_str(), key.c_str());
        }
    }
}

// ---------------------------------------------------------------- plain access

std::optional<std::string> Environment::get(MDB_dbi dbi, std::string_view key) {
    Read r(*this);
    MDB_val k = valOf(key);
    MDB_val v;
    int const rc = mdb_get(r.txn(), dbi, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) throwLmdbError(rc, path_, "reading", key);
    return std::string(static_cast<char const*>(v.mv_data), v.mv_size);
}

void Environment::put(MDB_dbi dbi, std::string_view key, std::string_view value) {
    Write w(*this);
    MDB_val k = valOf(key);
    MDB_val v = valOf(value);
    if (int const rc = w.put(dbi, &k, &v, 0); rc != 0) w.fail(rc, "writing", key);
    w.wrote(dbi, k, v);
    w.commit();
}

bool Environment::del(MDB_dbi dbi, std::string_view key) {
    Write w(*this);
    MDB_val k = valOf(key);
    int const rc = w.del(dbi, &k);
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
    if (rc != 0 && rc != MDB_NOTFOUND) throwLmdbError(rc, path_, "listing", prefix);
    return keys;
}

// ---------------------------------------------------------------- naming

std::string managerKey(Lumo::String const& name, bool local) {
    return fmt::format("{}:{}:{}:", name.size(), name, local ? 'L' : 'G');
}

void validatePath(Lumo::String const& path) {
    if (path.empty()) throw std::invalid_argument("shared-memory path is empty");
    if (path.find('\0') != Lumo::String::npos) throw std::invalid_argument("shared-memory path holds a NUL byte");
    if (path.find("..") != Lumo::String::npos) throw std::invalid_argument("shared-memory path holds \"..\": " + path);
}

}  // namespace QelSharedMem
