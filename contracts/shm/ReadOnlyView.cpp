#include "contracts/shm/ReadOnlyView.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <lmdb.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "contracts/shm/Crc32c.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/LmdbHandle.h"
#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"

namespace QelSharedMem {

namespace {

constexpr char kTablePrefix[] = "tbl:";
constexpr std::size_t kCrcSize = 4;
constexpr MDB_dbi kMainDatabase = 1;  // LMDB's unnamed database, which lists the named ones

MDB_val valOf(std::string_view s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }
std::string_view viewOf(MDB_val const& v) { return {static_cast<char const*>(v.mv_data), v.mv_size}; }

std::uint32_t loadLe32(char const* at) {
    auto const* b = reinterpret_cast<unsigned char const*>(at);
    return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24;
}

[[noreturn]] void fail(int rc, Lumo::String const& path, std::string_view what) {
    throw StorageError(
        fmt::format("shared-memory environment {} (read-only): {} failed: {}", path, what, mdb_strerror(rc)));
}

std::string databaseName(Lumo::String const& managerName, bool local, Lumo::String const& path) {
    return kTablePrefix + managerKey(managerName, local) + path;
}

}  // namespace

struct ReadOnlyView::Handles {
    std::shared_ptr<LmdbHandle> lmdb;
    MDB_txn* txn = nullptr;
    std::uint64_t snapshot = 0;
    std::optional<MDB_dbi> meta;
    std::optional<MDB_dbi> ledra;
    // Tables by database name, as this snapshot has them (nothing: absent).
    std::map<std::string, std::optional<MDB_dbi>, std::less<>> tables;
};

ReadOnlyView::ReadOnlyView(Lumo::String path) : path_(std::move(path)), handles_(std::make_unique<Handles>()) {}

ReadOnlyView::~ReadOnlyView() {
    Handles& h = *handles_;
    if (h.txn && h.lmdb->ownedByThisProcess()) {
        mdb_txn_abort(h.txn);
        h.lmdb->viewEnded(h.snapshot);
    }
}

std::unique_ptr<ReadOnlyView> ReadOnlyView::open(Lumo::String const& ns) {
    Lumo::String const path = environmentPath(ns);  // refuses an unusable name
    // A planted or foreign file is refused (UnsafeFileError), never read.
    // An empty data file holds nothing yet: its writer created it and had not written its metas
    // (or was killed before it could); the next writer makes the store in it.
    std::optional<struct stat> const data = statStoreFile(path);
    if (!data || data->st_size == 0) return nullptr;
    // LMDB trusts the pages it reads; a damaged file is refused here rather than read.
    if (auto const damage = environmentFileDamage(path, kMapSize))
        throw StorageError(fmt::format("shared-memory environment {} (read-only) is damaged: {}", path, *damage));
    std::unique_ptr<ReadOnlyView> view(new ReadOnlyView(path));
    // Without its lock file no process can be using the environment; LMDB would otherwise create
    // the lock file, so read it unlocked instead.
    unsigned flags = MDB_NOSUBDIR | MDB_RDONLY | MDB_NOTLS | MDB_NORDAHEAD;
    if (!statStoreFile(path + "-lock")) flags |= MDB_NOLOCK;
    // Map what the writer mapped: a read-only map may not be smaller than the data file.
    int rc = 0;
    view->handles_->lmdb = LmdbHandle::acquire(path, {flags, kMapSize, kMaxDatabases}, rc);
    if (!view->handles_->lmdb) throwStoreError(rc, path, "opening (read-only)");
    view->beginSnapshot();
    return view;
}

// Takes the view's read transaction on a snapshot whose every database already has a handle:
// handles are opened before, in transactions that commit (LmdbHandle.h). A database made between
// the two is found missing and the round tried again.
void ReadOnlyView::beginSnapshot() {
    Handles& h = *handles_;
    LmdbHandle& lmdb = *h.lmdb;
    for (int attempt = 0; attempt < 20; ++attempt) {
        int rc = lmdb.openAllDatabases();
        if (rc == MDB_READERS_FULL) throwReadBeginError(rc, lmdb);
        if (rc != 0) throwStoreError(rc, path_, "opening the databases of (read-only)");
        rc = lmdb.beginRead(&h.txn);
        if (rc != 0) throwReadBeginError(rc, lmdb);
        if (lmdb.coversSnapshot(h.txn, rc)) break;
        mdb_txn_abort(std::exchange(h.txn, nullptr));
        if (rc != 0) throwStoreError(rc, path_, "listing the databases of (read-only)");
    }
    if (!h.txn)
        throw StorageError(
            fmt::format("shared-memory environment {} (read-only): databases keep being created "
                        "while it is opened; try again",
                        path_));
    h.snapshot = mdb_txn_id(h.txn);
    lmdb.viewBegan(h.snapshot);
    h.meta = tableDatabase(kMetaDatabase);
    h.ledra = tableDatabase(kLedraDatabase);
}

std::optional<MDB_dbi> ReadOnlyView::tableDatabase(std::string const& name) const {
    Handles& h = *handles_;
    if (auto found = h.tables.find(name); found != h.tables.end()) return found->second;
    // Whether this snapshot has the database: its record in the main database. A handle opened
    // for a newer snapshot must not be used when this one lacks the database.
    MDB_val k = valOf(name);
    MDB_val v;
    int const rc = mdb_get(h.txn, kMainDatabase, &k, &v);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path_, "looking up " + name);
    std::optional<MDB_dbi> result;
    if (rc == 0) result = h.lmdb->database(name);
    h.tables.emplace(name, result);
    return result;
}

