#pragma once
// Lumo::String, the framework string, and Lumo::Duration / Lumo::Time.
#include <cstdint>
#include <string>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Lumo {
using String = std::string;

// A span of time in seconds.
struct Duration {
    double seconds = 0.0;
    friend bool operator==(Duration const&, Duration const&) = default;
};

// A point in UTC time, in nanoseconds since the Unix epoch.
struct Time {
    std::int64_t nanosecondsSinceEpoch = 0;
    friend auto operator<=>(Time const&, Time const&) = default;
};
}  // namespace Lumo

#pragma GCC visibility pop
