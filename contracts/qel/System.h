#pragma once
#include "contracts/lumo/String.h"

namespace Qel {
struct System {
    // The current UTC time.
    static Lumo::Time currentTimeUtc();
};
}  // namespace Qel
