#include "contracts/shm/RawCollection.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "contracts/qel/Trace.h"
#include "contracts/shm/CollectionMeta.h"
#include "contracts/shm/Crc32c.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/SmallBytes.h"

namespace Tessel::detail {

using QelSharedMem::CollectionMeta;
using QelSharedMem::Environment;

namespace {

constexpr std::size_t kCrcSize = 4;

MDB_val valOf(std::uint8_t const* p, std::size_t n) { return MDB_val{n, const_cast<std::uint8_t*>(p)}; }

std::uint32_t recordCrc(void const* key, std::size_t keySize, void const* record, std::size_t recordSize) {
    return QelSharedMem::crc32c(QelSharedMem::crc32c(0, key, keySize), record, recordSize);
}

void storeLe32(void* at, std::uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    std::memcpy(at, b, 4);
}
std::uint32_t loadLe32(void const* at) {
    unsigned char b[4];
    std::memcpy(b, at, 4);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

// Whether cursor `c` is positioned on `key` (its record then in `value`).
bool atKey(MDB_cursor* c, std::uint8_t const* key, std::size_t keySize, MDB_val* value) {
    MDB_val k;
    return mdb_cursor_get(c, &k, value, MDB_GET_CURRENT) == 0 && k.mv_size == keySize &&
           sameBytes(k.mv_data, key, keySize);
}

}  // namespace

bool storedRecordIntact(std::string_view key, std::string_view value, std::uint32_t recordSize) {
    if (value.size() != std::size_t(recordSize) + kCrcSize) return false;
    return recordCrc(key.data(), key.size(), value.data(), recordSize) == loadLe32(value.data() + recordSize);
}

// ---------------------------------------------------------------- records

ReadStatus RawCollection::verify(void const* key, std::size_t keySize, void const* value, std::size_t valueSize,
                                 void* record) const {
    auto const* bytes = static_cast<unsigned char const*>(value);
    if (valueSize != definition_.recordSize + kCrcSize ||
        recordCrc(key, keySize, bytes, definition_.recordSize) != loadLe32(bytes + definition_.recordSize)) {
        noteDamaged();
        return ReadStatus::corrupt;
    }
    // An injected report: the record is sound, so nothing is noted for removal.
    if (QelSharedMem::StorageFaults* const faults = env_->faults(); faults && faults->corruptRead(definition_.path))
        [[unlikely]]
        return ReadStatus::corrupt;
    if (record) copyBytes(record, bytes, definition_.recordSize);
    return ReadStatus::found;
}

void RawCollection::quarantine() const {
    if (!damageNoted_) return;
    damageNoted_ = false;
    env_->quarantine({static_cast<MDB_dbi>(dbi_), definition_.recordSize, definition_.path, quarantined_});
}

std::uint32_t RawCollection::scan(std::function<void(void const*)> const& fn) const {
    Environment::Read r(*env_);
    MDB_cursor* opened = nullptr;
    if (int const rc = mdb_cursor_open(r.txn(), dbi_, &opened); rc != 0)
        throw QelSharedMem::StorageError(
            fmt::format("reading shared-memory table {}: {}", definition_.path, mdb_strerror(rc)));
    std::unique_ptr<MDB_cursor, void (*)(MDB_cursor*)> const cursor(opened, mdb_cursor_close);
    MDB_cursor* const c = cursor.get();
    std::uint32_t damaged = 0;
    std::string last;
    MDB_val k, v;
    int rc = mdb_cursor_get(c, &k, &v, MDB_FIRST);
    for (; rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
        std::string_view const key(static_cast<char const*>(k.mv_data), k.mv_size);
        if (!last.empty() && key <= std::string_view(last)) break;  // a damaged tree: go no further
        last.assign(key);
        if (storedRecordIntact(key, std::string_view(static_cast<char const*>(v.mv_data), v.mv_size),
                               definition_.recordSize)) {
            fn(v.mv_data);
        } else {
            ++damaged;
        }
    }
    if (rc != 0 && rc != MDB_NOTFOUND)
        throw QelSharedMem::StorageError(
            fmt::format("reading shared-memory table {}: {}", definition_.path, mdb_strerror(rc)));
    return damaged;
}

bool RawCollection::lastReadOf(std::uint64_t snapshot, std::uint8_t const* key, std::size_t keySize, ReadStatus& status,
                               void* record) const {
    if (ahead_.current(snapshot, key, keySize, record)) {
        status = ReadStatus::found;
        return true;
    }
    if (snapshot == 0 || last_.snapshot != snapshot || last_.key.size() != keySize ||
        !sameBytes(last_.key.data(), key, keySize))
        return false;
    status = last_.found ? ReadStatus::found : ReadStatus::absent;
    if (last_.found && record) copyBytes(record, last_.record.data(), definition_.recordSize);
    return true;
}

void RawCollection::rememberRead(std::uint64_t snapshot, std::uint8_t const* key, std::size_t keySize, bool found,
                                 void const* record) const {
    last_.snapshot = snapshot;
    last_.found = found;
    last_.key.assign(reinterpret_cast<char const*>(key), keySize);
    if (found) {
        last_.record.resize(definition_.recordSize);
        copyBytes(last_.record.data(), record, definition_.recordSize);
    }
}

ReadStatus RawCollection::get(std::uint8_t const* key, std::size_t keySize, void* record) const {
    Environment::Read r(*env_);
    ReadStatus status;
    // A snapshot never changes: the record read last for this key in it is the record now.
    if (lastReadOf(r.snapshot(), key, keySize, status, record)) return status;
    MDB_val k = valOf(key, keySize);
    MDB_val v;
    int const rc = mdb_get(r.txn(), dbi_, &k, &v);
    if (rc == MDB_NOTFOUND) {
        rememberRead(r.snapshot(), key, keySize, false, nullptr);
        return ReadStatus::absent;
    }
    if (rc != 0)
        throw QelSharedMem::StorageError(
            fmt::format("reading shared-memory table {}: {}", definition_.path, mdb_strerror(rc)));
    status = verify(key, keySize, v.mv_data, v.mv_size, nullptr);
    if (status != ReadStatus::found) return status;
    if (record) copyBytes(record, v.mv_data, definition_.recordSize);
    rememberRead(r.snapshot(), key, keySize, true, v.mv_data);
    return status;
}

ReadStatus RawCollection::seek(Seek how, std::uint8_t const* key, std::size_t keySize, void* record,
                               std::uint8_t* foundKey) const {
    Environment::Read r(*env_);
    if (how == Seek::after && ahead_.next(r.snapshot(), key, keySize, record, foundKey)) return ReadStatus::found;
    if (how == Seek::atOrAfter && ahead_.current(r.snapshot(), key, keySize, record)) {
        copyBytes(foundKey, key, keySize);  // read and checked already in this snapshot
        return ReadStatus::found;
    }
    MDB_cursor* const c = r.cursor(dbi_);
    MDB_val k = valOf(key, keySize);
    MDB_val v;
    int rc;
    bool const stepBack = !stepsBackFrom_.empty() && how != Seek::first &&
                          std::memcmp(key, stepsBackFrom_.data(), std::min(keySize, stepsBackFrom_.size())) >= 0;
    bool walking = false;  // a step from the record the cursor rests on: a walk is going on
    if (how == Seek::first || stepBack) {
        rc = mdb_cursor_get(c, &k, &v, MDB_FIRST);
    } else if (atKey(c, key, keySize, &v)) {
        walking = how == Seek::after;
        // The cursor still rests on `key` in this snapshot (the last step of a walk left it
        // there): that record, or the one after it, without a seek.
        k = valOf(key, keySize);
        ReadStatus status;
        if (how == Seek::atOrAfter && lastReadOf(r.snapshot(), key, keySize, status, record) &&
            status == ReadStatus::found) {
            copyBytes(foundKey, key, keySize);  // read and checked already in this snapshot
            return status;
        }
        rc = how == Seek::after ? mdb_cursor_get(c, &k, &v, MDB_NEXT) : 0;
    } else {
        rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
        if (rc == 0 && how == Seek::after && k.mv_size == keySize && std::memcmp(k.mv_data, key, keySize) == 0)
            rc = mdb_cursor_get(c, &k, &v, MDB_NEXT);
    }
    if (rc == MDB_NOTFOUND) return ReadStatus::absent;
    if (rc != 0)
        throw QelSharedMem::StorageError(
            fmt::format("stepping through shared-memory table {}: {}", definition_.path, mdb_strerror(rc)));
    std::memset(foundKey, 0, keySize);
    std::memcpy(foundKey, k.mv_data, std::min(k.mv_size, keySize));
    if (k.mv_size != keySize) {
        noteDamaged();
        return ReadStatus::corrupt;
    }
    // Every walk finds its place again from the last key and relies on each step moving past
    // it. A step that lands before its key (or on it, for `after`) means a damaged tree: report
    // it rather than hand the walk a record it has seen, which would make it go round for ever.
    // The record itself may be sound, so it is not noted for removal.
    if (how != Seek::first) {
        int const order = std::memcmp(k.mv_data, key, keySize);
        if (order < 0 || (order == 0 && how == Seek::after)) return ReadStatus::misordered;
    }
    ReadStatus const status = verify(k.mv_data, keySize, v.mv_data, v.mv_size, record);
    if (status != ReadStatus::found) return status;
    if (walking && stepsBackFrom_.empty() && r.snapshot() != 0) {
        ahead_.start(r.snapshot(), foundKey, keySize, v.mv_data, definition_.recordSize);
        ahead_.fill(c);
    } else {
        // A walk's caller often looks up the record it was just given.
        rememberRead(r.snapshot(), foundKey, keySize, true, v.mv_data);
    }
    return status;
}

void RawCollection::put(std::uint8_t const* key, std::size_t keySize, void const* record) {
    Environment::Write w(*env_);
    if (env_->injectedWriteFailure()) w.fail(EIO, "writing a record of", definition_.path);
    MDB_val k = valOf(key, keySize);
    MDB_stat st;
    int rc = mdb_stat(w.txn(), dbi_, &st);
    if (rc != 0) w.fail(rc, "counting the records of", definition_.path);
    if (st.ms_entries >= definition_.capacity) {
        MDB_val existing;
        rc = mdb_get(w.txn(), dbi_, &k, &existing);
        if (rc == MDB_NOTFOUND) {
            w.abandon();  // nothing written; an open scope stays usable
            throw Lumo::CapacityExceededException(
                fmt::format("shared-memory table {} collection {} is full: it holds {} records, its capacity",
                            definition_.path, definition_.collectionName, definition_.capacity));
        }
        if (rc != 0) w.fail(rc, "reading a record of", definition_.path);
    }
    MDB_val v{definition_.recordSize + kCrcSize, nullptr};
    rc = w.put(dbi_, &k, &v, MDB_RESERVE);
    if (rc != 0) w.fail(rc, "writing a record of", definition_.path);
    auto* out = static_cast<unsigned char*>(v.mv_data);
    std::memcpy(out, record, definition_.recordSize);
    storeLe32(out + definition_.recordSize, recordCrc(key, keySize, record, definition_.recordSize));
    w.wrote(dbi_, k, v);
    w.commit();
}

bool RawCollection::del(std::uint8_t const* key, std::size_t keySize) {
    Environment::Write w(*env_);
    if (env_->injectedWriteFailure()) w.fail(EIO, "removing a record of", definition_.path);
    MDB_val k = valOf(key, keySize);
    int const rc = w.del(dbi_, &k);
    if (rc == MDB_NOTFOUND) {
        w.abandon();
        return false;
    }
    if (rc != 0) w.fail(rc, "removing a record of", definition_.path);
    w.removed(dbi_, k);
    w.commit();
    return true;
}

std::uint32_t RawCollection::size() const {
    Environment::Read r(*env_);
    MDB_stat st;
    int const rc = mdb_stat(r.txn(), dbi_, &st);
    if (rc != 0)
        throw QelSharedMem::StorageError(
            fmt::format("counting shared-memory table {}: {}", definition_.path, mdb_strerror(rc)));
    return static_cast<std::uint32_t>(st.ms_entries);
}

void RawCollection::corruptRecord(std::uint8_t const* key, std::size_t keySize) {
    Environment::Write w(*env_);
    MDB_val k = valOf(key, keySize);
    MDB_val v;
    int rc = mdb_get(w.txn(), dbi_, &k, &v);
    if (rc == MDB_NOTFOUND) throw std::invalid_argument("no record to corrupt in " + definition_.path);
    if (rc != 0) w.fail(rc, "reading a record of", definition_.path);
    std::vector<unsigned char> bytes(static_cast<unsigned char const*>(v.mv_data),
                                     static_cast<unsigned char const*>(v.mv_data) + v.mv_size);
    bytes[bytes.size() / 2] ^= 0x5A;
    MDB_val out{bytes.size(), bytes.data()};
    rc = w.put(dbi_, &k, &out, 0);
    if (rc != 0) w.fail(rc, "writing a record of", definition_.path);
    w.wrote(dbi_, k, out);
    w.commit();
}

}  // namespace Tessel::detail
