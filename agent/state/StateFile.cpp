#include "agent/state/StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

namespace {

// Closes the descriptor on every way out.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

char const* describeType(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string sizeText(std::size_t bytes) {
    return bytes % (1u << 20) == 0 ? fmt::format("{} MiB", bytes >> 20) : fmt::format("{} bytes", bytes);
}

}  // namespace

std::string readStateFile(std::string const& path, std::size_t maxBytes) {
    auto fail = [&path](std::string problem) { throw DesiredStateError(path, 0, "", std::move(problem)); };
    // O_NONBLOCK: opening a FIFO without a writer (or a device) returns at once; the type is
    // checked before anything is read.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) fail(fmt::format("cannot open: {}", std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(fmt::format("cannot read: {}", std::strerror(errno)));
    if (!S_ISREG(st.st_mode)) fail(fmt::format("{}, not a regular file", describeType(st.st_mode)));
    if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > maxBytes)
        fail(fmt::format("the file has {} bytes, more than the {} a desired state may have", st.st_size,
                         sizeText(maxBytes)));

    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t used = 0;
    for (;;) {
        if (used == text.size()) {
            if (text.size() > maxBytes) break;
            text.resize(std::min(maxBytes + 1, std::max<std::size_t>(text.size() * 2, 1 << 16)));
        }
        ssize_t const n = ::read(fd.get(), text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(fmt::format("cannot read: {}", std::strerror(errno)));
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used > maxBytes)
        fail(fmt::format("the file grew beyond the {} a desired state may have while it was read", sizeText(maxBytes)));
    text.resize(used);
    return text;
}

}  // namespace VornTcamAgent
