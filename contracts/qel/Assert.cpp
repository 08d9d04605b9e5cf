#include "contracts/qel/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace Qel {
void assertionFailed(char const* text, char const* message, char const* file, int line, char const* function) {
    std::fprintf(stderr, "assertion failed: %s%s%s (%s:%d in %s)\n", text, message ? ": " : "", message ? message : "",
                 file, line, function);
    std::fflush(stderr);
    std::abort();
}
}  // namespace Qel
