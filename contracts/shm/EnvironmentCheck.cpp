// The check of a stored environment before it is used: in this process, by reads, never by a
// map of pages that have not been audited.
#include <fcntl.h>
#include <fmt/format.h>
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "contracts/shm/Environment.h"
#include "contracts/shm/PageAudit.h"
#include "contracts/shm/StoreFiles.h"

namespace QelSharedMem {

namespace {

constexpr unsigned kReadOnlyFlags = MDB_NOSUBDIR | MDB_RDONLY | MDB_NOTLS | MDB_NORDAHEAD;

std::uint64_t sizeOf(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// An LMDB handle closed at scope exit.
struct EnvHandle {
    MDB_env* env = nullptr;
    ~EnvHandle() {
        if (env) mdb_env_close(env);
    }
};

}  // namespace

std::optional<std::string> auditOpenSnapshot(MDB_env* env, int fd) {
    // The read transaction pins its snapshot against writers of other processes; its meta page
    // can still be rewritten two commits later, so a miss is retried on a newer snapshot.
    MDB_txn* txn = nullptr;
    if (int const rc = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn); rc != 0)
        return fmt::format("no read transaction: {}", mdb_strerror(rc));
    MDB_stat stat{};
    mdb_env_stat(env, &stat);
    std::optional<std::string> damage;
    for (int attempt = 0; attempt < 5; ++attempt) {
        damage = auditPages(fd, sizeOf(fd), stat.ms_psize, mdb_txn_id(txn));
        if (!damage || damage->rfind("no meta page", 0) != 0) break;
        mdb_txn_reset(txn);
        if (mdb_txn_renew(txn) != 0) break;
    }
    mdb_txn_abort(txn);
    return damage;
}

std::optional<std::string> environmentFileDamage(Lumo::String const& path, std::size_t mapSize) {
    FileDescriptor data = openStoreFile(path, O_RDONLY);
    if (!data) return std::nullopt;  // nothing stored yet
    // A writer rewrites a meta page in place; a torn read of one is retried before it counts.
    std::optional<std::string> damage;
    for (int attempt = 0; attempt < 3; ++attempt) {
        damage = auditMetas(data.get(), sizeOf(data.get()));
        if (!damage) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (damage) return damage;
    if (auto const open = openProcessEnvironmentAt(path)) return auditOpenSnapshot(open->handle(), data.get());
    // Without a lock file no process uses the environment: read unlocked rather than create one.
    unsigned flags = kReadOnlyFlags;
    if (!openStoreFile(path + "-lock", O_RDONLY)) flags |= MDB_NOLOCK;
    EnvHandle handle;
    int rc = mdb_env_create(&handle.env);
    // Read-only, the check needs a map of the used file only (LMDB grows it to the metas' last
    // page). A 32-bit process keeps its address space for the writer's large map that follows.
    std::uint64_t const fileBytes = sizeOf(data.get());
    std::size_t const checkMap = static_cast<std::size_t>(std::min<std::uint64_t>(mapSize, fileBytes + (1u << 20)));
    if (rc == 0) rc = mdb_env_set_mapsize(handle.env, checkMap);
    if (rc == 0) rc = mdb_env_set_maxdbs(handle.env, kMaxDatabases);
    if (rc == 0) rc = mdb_env_open(handle.env, path.c_str(), flags, 0600);
    if (rc == MDB_INVALID || rc == MDB_CORRUPTED || rc == MDB_VERSION_MISMATCH || rc == MDB_PAGE_NOTFOUND)
        return fmt::format("LMDB refuses it: {}", mdb_strerror(rc));
    if (rc != 0) throw StorageError(fmt::format("checking {} failed: {}", path, mdb_strerror(rc)));
    return auditOpenSnapshot(handle.env, data.get());
}

}  // namespace QelSharedMem
