#include "contracts/asic/GenId.h"

namespace Asic {

namespace {
constexpr char kMajorIdField[] = "majorId";
}

// The major id is kept in the state database under the entity's path, so it survives the
// process; a GenId never written reads 0.
std::uint64_t GenId::majorId() const { return manager()->value(path(), kMajorIdField).value_or(0); }

void GenId::majorIdInc(std::uint64_t amount) {
    if (amount == 0) return;
    manager()->valueIs(path(), kMajorIdField, majorId() + amount);
    notify(kMajorIdAttr);
}

}  // namespace Asic
