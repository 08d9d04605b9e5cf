#include "contracts/shm/ReadOnlyView.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <lmdb.h>

#include <map>

#include "contracts/shm/Crc32c.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/StoreFiles.h"

namespace QelSharedMem {

namespace {

constexpr char kTablePrefix[] = "tbl:";
constexpr std::size_t kCrcSize = 4;

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
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi meta = 0;
    MDB_dbi ledra = 0;
    bool hasMeta = false;
    bool hasLedra = false;
    std::map<std::string, std::optional<MDB_dbi>, std::less<>> tables;
};

ReadOnlyView::ReadOnlyView(Lumo::String path) : path_(std::move(path)), handles_(std::make_unique<Handles>()) {}

ReadOnlyView::~ReadOnlyView() {
    if (handles_->txn) mdb_txn_abort(handles_->txn);
    if (handles_->env) mdb_env_close(handles_->env);
}

std::unique_ptr<ReadOnlyView> ReadOnlyView::open(Lumo::String const& ns) {
    Lumo::String const path = environmentPath(ns);  // refuses an unusable name
    // A planted or foreign file is refused (UnsafeFileError), never read.
    if (!openStoreFile(path, O_RDONLY)) return nullptr;
    if (openProcessEnvironmentAt(path))
        throw std::logic_error("shared-memory environment " + path +
                               " is open in this process: a read-only view of it would be a second LMDB handle");
    bool const locked = static_cast<bool>(openStoreFile(path + "-lock", O_RDONLY));
    // LMDB trusts the pages it reads; a damaged file is refused here rather than read.
    if (auto const damage = environmentFileDamage(path, kMapSize))
        throw StorageError(fmt::format("shared-memory environment {} (read-only) is damaged: {}", path, *damage));
    std::unique_ptr<ReadOnlyView> view(new ReadOnlyView(path));
    Handles& h = *view->handles_;
    // Without its lock file no process can be using the environment; LMDB would otherwise create
    // the lock file, so read it unlocked instead.
    unsigned flags = MDB_NOSUBDIR | MDB_RDONLY | MDB_NOTLS | MDB_NORDAHEAD;
    if (!locked) flags |= MDB_NOLOCK;
    int rc = mdb_env_create(&h.env);
    if (rc == 0) rc = mdb_env_set_maxdbs(h.env, kMaxDatabases);
    // Map what the writer mapped: a read-only map may not be smaller than the data file.
    if (rc == 0) rc = mdb_env_set_mapsize(h.env, kMapSize);
    if (rc == 0) rc = mdb_env_open(h.env, path.c_str(), flags, 0600);
    if (rc != 0) fail(rc, path, "opening");
    rc = mdb_txn_begin(h.env, nullptr, MDB_RDONLY, &h.txn);
    if (rc != 0) fail(rc, path, "starting a read transaction");
    rc = mdb_dbi_open(h.txn, kMetaDatabase, 0, &h.meta);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path, "opening the metadata database");
    h.hasMeta = rc == 0;
    rc = mdb_dbi_open(h.txn, kLedraDatabase, 0, &h.ledra);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path, "opening the state database");
    h.hasLedra = rc == 0;
    return view;
}

std::vector<Lumo::String> ReadOnlyView::findEntities(Lumo::String const& managerName, bool local,
                                                     Lumo::String const& pathBase) const {
    std::vector<Lumo::String> paths;
    Handles& h = *handles_;
    if (!h.hasMeta) return paths;
    std::string const base = databaseName(managerName, local, "");
    std::string const prefix = base + pathBase;
    MDB_cursor* cursor = nullptr;
    if (int rc = mdb_cursor_open(h.txn, h.meta, &cursor); rc != 0) fail(rc, path_, "listing tables");
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
    if (!h.hasMeta) return std::nullopt;
    std::string const name = databaseName(managerName, local, path);
    MDB_val k = valOf(name);
    MDB_val v;
    int const rc = mdb_get(h.txn, h.meta, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) fail(rc, path_, "reading the metadata of " + path);
    return CollectionMeta::decode(viewOf(v));
}

std::optional<unsigned> ReadOnlyView::tableDatabase(Lumo::String const& managerName, bool local,
                                                    Lumo::String const& path) const {
    Handles& h = *handles_;
    std::string const name = databaseName(managerName, local, path);
    if (auto found = h.tables.find(name); found != h.tables.end()) return found->second;
    MDB_dbi dbi = 0;
    int const rc = mdb_dbi_open(h.txn, name.c_str(), 0, &dbi);
    if (rc != 0 && rc != MDB_NOTFOUND) fail(rc, path_, "opening table " + path);
    std::optional<MDB_dbi> result;
    if (rc == 0) result = dbi;
    h.tables.emplace(name, result);
    return result;
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
    if (!h.hasLedra) return std::nullopt;
    MDB_val k = valOf(key);
    MDB_val v;
    int const rc = mdb_get(h.txn, h.ledra, &k, &v);
    if (rc == MDB_NOTFOUND) return std::nullopt;
    if (rc != 0) fail(rc, path_, "reading the state database");
    return std::string(viewOf(v));
}

}  // namespace QelSharedMem
