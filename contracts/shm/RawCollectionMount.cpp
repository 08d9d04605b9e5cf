// The mount of a raw collection (its database opened or made, its metadata record read,
// checked against the definition and written) and the collection control that reads and patches
// that record afterwards.
#include <fmt/format.h>

#include <cstring>

#include "contracts/qel/Trace.h"
#include "contracts/shm/CollectionMeta.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/RawCollection.h"

namespace Tessel::detail {

using QelSharedMem::CollectionMeta;
using QelSharedMem::Environment;

namespace {

MDB_val valOf(std::string const& s) { return MDB_val{s.size(), const_cast<char*>(s.data())}; }

// Why a mount did not take the stored collection as it was.
enum class MountOutcome { kept, created, unreadable, formatChanged, typeChanged, forced };

char const* describe(MountOutcome o) {
    switch (o) {
        case MountOutcome::kept:
            return "kept";
        case MountOutcome::created:
            return "created";
        case MountOutcome::unreadable:
            return "stored collection unreadable";
        case MountOutcome::formatChanged:
            return "stored in another format or record layout";
        case MountOutcome::typeChanged:
            return "stored with another table type";
        case MountOutcome::forced:
            return "wipe injected by a test";
    }
    return "?";
}

}  // namespace

// ---------------------------------------------------------------- control

// The collection control: reads and patches the collection's metadata record. Holds the
// environment itself so that it stays safe to call after the collection is gone.
class ControlImpl final : public QelTessel::CollectionControl {
  public:
    ControlImpl(std::shared_ptr<Environment> env, std::string dbName, std::string path)
        : env_(std::move(env)), key_(std::move(dbName)), path_(std::move(path)) {}

    bool wiped() const override { return CollectionMeta::flagsOf(read()) & CollectionMeta::kWipedFlag; }
    void clearWiped() override {
        patch([](char* bytes, std::size_t size) {
            std::string_view const view(bytes, size);
            CollectionMeta::patchFlags(bytes, size, CollectionMeta::flagsOf(view) & ~CollectionMeta::kWipedFlag);
        });
    }
    std::uint64_t scratchpad() const override { return CollectionMeta::scratchpadOf(read()); }
    void scratchpadIs(std::uint64_t value) override {
        patch([value](char* bytes, std::size_t size) { CollectionMeta::patchScratchpad(bytes, size, value); });
    }

  private:
    // The intact metadata bytes, copied out of the map into a buffer of this object.
    std::string_view read() const {
        Environment::Read r(*env_);
        MDB_val k = valOf(key_);
        MDB_val v;
        int const rc = mdb_get(r.txn(), env_->metaDbi(), &k, &v);
        std::string_view const bytes(static_cast<char const*>(v.mv_data), rc == 0 ? v.mv_size : 0);
        if (rc != 0 && rc != MDB_NOTFOUND)
            throw QelSharedMem::StorageError(fmt::format("reading the metadata of {}: {}", path_, mdb_strerror(rc)));
        checkIntact(bytes);
        std::memcpy(buffer_, bytes.data(), bytes.size());
        return std::string_view(buffer_, bytes.size());
    }

    template <typename Fn>
    void patch(Fn&& fn) {
        Environment::Write w(*env_);
        if (env_->injectedWriteFailure()) w.fail(EIO, "writing the metadata of", path_);
        MDB_val k = valOf(key_);
        MDB_val v;
        int rc = mdb_get(w.txn(), env_->metaDbi(), &k, &v);
        if (rc != 0 && rc != MDB_NOTFOUND) w.fail(rc, "reading the metadata of", path_);
        std::string_view const bytes(static_cast<char const*>(v.mv_data), rc == 0 ? v.mv_size : 0);
        checkIntact(bytes);
        std::memcpy(buffer_, bytes.data(), bytes.size());  // never change map pages in place
        fn(buffer_, bytes.size());
        MDB_val out{bytes.size(), nullptr};
        rc = w.put(env_->metaDbi(), &k, &out, MDB_RESERVE);
        if (rc != 0) w.fail(rc, "writing the metadata of", path_);
        std::memcpy(out.mv_data, buffer_, bytes.size());
        w.wrote(env_->metaDbi(), k, out);
        w.commit();
    }

    void checkIntact(std::string_view bytes) const {
        if (bytes.size() > sizeof(buffer_) || !CollectionMeta::intact(bytes)) {
            throw Lumo::CorruptionDetectedException(
                fmt::format("metadata of shared-memory table {} is missing or fails its checksum", path_));
        }
    }

