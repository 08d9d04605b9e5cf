#pragma once
// Operator-visible log messages: a descriptor (name, printf-style format, explanation) and
// a handle made once per module. A raised message is printed to stderr and recorded so that
// tests and the agent can read what was raised.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "contracts/lumo/String.h"

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

// Raises a message: formats it with the handle's printf format and the arguments.
void log(LogHandle const& handle, ...);

// Every message raised in this process, oldest first.
std::vector<LogRecord> const& loggedMessages();
void loggedMessagesDelAll();

}  // namespace Qel
