#include "agent/commands/Progress.h"

#include <fmt/format.h>
#include <unistd.h>

#include "agent/commands/Output.h"

namespace VornTcamAgent {

namespace {
constexpr auto kInterval = std::chrono::milliseconds(200);
// Checking the clock on every answer would cost more than the answer itself.
constexpr std::uint64_t kClockCheckEvery = 256;
}  // namespace

Progress::Progress(std::uint64_t total)
    : enabled_(::isatty(STDERR_FILENO) == 1), total_(total), start_(Clock::now()), nextUpdate_(start_ + kInterval) {}

void Progress::answered() {
    ++answered_;
    if (!enabled_ || answered_ % kClockCheckEvery != 0) return;
    auto const now = Clock::now();
    if (now < nextUpdate_) return;
    nextUpdate_ = now + kInterval;
    double const seconds = std::chrono::duration<double>(now - start_).count();
    printMessage(fmt::format("\r  {} of {} requests answered ({:.0f}%, {:.0f}/s)   ", answered_, total_,
                             total_ ? 100.0 * static_cast<double>(answered_) / static_cast<double>(total_) : 100.0,
                             seconds > 0 ? static_cast<double>(answered_) / seconds : 0.0));
    shown_ = true;
}

void Progress::finish() {
    if (!shown_) return;
    printMessage("\r\033[K");
    shown_ = false;
}

}  // namespace VornTcamAgent
