#pragma once
// Where tcam-agent prints: results on stdout, messages on stderr. Nothing here throws (but for
// running out of memory), and with
// SIGPIPE ignored (main does) nothing raises a signal either, so that what the program prints
// can never turn its exit status into a crash:
// - a message that cannot be written (stderr full, closed, a reader gone) is dropped;
// - a result that cannot be written is reported to the caller, which fails the command.
#include <optional>
#include <string>
#include <string_view>

namespace VornTcamAgent {

// Writes `text` to stderr and flushes it; a failure is ignored.
void printMessage(std::string_view text) noexcept;

// Writes `text` to stdout and flushes it. Nothing when all of it was written, else what went
// wrong ("cannot write to stdout: No space left on device").
[[nodiscard]] std::optional<std::string> printResult(std::string_view text);

}  // namespace VornTcamAgent
