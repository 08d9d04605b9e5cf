#include "contracts/shm/StoreFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "contracts/shm/StoreUnavailable.h"

namespace QelSharedMem {

namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr char kFilePrefix[] = "vorn-tcam.";
constexpr char kDataSuffix[] = ".mdb";
constexpr char kAgentLockSuffix[] = ".agent";
constexpr char kDamagedSuffix[] = ".damaged-";

bool nameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// The name as it may be shown: printable ASCII kept, anything else escaped, at most 80 shown.
std::string printable(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < 80; ++i) {
        auto const c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += fmt::format("\\x{:02x}", c);
        }
    }
    if (text.size() > 80) out += fmt::format("... ({} bytes)", text.size());
    return out;
}

// A store file cannot be opened: for want of descriptors or memory the store as a whole is
// unavailable (named by its data file), otherwise the file's own error.
[[noreturn]] void throwErrno(int error, std::string_view what, Lumo::String const& path) {
    if (auto const cause = unavailableCause(error); cause && (error == EMFILE || error == ENFILE || error == ENOMEM)) {
        // Named by the namespace's data file, as every tool that meets the cause names it.
        std::string_view file = path;
        Lumo::String data(file);
        if (file.ends_with(".mdb-lock")) data = Lumo::String(file.substr(0, file.size() - 5));
        if (file.ends_with(kAgentLockSuffix))
            data = Lumo::String(file.substr(0, file.size() - (sizeof kAgentLockSuffix - 1))) + kDataSuffix;
        throwUnavailable(data, *cause);
    }
    throw StorageError(fmt::format("{} {} failed: {}", what, path, std::strerror(error)));
}

// The checks every file of the store must pass before it is used.
void checkStatus(struct stat const& st, Lumo::String const& path) {
    if (!S_ISREG(st.st_mode)) throw UnsafeFileError(fmt::format("{} is not a regular file: refused", path));
    if (st.st_uid != ::geteuid())
        throw UnsafeFileError(
            fmt::format("{} is owned by user {}, not by this user ({}): refused", path, st.st_uid, ::geteuid()));
    if ((st.st_mode & 077) != 0)
        throw UnsafeFileError(fmt::format("{} has mode {:04o}: group or others may use it: refused", path,
                                          static_cast<unsigned>(st.st_mode & 07777)));
}

void checkStoreFile(int fd, Lumo::String const& path) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throwErrno(errno, "checking", path);
    checkStatus(st, path);
}

// open(2) of a store file, never as a standard descriptor.
int openAbove(Lumo::String const& path, int flags, mode_t mode = 0) {
    int const fd = ::open(path.c_str(), flags, mode);
    return fd < 0 ? fd : aboveStandardDescriptors(fd);
}

}  // namespace

std::optional<std::string> namespaceProblem(std::string_view ns) {
    if (ns.empty()) return std::string("namespace name is empty");
    if (ns.size() > kMaxNamespaceLength)
        return fmt::format("namespace name of {} characters is longer than {}: \"{}\"", ns.size(), kMaxNamespaceLength,
                           printable(ns));
    for (char c : ns)
        if (!nameCharacter(c))
            return fmt::format("namespace name \"{}\" holds a character other than A-Z, a-z, 0-9, '_' and '-'",
                               printable(ns));
    if (ns.front() == '-') return fmt::format("namespace name \"{}\" starts with '-'", printable(ns));
    return std::nullopt;
}

void validateNamespace(std::string_view ns) {
    if (auto problem = namespaceProblem(ns)) throw std::invalid_argument(*problem);
}

NamespaceFiles namespaceFiles(Lumo::String const& ns) {
    validateNamespace(ns);
    Lumo::String const base = fmt::format("{}/{}{}", kDirectory, kFilePrefix, ns);
    return NamespaceFiles{base + kDataSuffix, base + kDataSuffix + "-lock", base + kAgentLockSuffix,
                          base + kDamagedSuffix};
}

