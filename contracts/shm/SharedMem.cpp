#include "contracts/shm/SharedMem.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/StoreFiles.h"

namespace QelSharedMem {

namespace {

constexpr char kTablePrefix[] = "tbl:";

// Everything the service keeps per process. Never destroyed: entities held in other static
// objects may outlive any destruction order we could choose, and the stored state needs no
// cleanup at exit (a dead process's reader slot is reclaimed by the next opener).
struct ProcessState {
    std::optional<Lumo::String> ns;
    std::shared_ptr<Environment> env;
    std::map<std::pair<Lumo::String, bool>, Lumo::Ptr<EntityManager>> managers;
    std::map<Lumo::String, EntityManager::Factory, std::less<>> factories;
    NamespaceOptions options;
};

ProcessState& state() {
    static ProcessState* const s = new ProcessState;
    return *s;
}

void forgetEntities() {
    for (auto& [key, manager] : state().managers) manager->entityDelAll();
}

}  // namespace

Qel::TraceHandle& tesselTrace() {
    static Qel::TraceHandle* const handle = new Qel::TraceHandle("Tessel");
    return *handle;
}

// ---------------------------------------------------------------- namespaces

void namespaceIs(Lumo::String const& ns, std::optional<NamespaceOptions> options) {
    validateNamespace(ns);
    auto& s = state();
    if (s.ns == ns && (!options || (s.options.mapSize == options->mapSize && s.options.faults == options->faults)))
        return;
    closeEnvironment();
    s.options = options ? std::move(*options) : NamespaceOptions{};
    s.ns = ns;
}

Lumo::String const& namespaceName() {
    auto& s = state();
    if (!s.ns) {
        char const* fromEnv = std::getenv("VORN_SHM_NAMESPACE");
        Lumo::String ns = fromEnv && *fromEnv ? fromEnv : "default";
        validateNamespace(ns);
        s.ns = std::move(ns);
    }
    return *s.ns;
}

Lumo::String environmentPath(Lumo::String const& ns) { return namespaceFiles(ns).data; }

void removeNamespace(Lumo::String const& ns) {
    NamespaceLock const lock(ns);  // refuses while another agent holds the namespace
    auto& s = state();
    NamespaceFiles const files = namespaceFiles(ns);
    if (s.env && s.env->path() == files.data) closeEnvironment();
    for (Lumo::String const& file : existingNamespaceFiles(ns))
        if (file != files.agentLock) removeStoreFile(file);
    removeStoreFile(files.agentLock);  // last, while still held
}

void closeEnvironment() {
    auto& s = state();
    forgetEntities();
    if (!s.env) return;
    if (s.env->ownedByThisProcess()) {
        s.env->close();
    } else {
        s.env->abandon();
    }
    s.env.reset();
}

std::shared_ptr<Environment> const& processEnvironment() {
    auto& s = state();
    if (s.env && !s.env->ownedByThisProcess()) {
        // A forked child: the parent's handle must not be used here.
        forgetEntities();
        s.env->abandon();
        s.env.reset();
    }
    if (!s.env)
        s.env = Environment::open(namespaceName(), s.options.mapSize ? s.options.mapSize : kMapSize, s.options.faults);
    return s.env;
}

// ---------------------------------------------------------------- entity managers

EntityManager::EntityManager(Lumo::String name, bool local)
    : name_(std::move(name)), local_(local), mountGroup_(this) {}

EntityManager::~EntityManager() = default;

Lumo::Ptr<EntityManager> EntityManager::getEntityManager(Lumo::String const& name, bool local) {
    auto& managers = state().managers;
    auto it = managers.find({name, local});
    if (it == managers.end())
        it = managers.emplace(std::pair{name, local}, Lumo::make<EntityManager>(name, local)).first;
    return it->second;
}

Environment& EntityManager::environment() const { return *processEnvironment(); }

Lumo::String EntityManager::databaseName(Lumo::String const& path) const {
    return kTablePrefix + managerKey(name_, local_) + path;
}

Lumo::Ptr<Entity> EntityManager::getEntity(Lumo::String const& path) const {
    for (auto const& [p, e] : entities_)
        if (p == path) return e;
    return nullptr;
}

void EntityManager::entityIs(Lumo::String const& path, Lumo::Ptr<Entity> const& entity) {
    for (auto it = entities_.begin(); it != entities_.end(); ++it) {
        if (it->first != path) continue;
        if (entity) {
            it->second = entity;
        } else {
            entities_.erase(it);
        }
        return;
    }
    if (entity) entities_.emplace_back(path, entity);
}

std::vector<Lumo::String> EntityManager::findEntities(Lumo::String const& pathBase, QelSharedMemType) const {
    // Every stored table has a metadata record named after its database; the database names of
    // one (name, local) manager share a prefix, so its paths under a base are one range of the
    // metadata. Both local flags of the name are listed: a table one of them keeps must not be
    // hidden from a caller that looks through the other.
    Environment& env = environment();
    std::set<Lumo::String> paths;
    for (bool const local : {local_, !local_}) {
        std::string const prefix = kTablePrefix + managerKey(name_, local);
        for (std::string& key : env.keysWithPrefix(env.metaDbi(), prefix + pathBase))
            paths.insert(key.substr(prefix.size()));
    }
    return {paths.begin(), paths.end()};
}

void EntityManager::entityTypeIs(Lumo::String const& typeName, Factory factory) {
    state().factories[typeName] = std::move(factory);
}

void EntityManager::TEST_damageStoredMetadata(Lumo::String const& path) const {
    Environment& env = environment();
    std::string const key = databaseName(path);
    std::optional<std::string> bytes = env.get(env.metaDbi(), key);
    if (!bytes || bytes->empty()) throw std::invalid_argument("no stored table to damage at " + path);
    (*bytes)[bytes->size() / 2] ^= 0x5A;
    env.put(env.metaDbi(), key, *bytes);
}

bool MountGroup::doMount(Lumo::String const& path, Lumo::String const& typeName, QelTessel::MountInfo const& info) {
    validatePath(path);
    auto& s = state();
    auto const factory = s.factories.find(typeName);
    if (factory == s.factories.end())
        throw std::invalid_argument("no shared-memory table type \"" + typeName + "\" is registered");
    if (auto existing = manager_->getEntity(path); existing && existing->typeName() == typeName) return true;

    Lumo::Ptr<Entity> entity = factory->second(*manager_, path, info);
    if (!entity) return false;
    manager_->entityIs(path, entity);
    return true;
}

// ---------------------------------------------------------------- transactions

WriteTransaction::WriteTransaction() : uncaught_(std::uncaught_exceptions()), env_(processEnvironment()) {
    env_->scopeBegin();
}

WriteTransaction::~WriteTransaction() noexcept(false) { env_->scopeEnd(std::uncaught_exceptions() > uncaught_); }

}  // namespace QelSharedMem

namespace Tessel {

void TesselMapBase::doCorruptionDetected(Lumo::String const& message) const {
    ++corruptions_;
    QEL_TRACE_AT(QelSharedMem::tesselTrace(), 1, "corruption detected: {}", message);
    quarantineDamaged();
}

}  // namespace Tessel
