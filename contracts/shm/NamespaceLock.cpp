#include "contracts/shm/NamespaceLock.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>

#include "contracts/shm/StoreFiles.h"

namespace QelSharedMem {

namespace {

struct Held {
    FileDescriptor file;
    unsigned count = 0;
    pid_t holder = ::getpid();  // a forked child inherits the entry, not the right to write
};

// The locks this process holds, by namespace. Never destroyed: a lock is released when its
// descriptor closes, at the latest when the process ends.
std::map<Lumo::String, Held>& heldLocks() {
    static auto* const locks = new std::map<Lumo::String, Held>;
    return *locks;
}

std::atomic<std::uint64_t> lockChanges{0};

// Whether `fd` is still the file at `path`: a clean may have removed the file between our open
// and our lock, and a lock on a removed file excludes nobody.
bool stillAtPath(int fd, Lumo::String const& path) {
    struct stat open {
    }, named{};
    if (::fstat(fd, &open) != 0 || ::lstat(path.c_str(), &named) != 0) return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

FileDescriptor acquire(Lumo::String const& ns) {
    Lumo::String const path = namespaceFiles(ns).agentLock;
    for (int attempt = 0; attempt < 10; ++attempt) {
        bool created = false;
        FileDescriptor file = openOrCreateStoreFile(path, O_RDWR, created);
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK)
                throw NamespaceBusyError(fmt::format(
                    "namespace \"{}\" is in use by another agent (it holds {}); try again when it has ended", ns,
                    path));
            throw StorageError(fmt::format("locking {} failed: {}", path, std::strerror(errno)));
        }
        if (stillAtPath(file.get(), path)) return file;
    }
    throw NamespaceBusyError(fmt::format("namespace \"{}\": its lock file {} keeps being removed", ns, path));
}

}  // namespace

NamespaceLock::NamespaceLock(Lumo::String const& ns) : ns_(ns) {
    auto& locks = heldLocks();
    auto it = locks.find(ns);
    if (it == locks.end()) {
        it = locks.emplace(ns, Held{acquire(ns), 0}).first;
        lockChanges.fetch_add(1, std::memory_order_relaxed);
    }
    ++it->second.count;
}

NamespaceLock::~NamespaceLock() {
    auto& locks = heldLocks();
    auto const it = locks.find(ns_);
    if (it != locks.end() && --it->second.count == 0) {
        locks.erase(it);
        lockChanges.fetch_add(1, std::memory_order_relaxed);
    }
}

bool NamespaceLock::heldHere(Lumo::String const& ns) {
    auto const& locks = heldLocks();
    auto const it = locks.find(ns);
    return it != locks.end() && it->second.holder == ::getpid();
}

std::uint64_t NamespaceLock::changes() { return lockChanges.load(std::memory_order_relaxed); }

}  // namespace QelSharedMem
