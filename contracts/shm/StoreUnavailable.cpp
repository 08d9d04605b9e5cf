#include "contracts/shm/StoreUnavailable.h"

#include <fmt/format.h>
#include <lmdb.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace QelSharedMem {

std::optional<std::string> unavailableCause(int rc) {
    switch (rc) {
        case ENOMEM:
            return fmt::format(
                "out of memory ({}); free memory or raise this process's address-space limit (ulimit -v), then try "
                "again",
                std::strerror(rc));
        case EMFILE: {
            struct rlimit limit {};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            return fmt::format(
                "this process has too many open files (its limit is {}); raise the limit (ulimit -n) or close "
                "files, then try again",
                static_cast<unsigned long long>(limit.rlim_cur));
        }
        case ENFILE:
            return std::string("the system has too many open files; try again when fewer are open");
        case EAGAIN:
        case ENOLCK:
        case EDEADLK:
            return fmt::format("a lock on its lock file cannot be taken ({}); try again", std::strerror(rc));
        case MDB_VERSION_MISMATCH:
        case MDB_INVALID:
            // At open, once the data file's metas passed the check: LMDB refuses the lock file,
            // which the first process to open the store sets up anew.
            return std::string(
                "LMDB refuses its lock file (made by an LMDB of another version, or not a lock file it can use) "
                "while other processes hold it; end the programs that use this namespace, then try again");
        default:
            return std::nullopt;
    }
}

void throwUnavailable(Lumo::String const& path, std::string_view cause) {
    throw StoreUnavailableError(
        fmt::format("shared-memory environment {} cannot be used now: {}. It is not damaged: it was left unchanged "
                    "and nothing was set aside",
                    path, cause));
}

void throwStoreError(int rc, Lumo::String const& path, std::string_view what) {
    if (auto const cause = unavailableCause(rc)) throwUnavailable(path, *cause);
    throw StorageError(fmt::format("shared-memory environment {}: {} failed: {}", path, what, mdb_strerror(rc)));
}

}  // namespace QelSharedMem