    std::shared_ptr<Environment> env_;
    std::string key_;
    std::string path_;
    mutable char buffer_[CollectionMeta::kMaxEncodedSize];
};

// ---------------------------------------------------------------- mount

namespace {

// What the steps of a mount learn about the stored table, in one write transaction.
struct MountState {
    MDB_dbi dbi = 0;
    bool exists = false;
    bool metaPresent = false;
    std::optional<CollectionMeta> stored;
    MountOutcome outcome = MountOutcome::kept;
};

// The metadata the definition asks for.
CollectionMeta wantedMeta(CollectionDefinition const& def) {
    CollectionMeta want;
    want.recordLayout = def.recordLayout;
    want.recordSize = def.recordSize;
    want.capacity = def.capacity;
    want.typeName = def.typeName;
    want.collectionName = def.collectionName;
    return want;
}

void validateDefinition(CollectionDefinition& def, Environment const& env) {
    if (def.path.empty()) def.path = def.dbName;
    if (def.dbName.empty() || def.dbName.size() > env.maxKeySize() || def.dbName.find('\0') != std::string::npos)
        throw std::invalid_argument("unusable shared-memory table name: " + def.dbName);
    if (def.capacity == 0) throw std::invalid_argument("shared-memory table " + def.path + " declared with size 0");
    if (def.recordSize == 0) throw std::invalid_argument("shared-memory table " + def.path + " of empty records");
    if (def.typeName.size() > CollectionMeta::kMaxNameSize || def.collectionName.size() > CollectionMeta::kMaxNameSize)
        throw std::invalid_argument("type or collection name too long for " + def.path);
    if (env.inScope())
        throw std::logic_error("shared-memory table " + def.path + " mounted inside a WriteTransaction scope");
}

// Opens the table's database if it exists; a name held by something that is not a keyed
// database is removed (the table is then unreadable and made anew).
void openDatabase(CollectionDefinition const& def, Environment::Write& w, MountState& m) {
    int rc = mdb_dbi_open(w.txn(), def.dbName.c_str(), 0, &m.dbi);
    m.exists = rc == 0;
    if (rc == MDB_INCOMPATIBLE) {
        MDB_dbi main = 0;
        MDB_val k = valOf(def.dbName);
        rc = mdb_dbi_open(w.txn(), nullptr, 0, &main);
        if (rc == 0) rc = mdb_del(w.txn(), main, &k, nullptr);
        if (rc != 0) w.fail(rc, "removing the unreadable table", def.path);
        m.outcome = MountOutcome::unreadable;
    } else if (rc != 0 && rc != MDB_NOTFOUND) {
        w.fail(rc, "opening", def.path);
    }
}

void readStoredMeta(CollectionDefinition const& def, Environment& env, Environment::Write& w, MountState& m) {
    MDB_val mk = valOf(def.dbName);
    MDB_val mv;
    int const rc = mdb_get(w.txn(), env.metaDbi(), &mk, &mv);
    if (rc != 0 && rc != MDB_NOTFOUND) w.fail(rc, "reading the metadata of", def.path);
    m.metaPresent = rc == 0;
    if (m.metaPresent)
        m.stored = CollectionMeta::decode(std::string_view(static_cast<char const*>(mv.mv_data), mv.mv_size));
}

// Whether the stored table is kept as it is, and if not, why it comes up empty.
MountOutcome mountOutcome(CollectionDefinition const& def, Environment& env, MountState const& m) {
    MountOutcome outcome = m.outcome;
    if (outcome == MountOutcome::kept) {
        if (!m.exists && !m.metaPresent) {
            outcome = MountOutcome::created;
        } else if (!m.exists || !m.stored) {
            outcome = MountOutcome::unreadable;
        } else if (m.stored->typeName != def.typeName) {
            outcome = MountOutcome::typeChanged;
        } else if (!wantedMeta(def).sameFormat(*m.stored)) {
            outcome = MountOutcome::formatChanged;
        }
    }
    if (env.injectedWipe(def.path) && outcome == MountOutcome::kept) outcome = MountOutcome::forced;
    return outcome;
}

// Creates the database, or empties a stored one that is not kept (keeping its handle).
void prepareDatabase(CollectionDefinition const& def, Environment::Write& w, MountState& m) {
    if (!m.exists) {
        if (int const rc = mdb_dbi_open(w.txn(), def.dbName.c_str(), MDB_CREATE, &m.dbi); rc != 0)
            w.fail(rc, "creating", def.path);
    } else if (m.outcome != MountOutcome::kept) {
        if (int const rc = mdb_drop(w.txn(), m.dbi, 0); rc != 0) w.fail(rc, "emptying", def.path);
    }
}

// The metadata the table is mounted with, written when it changed.
CollectionMeta writeMeta(CollectionDefinition const& def, Environment& env, Environment::Write& w,
                         MountState const& m) {
    CollectionMeta meta = wantedMeta(def);
    if (m.outcome == MountOutcome::kept) {
        meta.flags = m.stored->flags;
        meta.scratchpad = m.stored->scratchpad;
    } else {
        // A new collection lost nothing, unless the whole environment was just recreated.
        meta.wipedIs(m.outcome != MountOutcome::created || env.recreated());
    }
    if (m.outcome != MountOutcome::kept || m.stored->capacity != def.capacity) {
        std::string const bytes = meta.encode();
        MDB_val mk = valOf(def.dbName);
        MDB_val v{bytes.size(), const_cast<char*>(bytes.data())};
        if (int const rc = mdb_put(w.txn(), env.metaDbi(), &mk, &v, 0); rc != 0)
            w.fail(rc, "writing the metadata of", def.path);
    }
    return meta;
}

}  // namespace

RawCollection::RawCollection(Environment& env, CollectionDefinition definition)
    : env_(env.shared_from_this()), definition_(std::move(definition)) {
    validateDefinition(definition_, env);
    Environment::Write w(env, true);
    MountState m;
    openDatabase(definition_, w, m);
    readStoredMeta(definition_, env, w, m);
    m.outcome = mountOutcome(definition_, env, m);
    prepareDatabase(definition_, w, m);
    CollectionMeta const meta = writeMeta(definition_, env, w, m);
    w.commit();
    dbi_ = m.dbi;
    control_ = Lumo::make<ControlImpl>(env_, definition_.dbName, definition_.path);

    QEL_TRACE_AT(QelSharedMem::tesselTrace(),
                 m.outcome == MountOutcome::kept || m.outcome == MountOutcome::created ? 3 : 2, "mounted {} ({}): {}{}",
                 definition_.path, definition_.typeName, describe(m.outcome), meta.wiped() ? ", wiped" : "");
}

RawCollection::~RawCollection() = default;

QelTessel::CollectionControl& RawCollection::control() const { return *control_; }
Lumo::Ptr<QelTessel::CollectionControl> RawCollection::controlPtr() const { return control_; }

}  // namespace Tessel::detail
