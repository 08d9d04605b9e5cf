#pragma once
// The shared-memory keyed-table service: QelSharedMem (entity managers, mounts, entities),
// QelTessel (mount descriptions and collection controls) and Tessel (typed keyed
// collections). Tables live in an LMDB environment on tmpfs (/dev/shm) and outlive the
// process: a record committed by one process is there for the next.
//
// Namespaces: all entity managers of a process share one environment, chosen by the
// namespace (QelSharedMem::namespaceIs, or the environment variable VORN_SHM_NAMESPACE,
// default "default"), stored at /dev/shm/vorn-tcam.<namespace>.mdb (plus LMDB's "-lock" file
// and the agent's lock; StoreFiles.h). Distinct namespaces never see each other's tables or
// files; a namespace name is 1 to 64 characters of A-Z, a-z, 0-9, '_' and '-'.
//
// Transactions: every single write is one LMDB transaction. A WriteTransaction scope groups
// all writes made while it is open (across tables of the environment) into one transaction,
// so that a crash at any instant leaves all of them or none. Reads inside the scope see
// the scope's writes.
//
// Threads: the service is used from one thread (the agent's event loop); nothing is locked.
// Several processes may open the same namespace at once (LMDB serialises their writers); an
// agent takes the namespace's NamespaceLock so that it is the only writer.
// The stored format is described in docs/storage-format.md.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "contracts/lumo/Exception.h"
#include "contracts/lumo/Node.h"
#include "contracts/lumo/String.h"
#include "contracts/shm/StorageError.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace QelSharedMem {

class Environment;
class StorageFaults;

// How a namespace's environment is opened. Tests set these; the agent uses the defaults.
struct NamespaceOptions {
    // The map size, the upper bound of what the namespace stores; 0: the normal size.
    std::size_t mapSize = 0;
    // Storage faults to inject (StorageFaults.h); null for healthy storage.
    std::shared_ptr<StorageFaults> faults;
};

// Sets the namespace of this process's environment, and how it is opened; must be called
// before the first mount. A change closes the environment open before. Without options, the
// namespace set already keeps its own (a test's faults stay when the agent names its namespace);
// another namespace is opened with the defaults.
void namespaceIs(Lumo::String const& ns, std::optional<NamespaceOptions> options = std::nullopt);
Lumo::String const& namespaceName();
// The files of a namespace's environment.
Lumo::String environmentPath(Lumo::String const& ns);
// Closes this process's environment (if open) and removes every file of the namespace, damaged
// copies included. Refused (NamespaceBusyError) while another process holds its NamespaceLock.
void removeNamespace(Lumo::String const& ns);
// Closes this process's environment; the next use reopens it. For tests that model a restart.
// Every manager forgets its mounted entities. Entities, collections and collection controls
// obtained before must not be used afterwards: their operations throw std::logic_error.
void closeEnvironment();

// Value 1 of QelSharedMemType: the kind of entity findEntities lists (keyed tables).
enum class QelSharedMemType : std::uint8_t { any = 0, tessel = 1 };

}  // namespace QelSharedMem

namespace QelTessel {

enum class QelTesselType : std::uint8_t { keyed = 0 };

// One collection to mount: its name, its declared size (its capacity) and a flag passed through.
struct CollectionInfo {
    Lumo::String name;
    std::uint32_t size = 0;
    bool flag = false;
};

class MountInfo {
  public:
    explicit MountInfo(QelTesselType type) : type_(type) {}
    QelTesselType type() const { return type_; }
    void collectionInfoIs(CollectionInfo const& info) { collections_.push_back(info); }
    std::vector<CollectionInfo> const& collectionInfo() const { return collections_; }

  private:
    QelTesselType type_;
    std::vector<CollectionInfo> collections_;
};

// Per-collection control state kept with the collection: the wiped flag (set when a mount
// found the stored collection unusable and recreated it empty) and a 64-bit scratchpad.
class CollectionControl : public Lumo::Node {
  public:
    char const* typeData() const override { return "QelTessel::CollectionControl"; }
    virtual bool wiped() const = 0;
    virtual void clearWiped() = 0;
    virtual std::uint64_t scratchpad() const = 0;
    virtual void scratchpadIs(std::uint64_t value) = 0;
};

}  // namespace QelTessel

namespace QelSharedMem {

// An entity mounted in shared memory (a keyed table), found by path.
class Entity : public Lumo::Node {
  public:
    Entity(Lumo::String path, Lumo::String typeName) : path_(std::move(path)), typeName_(std::move(typeName)) {}
    char const* typeData() const override { return typeName_.c_str(); }
    Lumo::String const& path() const { return path_; }
    Lumo::String const& typeName() const { return typeName_; }

