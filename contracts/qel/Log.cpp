#include "contracts/qel/Log.h"

#include <cstdarg>
#include <cstdio>

namespace Qel {
namespace {
std::vector<LogRecord>& records() {
    static std::vector<LogRecord> r;
    return r;
}
}  // namespace

LogHandle::LogHandle(LogDescriptor const& descriptor, Lumo::Duration minInterval, double severity, std::uint32_t burst,
                     std::uint32_t flags)
    : descriptor_(descriptor), minInterval_(minInterval), severity_(severity), burst_(burst), flags_(flags) {}

namespace detail {

void logFormatted(LogDescriptor const* descriptor, ...) {
    va_list ap;
    va_start(ap, descriptor);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, descriptor->format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, descriptor->format, ap);
    va_end(ap);
    std::fprintf(stderr, "%%%s: %s\n", descriptor->name, text.c_str());
    records().push_back({descriptor->name, std::move(text)});
}

}  // namespace detail

std::vector<LogRecord> const& loggedMessages() { return records(); }
void loggedMessagesDelAll() { records().clear(); }

}  // namespace Qel
