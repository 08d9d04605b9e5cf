#pragma once
// The files of one shared-memory namespace, and the rules for touching them in a directory that
// other users share (/dev/shm is world-writable and sticky).
//
// Naming: namespace NS owns exactly the files "/dev/shm/vorn-tcam.NS." followed by one of the
// suffixes below. A namespace name holds no '.', so the text between the prefix and the next
// '.' is the namespace: no two namespaces map to the same file, and no file of one namespace is
// a file of another (namespace "X-lock" is not the lock file of "X").
//
// Ownership: a file of the store is used only when it is a regular file (never through a
// symbolic link), owned by the effective user and without any group or other permission bit.
// New files are created exclusively, mode 0600 whatever the umask. Because the directory is
// sticky, no other user can replace or remove a file once it has passed that check, so opening it
// again by name (as LMDB does) reaches the same file.
//
// Descriptors: a file of the store is never open as descriptor 0, 1 or 2, and always close-on-exec,
// so that a process started with its standard descriptors closed never writes its own output into
// its store, and a program it runs never inherits the store.
//
// Nothing outside the namespace's own files is ever created, written, renamed or removed.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/lumo/String.h"
#include "contracts/shm/StorageError.h"

namespace QelSharedMem {

inline constexpr std::size_t kMaxNamespaceLength = 128;

// What is wrong with a namespace name, or nothing. A name is 1 to kMaxNamespaceLength characters
// of A-Z, a-z, 0-9, '_' and '-', and does not start with '-'.
std::optional<std::string> namespaceProblem(std::string_view ns);
// Throws std::invalid_argument with namespaceProblem's text.
void validateNamespace(std::string_view ns);

struct NamespaceFiles {
    Lumo::String data;           // the LMDB data file
    Lumo::String lmdbLock;       // LMDB's lock file (its reader table): data + "-lock"
    Lumo::String agentLock;      // held by the one agent writing the namespace (NamespaceLock)
    Lumo::String damagedPrefix;  // a damaged data file kept aside: this + a stamp
};
// Requires: `ns` is a valid namespace name.
NamespaceFiles namespaceFiles(Lumo::String const& ns);
// Every existing file of namespace `ns`, damaged copies included.
std::vector<Lumo::String> existingNamespaceFiles(Lumo::String const& ns);

// A file of the store is not one we may use (a link, another owner, open permissions, not a
// regular file). Not damage: the caller changes nothing and reports it.
class UnsafeFileError : public StorageError {
  public:
    using StorageError::StorageError;
};

// An open descriptor, closed at scope exit.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor();
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// Opens an existing file of the store with `flags` (O_NOFOLLOW and O_CLOEXEC are added), as a
// descriptor above 2, and checks it: a regular file, owned by the effective user, no group or other
// permission bit. An empty descriptor when the file does not exist; UnsafeFileError when it may not
// be used; StoreUnavailableError when descriptors or memory ran out; StorageError for any other
// failure to open it.
FileDescriptor openStoreFile(Lumo::String const& path, int flags);
// The status of a file of the store, checked as openStoreFile checks it, without opening it (an
// open and close of a file LMDB has open would drop this process's record locks on it). Nothing
// when the file does not exist.
std::optional<struct stat> statStoreFile(Lumo::String const& path);
// `fd` moved above the standard descriptors: returned as it is when it is above 2, otherwise
// duplicated (close-on-exec) to the lowest free descriptor above 2 and closed. -1 (errno set, `fd`
// closed) on failure.
int aboveStandardDescriptors(int fd);

// While alive, holds each of descriptors 0-2 that is free on /dev/null, so that files opened
// meanwhile by code that does not choose its descriptors (LMDB's mdb_env_open) cannot become
// standard descriptors; frees them again at the end. StoreUnavailableError (naming the store at
// `storePath`) when /dev/null cannot be opened for want of descriptors, StorageError otherwise.
// Not thread-safe: another thread opening or closing a standard descriptor meanwhile defeats it
// (the service is used from one thread).
class StandardDescriptorGuard {
  public:
    explicit StandardDescriptorGuard(Lumo::String const& storePath);
    ~StandardDescriptorGuard();
    StandardDescriptorGuard(StandardDescriptorGuard const&) = delete;
    StandardDescriptorGuard& operator=(StandardDescriptorGuard const&) = delete;

  private:
    void release();
    int held_[3] = {-1, -1, -1};
};
// Opens the file as openStoreFile does, or creates it exclusively (mode 0600) when absent.
// `created` tells which.
FileDescriptor openOrCreateStoreFile(Lumo::String const& path, int flags, bool& created);
// Reserves `bytes` of tmpfs space for the start of the file, so that writing through a shared
// map of that range can never meet a full file system. StorageError (ENOSPC included) on failure.
void reserveSpace(int fd, Lumo::String const& path, std::uint64_t bytes);

// Moves a damaged data file aside under a new name of the same namespace, so that nothing of it
// is lost and a new store can be created in its place. Returns the new name. StorageError when
// it cannot be moved (the file then stays where it was).
Lumo::String keepAside(NamespaceFiles const& files);

// Unlinks `path` (never following a link); absent is not an error.
void removeStoreFile(Lumo::String const& path);

}  // namespace QelSharedMem
