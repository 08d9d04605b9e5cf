#include "contracts/qel/System.h"

#include <chrono>

namespace Qel {
Lumo::Time System::currentTimeUtc() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return Lumo::Time{std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()};
}
}  // namespace Qel
