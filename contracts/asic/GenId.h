#pragma once
// Asic::GenId: a state-database entity with a persistent major id (a generation counter).
// The type registers itself with Ledra::EntityManager::entityTypeIs when the program (or
// library) that uses it is loaded: its out-of-line destructor keeps GenId.cpp, and with it the
// registration, in every program that creates or casts to a GenId.
#include <cstdint>

#include "contracts/ledra/EntityManager.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares
// for libvorn-tcammgr (the header is not installed).
#pragma GCC visibility push(default)

namespace Asic {

class GenId : public Ledra::Entity {
  public:
    static constexpr char const* kTypeName = "Asic::GenId";
    static constexpr Lumo::AttributeId kMajorIdAttr = 1;

    GenId(Ledra::EntityManager* manager, Lumo::String path) : Ledra::Entity(manager, std::move(path)) {}
    ~GenId() override;
    char const* typeData() const override { return kTypeName; }

    std::uint64_t majorId() const;
    // Raises the major id by `amount` and persists it.
    void majorIdInc(std::uint64_t amount);
};

}  // namespace Asic

#pragma GCC visibility pop
