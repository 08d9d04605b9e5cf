#include "agent/commands/AuditFile.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "agent/state/EchoText.h"
#include "agent/view/AgentSetup.h"

namespace VornTcamAgent {

namespace {

// Flags that reach a directory without reading it and without following a link.
constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Flags that open the file for appending without following a link or blocking on a FIFO.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

char const* fileType(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "not a regular file";
}

}  // namespace

AuditFile::AuditFile(std::string option, std::string path) : option_(std::move(option)), path_(std::move(path)) {
    if (path_.empty()) refuse("the file name is empty");
    if (path_.back() == '/') refuse("it names a directory");
    std::size_t const lastSlash = path_.rfind('/');
    name_ = lastSlash == std::string::npos ? path_ : path_.substr(lastSlash + 1);
    if (name_ == "." || name_ == "..") refuse("it names a directory");

    std::string_view dirs =
        lastSlash == std::string::npos ? std::string_view{} : std::string_view(path_).substr(0, lastSlash + 1);
    directory_ = QelSharedMem::FileDescriptor(::open(dirs.empty() || dirs.front() != '/' ? "." : "/", kDirectoryFlags));
    if (!directory_) refuse(fmt::format("cannot open its first directory: {}", std::strerror(errno)));
    std::string walked = dirs.empty() || dirs.front() != '/' ? "" : "/";
    while (!dirs.empty()) {
        std::size_t const slash = dirs.find('/');
        std::string const part(dirs.substr(0, slash));
        dirs = slash == std::string_view::npos ? std::string_view{} : dirs.substr(slash + 1);
        if (part.empty()) continue;
        walked += part + "/";
        int const next = ::openat(directory_.get(), part.c_str(), kDirectoryFlags);
        if (next < 0) {
            int const error = errno;
            if (error == ELOOP || error == ENOTDIR) {
                struct stat st {};
                bool const link =
                    ::fstatat(directory_.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
                refuse(fmt::format("{} is {}: refused", echoText(walked, kEchoNameBytes),
                                   link ? "a symbolic link" : "not a directory"));
            }
            refuse(fmt::format("cannot enter {}: {}", echoText(walked, kEchoNameBytes), std::strerror(error)));
        }
        directory_ = QelSharedMem::FileDescriptor(next);
    }
    checkFile(-1);
}

void AuditFile::refuse(std::string const& problem) const {
    throw BadInput(fmt::format("{}: {}: {}", option_, echoText(path_, kEchoNameBytes), problem));
}

void AuditFile::checkFile(int fd) const {
    struct stat st {};
    int const rc = fd >= 0 ? ::fstat(fd, &st) : ::fstatat(directory_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    if (rc != 0) {
        if (fd < 0 && errno == ENOENT) return;  // created by open()
        refuse(fmt::format("cannot look at it: {}", std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) refuse(fmt::format("it is {}, not a regular file: refused", fileType(st.st_mode)));
    if (st.st_uid != ::geteuid())
        refuse(fmt::format("it belongs to another user (uid {}): refused", static_cast<unsigned long>(st.st_uid)));
}

void AuditFile::open() {
    if (file_) return;
    int fd = ::openat(directory_.get(), name_.c_str(), kAppendFlags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        file_ = QelSharedMem::FileDescriptor(fd);
        // Private whatever the umask; a file we just created is ours.
        if (::fchmod(fd, 0600) != 0) refuse(fmt::format("cannot set its mode: {}", std::strerror(errno)));
        return;
    }
    if (errno != EEXIST) refuse(fmt::format("cannot create it: {}", std::strerror(errno)));
    fd = ::openat(directory_.get(), name_.c_str(), kAppendFlags);
    if (fd < 0) {
        int const error = errno;
        if (error == ELOOP) refuse("it is a symbolic link: refused");
        if (error == ENXIO) refuse("it is a FIFO, not a regular file: refused");  // no reader: O_NONBLOCK says so
        refuse(fmt::format("cannot open it: {}", std::strerror(error)));
    }
    QelSharedMem::FileDescriptor opened(fd);
    checkFile(fd);
    file_ = std::move(opened);
}

void AuditFile::append(std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n = ::write(file_.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw std::runtime_error(fmt::format("{} {}: write failed: {}", option_, echoText(path_, kEchoNameBytes),
                                                 std::strerror(n < 0 ? errno : EIO)));
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(file_.get()) != 0 && errno != EINVAL)
        throw std::runtime_error(
            fmt::format("{} {}: sync failed: {}", option_, echoText(path_, kEchoNameBytes), std::strerror(errno)));
}

}  // namespace VornTcamAgent
