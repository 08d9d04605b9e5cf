#include "contracts/asic/GenId.h"

namespace Asic {

namespace {
constexpr char kMajorIdField[] = "majorId";

// Makes getEntity rebuild a stored GenId.
[[maybe_unused]] bool const registered =
    (Ledra::EntityManager::entityTypeIs(GenId::kTypeName,
                                        [](Ledra::EntityManager* manager, Lumo::String const& path)
                                            -> Lumo::Ptr<Ledra::Entity> { return Lumo::make<GenId>(manager, path); }),
     true);
}  // namespace

GenId::~GenId() = default;

// The major id is kept in the state database under the entity's path, so it survives the
// process; a GenId never written reads 0.
std::uint64_t GenId::majorId() const { return manager()->value(path(), kMajorIdField).value_or(0); }

void GenId::majorIdInc(std::uint64_t amount) {
    if (amount == 0) return;
    manager()->valueIs(path(), kMajorIdField, majorId() + amount);
    notify(kMajorIdAttr);
}

}  // namespace Asic
