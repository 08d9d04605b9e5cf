#include "agent/commands/CompletionWriter.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "agent/commands/Output.h"
#include "agent/view/AgentSetup.h"
#include "agent/view/EntryJson.h"

namespace VornTcamAgent {

CompletionWriter::CompletionWriter(int fd) : fd_(fd) {
    int const flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
    if (flags == -1) throw BadInput(fmt::format("--completions-fd: {} is not an open file descriptor", fd));
    if ((flags & O_ACCMODE) == O_RDONLY)
        throw BadInput(fmt::format("--completions-fd: descriptor {} is open for reading only", fd));
    // A reader that goes away must not kill the agent: the write then fails with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
}

std::string CompletionWriter::line(Completion const& c) {
    nlohmann::json const entry = std::visit([](auto const& e) { return entryJson(e); }, c.entry);
    nlohmann::json const j{
        {"table", toString(c.kind)}, {"unit", c.unitId}, {"key", c.key}, {"ok", c.ok}, {"entry", entry},
    };
    return j.dump();
}

void CompletionWriter::operator()(Completion const& completion) {
    if (!healthy_) return;
    std::string const text = line(completion) + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n = ::write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            healthy_ = false;
            printMessage(fmt::format("tcam-agent: writing completions to fd {} failed; no more are written\n", fd_));
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace VornTcamAgent
