#include "agent/commands/Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace VornTcamAgent {

namespace {

// Writes and flushes; the errno of the failure, or 0.
int writeAll(std::FILE* stream, std::string_view text) noexcept {
    errno = 0;
    bool const written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    int const writeError = written ? 0 : (errno != 0 ? errno : EIO);
    errno = 0;
    if (std::fflush(stream) != 0 && writeError == 0) return errno != 0 ? errno : EIO;
    std::clearerr(stream);
    return writeError;
}

}  // namespace

void printMessage(std::string_view text) noexcept { (void)writeAll(stderr, text); }

std::optional<std::string> printResult(std::string_view text) {
    int const error = writeAll(stdout, text);
    if (error == 0) return std::nullopt;
    return std::string("cannot write to stdout: ") + std::strerror(error);
}

}  // namespace VornTcamAgent
