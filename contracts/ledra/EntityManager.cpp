#include "contracts/ledra/EntityManager.h"

#include <fmt/format.h>

#include <string>

#include "contracts/asic/GenId.h"
#include "contracts/lumo/Exception.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/ReadOnlyView.h"

namespace Ledra {

namespace {

// The state database lives in the shared-memory environment's "__ledra" database. Its keys
// start with a tag, then the manager's key (so managers of another name or local flag never
// share state), then the path:
//   'E' <manager> <path>                 -> the entity's type name
//   'V' <manager> <path> '\0' <field>    -> an unsigned 64-bit value, 8 bytes little-endian
std::string entityKey(Lumo::String const& name, bool local, Lumo::String const& path) {
    QelSharedMem::validatePath(path);
    return 'E' + QelSharedMem::managerKey(name, local) + path;
}

std::string valueKey(Lumo::String const& name, bool local, Lumo::String const& path, Lumo::String const& field) {
    QelSharedMem::validatePath(path);
    if (field.find('\0') != Lumo::String::npos) throw std::invalid_argument("state-database field holds a NUL byte");
    std::string key = 'V' + QelSharedMem::managerKey(name, local) + path;
    key += '\0';
    key += field;
    return key;
}

// The stock entity types, and those registered with entityTypeIs.
std::map<Lumo::String, EntityManager::Factory>& factories() {
    static auto* const f = new std::map<Lumo::String, EntityManager::Factory>{
        {Asic::GenId::kTypeName,
         [](EntityManager* manager, Lumo::String const& path) -> Lumo::Ptr<Entity> {
             return Lumo::make<Asic::GenId>(manager, path);
         }},
    };
    return *f;
}

QelSharedMem::Environment& environment() { return *QelSharedMem::processEnvironment(); }

}  // namespace

EntityManager::EntityManager(Lumo::String name, bool local) : name_(std::move(name)), local_(local) {}

EntityManager::~EntityManager() = default;

Lumo::Ptr<Entity> EntityManager::getEntity(Lumo::String const& path) {
    QelSharedMem::Environment& env = environment();
    std::optional<std::string> const type = env.get(env.ledraDbi(), entityKey(name_, local_, path));
    auto const cached = entities_.find(path);
    if (!type) {
        // Not stored (any more): another namespace, or removed by another process.
        if (cached != entities_.end()) entities_.erase(cached);
        return nullptr;
    }
    if (cached != entities_.end() && *type == cached->second->typeData()) return cached->second;
    auto const factory = factories().find(*type);
    if (factory == factories().end()) return nullptr;
    Lumo::Ptr<Entity> entity = factory->second(this, path);
    entities_[path] = entity;
    return entity;
}

void EntityManager::registerEntity(Lumo::String const& path, char const* typeName, Lumo::Ptr<Entity> const& entity) {
    QelSharedMem::Environment& env = environment();
    env.put(env.ledraDbi(), entityKey(name_, local_, path), typeName);
    entities_[path] = entity;
}

namespace {

std::optional<std::uint64_t> decodeValue(std::optional<std::string> const& bytes, Lumo::String const& path,
                                         Lumo::String const& field) {
    if (!bytes) return std::nullopt;
    if (bytes->size() != 8)
        throw Lumo::CorruptionDetectedException(fmt::format("state-database value {} {} is damaged", path, field));
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>((*bytes)[i]);
    return v;
}

}  // namespace

std::optional<std::uint64_t> EntityManager::value(Lumo::String const& path, Lumo::String const& field) const {
    QelSharedMem::Environment& env = environment();
    return decodeValue(env.get(env.ledraDbi(), valueKey(name_, local_, path, field)), path, field);
}

std::optional<std::uint64_t> EntityManager::storedValue(QelSharedMem::ReadOnlyView const& view,
                                                        Lumo::String const& name, bool local,
                                                        Lumo::String const& path, Lumo::String const& field) {
    return decodeValue(view.stateDatabaseValue(valueKey(name, local, path, field)), path, field);
}

void EntityManager::valueIs(Lumo::String const& path, Lumo::String const& field, std::uint64_t value) {
    char bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    QelSharedMem::Environment& env = environment();
    env.put(env.ledraDbi(), valueKey(name_, local_, path, field), std::string_view(bytes, sizeof(bytes)));
}

void EntityManager::valueDel(Lumo::String const& path, Lumo::String const& field) {
    QelSharedMem::Environment& env = environment();
    env.del(env.ledraDbi(), valueKey(name_, local_, path, field));
}

void EntityManager::entityTypeIs(Lumo::String const& typeName, Factory factory) {
    factories()[typeName] = std::move(factory);
}

}  // namespace Ledra
