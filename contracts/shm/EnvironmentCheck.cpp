// The check of a stored environment before it is used: in this process, by the page audit's own
// reads (the metas copied, the trees through a read-only map that reads nothing past the end of
// the file) before LMDB reads a page of it. What it cannot do for want of memory, descriptors or a
// reader slot is an error (StoreUnavailableError), never damage.
#include <fcntl.h>
#include <fmt/format.h>
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>

#include "contracts/shm/Environment.h"
#include "contracts/shm/LmdbHandle.h"
#include "contracts/shm/PageAudit.h"
#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"

namespace QelSharedMem {

namespace {

constexpr unsigned kReadOnlyFlags = MDB_NOSUBDIR | MDB_RDONLY | MDB_NOTLS | MDB_NORDAHEAD;

std::uint64_t sizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The meta check, with a torn read of a meta a writer is rewriting retried before it counts.
std::optional<std::string> metaDamage(int fd, Lumo::String const& path) {
    std::optional<std::string> damage;
    try {
        for (int attempt = 0; attempt < 3; ++attempt) {
            damage = auditMetas(fd, sizeOf(fd));
            if (!damage) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    } catch (PageReadError const& e) {
        throwStoreError(e.error(), path, "reading");
    }
    return damage;
}

}  // namespace

void refuseOtherDataVersion(int fd, Lumo::String const& path) {
    std::optional<std::uint32_t> version;
    try {
        version = otherDataVersion(fd);
    } catch (PageReadError const& e) {
        throwStoreError(e.error(), path, "reading");
    }
    if (version)
        throwUnavailable(path, fmt::format("it was written by an LMDB of data version {}, and this build reads "
                                           "version {}; read it with a build of that LMDB, or clean the namespace to "
                                           "start anew (what it holds is then lost)",
                                           *version, kLmdbDataVersion));
}

bool openRefusedAsDamaged(int rc) { return rc == MDB_CORRUPTED || rc == MDB_PAGE_NOTFOUND; }

void throwReadBeginError(int rc, LmdbHandle const& handle) {
    if (rc == MDB_READERS_FULL) throwUnavailable(handle.path(), readersFullCause(handle.env()));
    throwStoreError(rc, handle.path(), "starting a read transaction on it");
}

std::optional<std::string> auditOpenSnapshot(LmdbHandle& handle, int fd) {
    // The read transaction pins its snapshot against writers of other processes; its meta page
    // can still be rewritten two commits later, so a miss is retried on a newer snapshot.
    MDB_txn* txn = nullptr;
    if (int const rc = handle.beginRead(&txn); rc != 0) throwReadBeginError(rc, handle);
    struct Abort {
        MDB_txn* txn;
        ~Abort() { mdb_txn_abort(txn); }
    } const abort{txn};
    MDB_stat stat{};
    mdb_env_stat(handle.env(), &stat);
    std::optional<std::string> damage;
    try {
        for (int attempt = 0; attempt < 5; ++attempt) {
            damage = auditPages(fd, sizeOf(fd), stat.ms_psize, mdb_txn_id(txn));
            if (!damage || damage->rfind("no meta page", 0) != 0) break;
            mdb_txn_reset(txn);
            if (int const rc = mdb_txn_renew(txn); rc != 0) throwReadBeginError(rc, handle);
        }
    } catch (PageReadError const& e) {
        throwStoreError(e.error(), handle.path(), "reading");
    } catch (std::bad_alloc const&) {
        throwStoreError(ENOMEM, handle.path(), "checking");
    }
    return damage;
}

std::optional<std::string> environmentFileDamage(Lumo::String const& path, std::size_t mapSize) {
    FileDescriptor data = openStoreFile(path, O_RDONLY);
    if (!data || sizeOf(data.get()) == 0) return std::nullopt;  // nothing stored yet
    refuseOtherDataVersion(data.get(), path);
    if (auto damage = metaDamage(data.get(), path)) return damage;
    // The handle this process already has of the file, if any (a second one must not be opened);
    // else one of its own. Without a lock file no process uses the environment: read unlocked
    // rather than create one. Read-only, the check needs a map of the used file only (LMDB grows
    // it to the metas' last page); a 32-bit process keeps its address space for the writer's
    // large map that follows.
    unsigned flags = kReadOnlyFlags;
    if (!statStoreFile(path + "-lock")) flags |= MDB_NOLOCK;
    std::uint64_t const fileBytes = sizeOf(data.get());
    std::size_t const checkMap = static_cast<std::size_t>(std::min<std::uint64_t>(mapSize, fileBytes + (1u << 20)));
    int rc = 0;
    auto handle = LmdbHandle::acquire(path, {flags, checkMap, kMaxDatabases}, rc);
    if (!handle) {
        if (openRefusedAsDamaged(rc)) return fmt::format("LMDB refuses it: {}", mdb_strerror(rc));
        throwStoreError(rc, path, "checking");
    }
    return auditOpenSnapshot(*handle, data.get());
}

}  // namespace QelSharedMem