std::vector<Lumo::String> existingNamespaceFiles(Lumo::String const& ns) {
    NamespaceFiles const files = namespaceFiles(ns);
    std::vector<Lumo::String> found;
    std::string const damagedName = files.damagedPrefix.substr(sizeof kDirectory);
    int const dirFd = openAbove(kDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = dirFd < 0 ? nullptr : ::fdopendir(dirFd);
    if (!dir) {
        int const error = errno;
        if (dirFd >= 0) ::close(dirFd);
        throwErrno(error, "listing", kDirectory);
    }
    while (dirent const* entry = ::readdir(dir)) {
        std::string_view const name = entry->d_name;
        Lumo::String const path = fmt::format("{}/{}", kDirectory, name);
        if (path == files.data || path == files.lmdbLock || path == files.agentLock ||
            name.substr(0, damagedName.size()) == damagedName)
            found.push_back(path);
    }
    ::closedir(dir);
    return found;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor openStoreFile(Lumo::String const& path, int flags) {
    int const fd = openAbove(path, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        int const error = errno;
        if (error == ENOENT) return FileDescriptor{};
        if (error == ELOOP) throw UnsafeFileError(fmt::format("{} is a symbolic link: refused", path));
        throwErrno(error, "opening", path);
    }
    FileDescriptor file(fd);
    checkStoreFile(fd, path);
    return file;
}

FileDescriptor openOrCreateStoreFile(Lumo::String const& path, int flags, bool& created) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (FileDescriptor existing = openStoreFile(path, flags)) {
            created = false;
            return existing;
        }
        int const fd = openAbove(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;  // made by someone else meanwhile: check theirs
            throwErrno(errno, "creating", path);
        }
        FileDescriptor file(fd);
        if (::fchmod(fd, 0600) != 0) throwErrno(errno, "setting the mode of", path);
        created = true;
        return file;
    }
    throw StorageError(fmt::format("creating {} failed: it keeps appearing and vanishing", path));
}

std::optional<struct stat> statStoreFile(Lumo::String const& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throwErrno(errno, "checking", path);
    }
    if (S_ISLNK(st.st_mode)) throw UnsafeFileError(fmt::format("{} is a symbolic link: refused", path));
    checkStatus(st, path);
    return st;
}

int aboveStandardDescriptors(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    int const moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int const error = errno;
    ::close(fd);
    errno = error;
    return moved;
}

StandardDescriptorGuard::StandardDescriptorGuard(Lumo::String const& storePath) {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is `fd` or a lower one freed meanwhile: either way one of 0-2.
        int const held = ::open("/dev/null", O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (held < 0) {
            int const error = errno;
            release();
            throwErrno(error, "opening /dev/null to open", storePath);
        }
        if (held > STDERR_FILENO) {
            ::close(held);
            break;
        }
        held_[held] = held;
    }
}

StandardDescriptorGuard::~StandardDescriptorGuard() { release(); }

void StandardDescriptorGuard::release() {
    for (int& fd : held_)
        if (fd >= 0) ::close(std::exchange(fd, -1));
}

void reserveSpace(int fd, Lumo::String const& path, std::uint64_t bytes) {
    int const rc = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    if (rc != 0) throwErrno(rc, fmt::format("reserving {} bytes for", bytes), path);
}

Lumo::String keepAside(NamespaceFiles const& files) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    for (unsigned n = 0; n < 100; ++n) {
        Lumo::String aside =
            fmt::format("{}{:04}{:02}{:02}T{:02}{:02}{:02}Z-{}", files.damagedPrefix, utc.tm_year + 1900,
                        utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, n);
        if (::renameat2(AT_FDCWD, files.data.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
            removeStoreFile(files.lmdbLock);  // holds no data; LMDB builds a new one
            return aside;
        }
        if (errno != EEXIST) throwErrno(errno, "keeping aside the damaged", files.data);
    }
    throw StorageError(fmt::format("keeping aside the damaged {} failed: no free name", files.data));
}

void removeStoreFile(Lumo::String const& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) throwErrno(errno, "removing", path);
}

}  // namespace QelSharedMem
