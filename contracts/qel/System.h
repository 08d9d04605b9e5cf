#pragma once
#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares
// for libvorn-tcammgr (the header is not installed).
#pragma GCC visibility push(default)

namespace Qel {
struct System {
    // The current UTC time.
    static Lumo::Time currentTimeUtc();
};
}  // namespace Qel

#pragma GCC visibility pop
