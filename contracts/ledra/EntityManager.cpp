#include "contracts/ledra/EntityManager.h"

#include <fmt/format.h>

#include <string>

#include "contracts/lumo/Exception.h"
#include "contracts/qel/Trace.h"
#include "contracts/shm/Crc32c.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/ReadOnlyView.h"

namespace Ledra {

namespace {

// The state database lives in the shared-memory environment's "__ledra" database. Its keys
// start with a tag, then the manager's key (so managers of another name or local flag never
// share state), then the path:
//   'E' <manager> <path>                 -> the entity's type name
//   'V' <manager> <path> '\0' <field>    -> an unsigned 64-bit value, 8 bytes little-endian,
//                                           then the CRC-32C of key and value, 4 bytes little-endian
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

// The entity types registered with entityTypeIs (each by the component that defines it).
std::map<Lumo::String, EntityManager::Factory>& factories() {
    static auto* const f = new std::map<Lumo::String, EntityManager::Factory>;
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

constexpr std::size_t kValueBytes = 8;
constexpr std::size_t kStoredValueBytes = kValueBytes + 4;

std::uint32_t valueChecksum(std::string const& key, char const* valueBytes) {
    std::uint32_t const crc = QelSharedMem::crc32c(0, key.data(), key.size());
    return QelSharedMem::crc32c(crc, valueBytes, kValueBytes);
}

std::string encodeValue(std::string const& key, std::uint64_t value) {
    std::string bytes(kStoredValueBytes, '\0');
    for (std::size_t i = 0; i < kValueBytes; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    std::uint32_t const crc = valueChecksum(key, bytes.data());
    for (std::size_t i = 0; i < 4; ++i) bytes[kValueBytes + i] = static_cast<char>(crc >> (8 * i));
    return bytes;
}

// The value, or none when absent. A value that fails its length or checksum check is damaged:
// it is reported and reads as absent (its owner writes it again), like a damaged record of a
// shared-memory table.
std::optional<std::uint64_t> decodeValue(std::optional<std::string> const& bytes, std::string const& key,
                                         Lumo::String const& path, Lumo::String const& field) {
    if (!bytes) return std::nullopt;
    bool intact = bytes->size() == kStoredValueBytes;
    if (intact) {
        std::uint32_t stored = 0;
        for (int i = 3; i >= 0; --i) stored = stored << 8 | static_cast<unsigned char>((*bytes)[kValueBytes + i]);
        intact = stored == valueChecksum(key, bytes->data());
    }
    if (!intact) {
        QEL_TRACE_AT(QelSharedMem::tesselTrace(), 1, "corruption detected: state-database value {} {} is damaged", path,
                     field);
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (int i = kValueBytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>((*bytes)[i]);
    return v;
}

}  // namespace

std::optional<std::uint64_t> EntityManager::value(Lumo::String const& path, Lumo::String const& field) const {
    QelSharedMem::Environment& env = environment();
    std::string const key = valueKey(name_, local_, path, field);
    std::optional<std::uint64_t> const v = decodeValue(env.get(env.ledraDbi(), key), key, path, field);
    if (!v && env.get(env.ledraDbi(), key)) env.del(env.ledraDbi(), key);  // drop the damaged value
    return v;
}

std::optional<std::uint64_t> EntityManager::storedValue(QelSharedMem::ReadOnlyView const& view,
                                                        Lumo::String const& name, bool local, Lumo::String const& path,
                                                        Lumo::String const& field) {
    std::string const key = valueKey(name, local, path, field);
    return decodeValue(view.stateDatabaseValue(key), key, path, field);
}

void EntityManager::valueIs(Lumo::String const& path, Lumo::String const& field, std::uint64_t value) {
    QelSharedMem::Environment& env = environment();
    std::string const key = valueKey(name_, local_, path, field);
    env.put(env.ledraDbi(), key, encodeValue(key, value));
}

void EntityManager::valueDel(Lumo::String const& path, Lumo::String const& field) {
    QelSharedMem::Environment& env = environment();
    env.del(env.ledraDbi(), valueKey(name_, local_, path, field));
}

void EntityManager::entityTypeIs(Lumo::String const& typeName, Factory factory) {
    factories()[typeName] = std::move(factory);
}

}  // namespace Ledra