  private:
    Lumo::String path_;
    Lumo::String typeName_;
};

class EntityManager;

class MountGroup {
  public:
    explicit MountGroup(EntityManager* manager) : manager_(manager) {}
    // Mounts (creating if needed) the entity of `typeName` at `path`. A path holding "..", a NUL
    // or nothing is refused with std::invalid_argument; a type name no factory knows likewise.
    // Mounting a path already mounted with the same type returns at once. A path stored with
    // another type name is recreated empty for the new type and comes up wiped. Must not be
    // called inside a WriteTransaction scope (std::logic_error).
    bool doMount(Lumo::String const& path, Lumo::String const& typeName, QelTessel::MountInfo const& info);
    void doClose() {}

  private:
    EntityManager* manager_;
};

class EntityManager : public Lumo::Node {
  public:
    // The manager for (name, local) of this process, created on first use.
    static Lumo::Ptr<EntityManager> getEntityManager(Lumo::String const& name, bool local);
    char const* typeData() const override { return "QelSharedMem::EntityManager"; }

    Lumo::String const& name() const { return name_; }
    bool local() const { return local_; }
    MountGroup& getMountGroup() { return mountGroup_; }

    // The mounted entity at `path`, or null.
    Lumo::Ptr<Entity> getEntity(Lumo::String const& path) const;
    // Paths of the stored entities (mounted or not, by this or an earlier process) under pathBase,
    // in byte order, each once. The tables of both managers of this name are listed, whichever
    // their local flag (a table stored by one is found through the other); those of other names
    // are not. Mounting still opens this manager's own table at the path.
    std::vector<Lumo::String> findEntities(Lumo::String const& pathBase, QelSharedMemType type) const;

    // The LMDB database that holds this manager's table at `path`: distinct per (name, local, path).
    Lumo::String databaseName(Lumo::String const& path) const;

    // Test seam: flips a byte of the stored metadata of this manager's table at `path`, so the
    // next mount after a restart (closeEnvironment) finds it unreadable.
    void TEST_damageStoredMetadata(Lumo::String const& path) const;

    // Entity factories by type name (the types library registers its tables).
    using Factory =
        std::function<Lumo::Ptr<Entity>(EntityManager&, Lumo::String const& path, QelTessel::MountInfo const& info)>;
    static void entityTypeIs(Lumo::String const& typeName, Factory factory);

    EntityManager(Lumo::String name, bool local);
    ~EntityManager() override;
    // The process's environment (opened on first use).
    Environment& environment() const;
    // Registers a mounted entity (replacing one at the same path); a null entity removes it.
    void entityIs(Lumo::String const& path, Lumo::Ptr<Entity> const& entity);
    // Forgets every mounted entity (closeEnvironment).
    void entityDelAll() { entities_.clear(); }

  private:
    Lumo::String name_;
    bool local_;
    MountGroup mountGroup_;
    std::vector<std::pair<Lumo::String, Lumo::Ptr<Entity>>> entities_;
};

// Groups every write of the environment made while it is alive into one transaction, which
// commits when the outermost scope ends normally and aborts when it ends by an exception.
// Scopes nest; LMDB cannot roll back part of a transaction, so when an inner scope ends by an
// exception, or a write inside fails, the whole transaction is rolled back at the outermost
// end, which then throws StorageError if it ends normally. No mount inside a scope.
class WriteTransaction {
  public:
    WriteTransaction();
    ~WriteTransaction() noexcept(false);
    WriteTransaction(WriteTransaction const&) = delete;
    WriteTransaction& operator=(WriteTransaction const&) = delete;

  private:
    int uncaught_;
    std::shared_ptr<Environment> env_;
};

}  // namespace QelSharedMem

namespace Tessel {

// Base of the typed maps: corruption reporting.
class TesselMapBase {
  public:
    virtual ~TesselMapBase() = default;
    // A lookup or step found a record that failed its checksum: count it, report it on the
    // "Tessel" trace handle (level 1) and, when the map's reads met a damaged record since the
    // last report, remove every record of the map that fails its check, not only those read
    // (each logged as SHM_RECORD_QUARANTINED; inside a WriteTransaction scope when the outermost
    // scope ends). Callers go on as if the record were absent; the next walk of the map goes
    // past it and every other damaged record, and a write of its key stores a fresh record.
    void doCorruptionDetected(Lumo::String const& message) const;
    std::uint64_t corruptionsDetected() const { return corruptions_; }

  protected:
    // Removes the map's damaged records when its reads found one since the last call.
    virtual void quarantineDamaged() const {}

  private:
    mutable std::uint64_t corruptions_ = 0;
};

}  // namespace Tessel

#pragma GCC visibility pop
