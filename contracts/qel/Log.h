#pragma once
// Operator-visible log messages: a descriptor (name, printf-style format, explanation) and
// a handle made once per module. A raised message is printed to stderr and recorded so that
// tests and the agent can read what was raised.
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "contracts/lumo/String.h"

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {

struct LogDescriptor {
    char const* name;
    char const* format;
    char const* explanation;
};

class LogHandle {
  public:
    LogHandle(LogDescriptor const& descriptor, Lumo::Duration minInterval, double severity, std::uint32_t burst,
              std::uint32_t flags);
    LogDescriptor const& descriptor() const { return descriptor_; }
    // The rate limits the log facility applies to the message (kept; not enforced here).
    Lumo::Duration minInterval() const { return minInterval_; }
    double severity() const { return severity_; }
    std::uint32_t burst() const { return burst_; }
    std::uint32_t flags() const { return flags_; }

  private:
    LogDescriptor descriptor_;
    Lumo::Duration minInterval_;
    double severity_;
    std::uint32_t burst_;
    std::uint32_t flags_;
};

struct LogRecord {
    std::string name;
    std::string text;
};

namespace detail {
// Formats the descriptor's printf format with the arguments that follow and records the text.
// The last named parameter is a pointer, as va_start requires a parameter that is not a reference.
void logFormatted(LogDescriptor const* descriptor, ...);
}  // namespace detail

// Raises a message: formats it with the handle's printf format and the arguments, which must be
// what printf takes (numbers, enums, C strings and other pointers).
template <typename... Args>
void log(LogHandle const& handle, Args... args) {
    static_assert((... && (std::is_arithmetic_v<Args> || std::is_enum_v<Args> || std::is_pointer_v<Args>)),
                  "Qel::log takes printf arguments: numbers, enums and pointers");
    detail::logFormatted(&handle.descriptor(), args...);
}

// Every message raised in this process, oldest first.
std::vector<LogRecord> const& loggedMessages();
void loggedMessagesDelAll();

}  // namespace Qel

#pragma GCC visibility pop
