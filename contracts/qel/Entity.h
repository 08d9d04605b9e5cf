#pragma once
// Process-wide singletons of the object framework, registered by type name.
#include <string>

#include "contracts/lumo/Node.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {

class Entity {
  public:
    // The singleton registered under `typeName`, or null.
    static Lumo::Ptr<Lumo::Node> singletonExists(std::string const& typeName);
    // Registers `node` as the singleton of `typeName` (replacing any earlier one) and returns it.
    static Lumo::Ptr<Lumo::Node> singletonIs(std::string const& typeName, Lumo::Ptr<Lumo::Node> const& node);
    static void singletonDel(std::string const& typeName);
    // Drops every singleton; for tests that model a process restart.
    static void singletonDelAll();

    template <typename T>
    static Lumo::Ptr<T> singleton(std::string const& typeName) {
        return Lumo::ptr_cast<T>(singletonExists(typeName));
    }
};

}  // namespace Qel

#pragma GCC visibility pop
