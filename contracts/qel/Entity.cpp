#include "contracts/qel/Entity.h"

#include <map>

namespace Qel {
namespace {
std::map<std::string, Lumo::Ptr<Lumo::Node>>& singletons() {
    static std::map<std::string, Lumo::Ptr<Lumo::Node>> s;
    return s;
}
}  // namespace

Lumo::Ptr<Lumo::Node> Entity::singletonExists(std::string const& typeName) {
    auto& s = singletons();
    auto it = s.find(typeName);
    return it == s.end() ? nullptr : it->second;
}

Lumo::Ptr<Lumo::Node> Entity::singletonIs(std::string const& typeName, Lumo::Ptr<Lumo::Node> const& node) {
    singletons()[typeName] = node;
    return node;
}

void Entity::singletonDel(std::string const& typeName) { singletons().erase(typeName); }

void Entity::singletonDelAll() {
    // Move out first: destructors of singletons may look the registry up.
    auto old = std::move(singletons());
    singletons().clear();
    old.clear();
}

}  // namespace Qel
