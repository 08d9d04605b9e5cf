#pragma once
// Ledra: the state database. Entities live under paths and persist in the shared-memory
// namespace of the process, so that the next agent run finds them.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "contracts/lumo/Publisher.h"
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace QelSharedMem {
class Environment;
class ReadOnlyView;
}  // namespace QelSharedMem

namespace Ledra {

class EntityManager;

// A state-database entity. Derived types keep their state through the manager's value store.
class Entity : public Lumo::PublishingNode {
  public:
    Entity(EntityManager* manager, Lumo::String path) : manager_(manager), path_(std::move(path)) {}
    char const* typeData() const override { return "Ledra::Entity"; }
    Lumo::String const& path() const { return path_; }
    EntityManager* manager() const { return manager_; }

  private:
    EntityManager* manager_;
    Lumo::String path_;
};

class EntityManager : public Lumo::Node {
  public:
    // A manager named `name` over the process's shared-memory namespace.
    EntityManager(Lumo::String name, bool local);
    ~EntityManager() override;
    char const* typeData() const override { return "Ledra::EntityManager"; }

    Lumo::String const& name() const { return name_; }
    bool local() const { return local_; }

    // The entity at `path`, or null. An entity persisted by an earlier run is rebuilt from
    // its stored type.
    Lumo::Ptr<Entity> getEntity(Lumo::String const& path);

    // Creates (or returns) the entity of type T at `path` and records its type persistently.
    template <typename T>
    Lumo::Ptr<T> entityIs(Lumo::String const& path) {
        if (auto e = getEntity(path)) return Lumo::ptr_cast<T>(e);
        Lumo::Ptr<T> e = Lumo::make<T>(this, path);
        registerEntity(path, T::kTypeName, e);
        return e;
    }

    // Persistent 64-bit values kept by entities under (path, field).
    std::optional<std::uint64_t> value(Lumo::String const& path, Lumo::String const& field) const;
    void valueIs(Lumo::String const& path, Lumo::String const& field, std::uint64_t value);
    void valueDel(Lumo::String const& path, Lumo::String const& field);
    // The value (path, field) of the manager (name, local) as a read-only view of a namespace
    // holds it, without opening the process's environment. Empty when not stored.
    static std::optional<std::uint64_t> storedValue(QelSharedMem::ReadOnlyView const& view, Lumo::String const& name,
                                                    bool local, Lumo::String const& path, Lumo::String const& field);

    // Entity types known to getEntity: type name to factory.
    using Factory = std::function<Lumo::Ptr<Entity>(EntityManager*, Lumo::String const&)>;
    static void entityTypeIs(Lumo::String const& typeName, Factory factory);

  private:
    void registerEntity(Lumo::String const& path, char const* typeName, Lumo::Ptr<Entity> const& entity);

    Lumo::String name_;
    bool local_;
    std::map<Lumo::String, Lumo::Ptr<Entity>> entities_;
};

}  // namespace Ledra

#pragma GCC visibility pop