std::vector<ReadOnlyView::Reader> ReadOnlyView::otherReaders() const {
    Handles const& h = *handles_;
    MDB_envinfo info{};
    mdb_env_info(h.lmdb->env(), &info);
    std::vector<Reader> readers;
    std::int64_t const self = ::getpid();
    for (LmdbReader const& r : h.lmdb->readers()) {
        if (r.pid == self) continue;
        Reader reader{r.pid, r.snapshot, 0};
        if (r.snapshot && *r.snapshot < info.me_last_txnid) reader.behind = info.me_last_txnid - *r.snapshot;
        readers.push_back(reader);
    }
    return readers;
}

unsigned ReadOnlyView::readerSlots() const {
    unsigned slots = 0;
    mdb_env_get_maxreaders(handles_->lmdb->env(), &slots);
    return slots;
}

void ReadOnlyView::checkSnapshot() const {
    Handles const& h = *handles_;
    if (!h.lmdb->ownedByThisProcess())
        throw StorageError(
            fmt::format("shared-memory environment {} (read-only): this view was opened by another "
                        "process (this one was forked from it) and cannot be read here; open a new "
                        "view",
                        path_));
    if (!h.lmdb->snapshotHeld(h.snapshot))
        throw StorageError(fmt::format(
            "shared-memory environment {} (read-only): the snapshot of this view is no longer held (its slot in "
            "LMDB's reader table was freed: a file of the store was closed in this process behind LMDB's back), so a "
            "writer may have reused its pages; open a new view",
            path_));
}

std::vector<Lumo::String> ReadOnlyView::findEntities(Lumo::String const& managerName, bool local,
                                                     Lumo::String const& pathBase) const {
    std::vector<Lumo::String> paths;
    Handles& h = *handles_;
    if (!h.meta) return paths;
    std::string const base = databaseName(managerName, local, "");
    std::string const prefix = base + pathBase;
    MDB_cursor* cursor = nullptr;
    if (int rc = mdb_cursor_open(h.txn, *h.meta, &cursor); rc != 0) fail(rc, path_, "listing tables");
    MDB_val k = valOf(prefix);
    MDB_val v;
    int rc = mdb_cursor_get(cursor, &k, &v, MDB_SET_RANGE);
    while (rc == 0) {
        std::string_view const key = viewOf(k);
        if (key.substr(0, prefix.size()) != prefix) break;
        paths.emplace_back(key.substr(base.size()));
        rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT);
    }
    mdb_cursor_close(cursor);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path_, "listing tables");
    return paths;
}

std::optional<CollectionMeta> ReadOnlyView::metadata(Lumo::String const& managerName, bool local,
                                                     Lumo::String const& path) const {
    Handles& h = *handles_;
    if (!h.meta) return std::nullopt;
    std::string const name = databaseName(managerName, local, path);
    MDB_val k = valOf(name);
    MDB_val v;
    int const rc = mdb_get(h.txn, *h.meta, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) fail(rc, path_, "reading the metadata of " + path);
    return CollectionMeta::decode(viewOf(v));
}

std::optional<unsigned> ReadOnlyView::tableDatabase(Lumo::String const& managerName, bool local,
                                                    Lumo::String const& path) const {
    return tableDatabase(databaseName(managerName, local, path));
}

std::uint64_t ReadOnlyView::recordCount(Lumo::String const& managerName, bool local, Lumo::String const& path) const {
    auto const dbi = tableDatabase(managerName, local, path);
    if (!dbi) return 0;
    MDB_stat st;
    if (int rc = mdb_stat(handles_->txn, *dbi, &st); rc != 0) fail(rc, path_, "counting the records of " + path);
    return st.ms_entries;
}

void ReadOnlyView::forEachRecord(Lumo::String const& managerName, bool local, Lumo::String const& path, bool backward,
                                 std::function<bool(Record const&)> const& fn) const {
    auto const dbi = tableDatabase(managerName, local, path);
    if (!dbi) return;
    auto const meta = metadata(managerName, local, path);
    std::size_t const recordSize = meta ? meta->recordSize : 0;
    MDB_cursor* cursor = nullptr;
    if (int rc = mdb_cursor_open(handles_->txn, *dbi, &cursor); rc != 0) fail(rc, path_, "reading table " + path);
    MDB_val k;
    MDB_val v;
    MDB_cursor_op const step = backward ? MDB_PREV : MDB_NEXT;
    int rc = mdb_cursor_get(cursor, &k, &v, backward ? MDB_LAST : MDB_FIRST);
    while (rc == 0) {
        std::string_view const value = viewOf(v);
        Record record{viewOf(k), value, false};
        if (meta && value.size() == recordSize + kCrcSize) {
            record.bytes = value.substr(0, recordSize);
            std::uint32_t const crc = crc32c(crc32c(0, k.mv_data, k.mv_size), value.data(), recordSize);
            record.intact = crc == loadLe32(value.data() + recordSize);
        }
        if (!fn(record)) break;
        rc = mdb_cursor_get(cursor, &k, &v, step);
    }
    mdb_cursor_close(cursor);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path_, "reading table " + path);
}

std::optional<std::string> ReadOnlyView::stateDatabaseValue(std::string_view key) const {
    Handles& h = *handles_;
    if (!h.ledra) return std::nullopt;
    MDB_val k = valOf(key);
    MDB_val v;
    int const rc = mdb_get(h.txn, *h.ledra, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) fail(rc, path_, "reading the state database");
    return std::string(viewOf(v));
}

}  // namespace QelSharedMem
