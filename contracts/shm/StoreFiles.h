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
// Nothing outside the namespace's own files is ever created, written, renamed or removed.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/lumo/String.h"
#include "contracts/shm/SharedMem.h"

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

// Opens an existing file of the store with `flags` (O_NOFOLLOW and O_CLOEXEC are added) and
// checks it: a regular file, owned by the effective user, no group or other permission bit.
// An empty descriptor when the file does not exist; UnsafeFileError when it may not be used;
// StorageError for any other failure to open it.
FileDescriptor openStoreFile(Lumo::String const& path, int flags);
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
