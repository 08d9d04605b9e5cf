#include "contracts/shm/LmdbHandle.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"

namespace QelSharedMem {

namespace {

// How long an exclusive hold of the lock file (LMDB sets a new lock file up under one) is waited for.
constexpr auto kLockWait = std::chrono::seconds(2);
constexpr auto kLockPoll = std::chrono::milliseconds(10);

struct FileKey {
    dev_t dev;
    ino_t ino;
    bool operator<(FileKey const& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// The handles of this process, by file. Never destroyed: handles may be released from other
// static objects at exit.
std::map<FileKey, std::weak_ptr<LmdbHandle>>& registry() {
    static auto* const handles = new std::map<FileKey, std::weak_ptr<LmdbHandle>>;
    return *handles;
}

// The process holding an exclusive lock on byte 0 of the lock file (where LMDB takes its
// exclusive lock while it sets the file up), or 0.
pid_t exclusiveHolder(int fd) {
    struct flock probe {};
    probe.l_type = F_RDLCK;  // conflicts with a write lock only
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return 0;
    return probe.l_pid;
}

// Waits a moment for a process that holds the lock file exclusively: mdb_env_open would wait for
// it without end. Called only when this process has no handle of the file, so that opening and
// closing the lock file here drops no lock of ours.
void waitForLockFile(Lumo::String const& dataPath) {
    FileDescriptor lock = openStoreFile(dataPath + "-lock", O_RDONLY);
    if (!lock) return;
    auto const deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        pid_t const holder = exclusiveHolder(lock.get());
        if (holder == 0) return;
        if (std::chrono::steady_clock::now() >= deadline)
            throwUnavailable(dataPath,
                             fmt::format("its lock file {}-lock is held exclusively by process {}; try again when "
                                         "that process has finished opening the store, or end it if it stays",
                                         dataPath, holder));
        std::this_thread::sleep_for(kLockPoll);
    }
}

int collectReader(char const* line, void* context) {
    auto& readers = *static_cast<std::vector<LmdbReader>*>(context);
    // One line per slot: "<pid> <thread> <txnid or ->"; the header line starts with a letter.
    for (std::string_view rest = line; !rest.empty();) {
        std::size_t const end = rest.find('\n');
        std::string const row(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        char* next = nullptr;
        long long const pid = std::strtoll(row.c_str(), &next, 10);
        if (next == row.c_str() || pid <= 0) continue;
        std::strtoull(next, &next, 16);  // the thread
        while (*next == ' ') ++next;
        LmdbReader reader;
        reader.pid = pid;
        if (*next >= '0' && *next <= '9') reader.snapshot = std::strtoull(next, nullptr, 10);
        readers.push_back(reader);
    }
    return 0;
}

}  // namespace

LmdbHandle::LmdbHandle(Lumo::String path, Options const& options)
    : path_(std::move(path)), options_(options), pid_(::getpid()) {}

LmdbHandle::~LmdbHandle() {
    if (env_ && ownedByThisProcess()) mdb_env_close(env_);
}

bool LmdbHandle::ownedByThisProcess() const { return pid_ == ::getpid(); }

std::shared_ptr<LmdbHandle> LmdbHandle::find(Lumo::String const& path) {
    auto const st = statStoreFile(path);
    if (!st) return nullptr;
    auto const found = registry().find(FileKey{st->st_dev, st->st_ino});
    if (found == registry().end()) return nullptr;
    auto handle = found->second.lock();
    return handle && handle->ownedByThisProcess() ? handle : nullptr;
}

std::shared_ptr<LmdbHandle> LmdbHandle::acquire(Lumo::String const& path, Options const& options, int& rc) {
    rc = 0;
    auto const st = statStoreFile(path);
    if (!st) {
        rc = ENOENT;
        return nullptr;
    }
    bool const readOnly = (options.flags & MDB_RDONLY) != 0;
    FileKey const key{st->st_dev, st->st_ino};
    auto& handles = registry();
    if (auto held = find(path)) {
        if (!readOnly)
            throw std::logic_error(fmt::format("shared-memory environment {} is already open in this process{}", path,
                                               (held->options_.flags & MDB_RDONLY) ? " (read-only, by a view)" : ""));
        if (!(held->options_.flags & MDB_NOLOCK) || (options.flags & MDB_NOLOCK)) return held;
        // A handle without lock file holds no lock that opening and closing another could drop.
    }
    std::erase_if(handles, [](auto const& entry) { return entry.second.expired(); });
    std::shared_ptr<LmdbHandle> handle(new LmdbHandle(path, options));
    if (!(options.flags & MDB_NOLOCK)) waitForLockFile(path);
    rc = handle->open();
    if (rc != 0) return nullptr;
    handles[key] = handle;
    return handle;
}

int LmdbHandle::open() {
    int rc = mdb_env_create(&env_);
    if (rc == 0) rc = mdb_env_set_mapsize(env_, options_.mapSize);
    if (rc == 0) rc = mdb_env_set_maxdbs(env_, options_.maxDatabases);
    if (rc == 0) {
        StandardDescriptorGuard const guard(path_);
        rc = mdb_env_open(env_, path_.c_str(), options_.flags, 0600);
    }
    int fd = -1;
    if (rc == 0 && mdb_env_get_fd(env_, &fd) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) rc = errno;
    if (rc != 0) {
        mdb_env_close(env_);
        env_ = nullptr;
        return rc;
    }
    int dead = 0;
    if (!(options_.flags & MDB_NOLOCK)) mdb_reader_check(env_, &dead);  // slots of processes that died (kill -9)
    return 0;
}

int LmdbHandle::beginRead(MDB_txn** txn) {
    int rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, txn);
    if (rc == MDB_READERS_FULL) {
        int dead = 0;
        if (mdb_reader_check(env_, &dead) == 0 && dead > 0) rc = mdb_txn_begin(env_, nullptr, MDB_RDONLY, txn);
    }
    return rc;
}

int LmdbHandle::openAllDatabases() {
    MDB_txn* txn = nullptr;
    int rc = beginRead(&txn);
    if (rc != 0) return rc;
    MDB_dbi main = 0;
    MDB_cursor* cursor = nullptr;
    rc = mdb_dbi_open(txn, nullptr, 0, &main);
    if (rc == 0) rc = mdb_cursor_open(txn, main, &cursor);
    std::vector<std::string> opened;  // in this transaction
    MDB_val k, v;
    if (rc == 0) rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST);
    while (rc == 0) {
        std::string const name(static_cast<char const*>(k.mv_data), k.mv_size);
        if (!databases_.contains(name) && !notDatabases_.contains(name)) {
            MDB_dbi dbi = 0;
            int const result =
                name.find('\0') == std::string::npos ? mdb_dbi_open(txn, name.c_str(), 0, &dbi) : MDB_INCOMPATIBLE;
            if (result == 0) {
                databases_.emplace(name, dbi);
                opened.push_back(name);
            } else if (result == MDB_INCOMPATIBLE) {
                notDatabases_.insert(name);  // a plain record
            } else {
                rc = result;
                break;
            }
        }
        rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT);
    }
    if (cursor) mdb_cursor_close(cursor);
    if (rc == MDB_NOTFOUND) rc = 0;
    if (rc != 0) {
        mdb_txn_abort(txn);
        for (std::string const& name : opened) databases_.erase(name);  // died with the transaction
        return rc;
    }
    rc = mdb_txn_commit(txn);  // makes the handles valid in every later transaction
    if (rc != 0)
        for (std::string const& name : opened) databases_.erase(name);
    return rc;
}

bool LmdbHandle::coversSnapshot(MDB_txn* txn, int& rc) const {
    MDB_cursor* cursor = nullptr;
    rc = mdb_cursor_open(txn, MDB_dbi{1} /* the main database */, &cursor);
    if (rc != 0) return false;
    MDB_val k, v;
    bool covered = true;
    for (rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0 && covered;
         rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
        std::string_view const name(static_cast<char const*>(k.mv_data), k.mv_size);
        covered = databases_.contains(name) || notDatabases_.contains(name);
    }
    mdb_cursor_close(cursor);
    if (rc == MDB_NOTFOUND) rc = 0;
    return covered && rc == 0;
}

std::optional<MDB_dbi> LmdbHandle::database(std::string_view name) const {
    auto const found = databases_.find(name);
    if (found == databases_.end()) return std::nullopt;
    return found->second;
}

std::vector<LmdbReader> LmdbHandle::readers() const {
    std::vector<LmdbReader> readers;
    if (!(options_.flags & MDB_NOLOCK)) mdb_reader_list(env_, collectReader, &readers);
    return readers;
}

void LmdbHandle::viewEnded(std::uint64_t snapshot) {
    if (auto const found = views_.find(snapshot); found != views_.end()) views_.erase(found);
}

bool LmdbHandle::snapshotHeld(std::uint64_t snapshot) const {
    if (options_.flags & MDB_NOLOCK) return true;
    std::size_t slots = 0;
    std::int64_t const self = ::getpid();
    for (LmdbReader const& r : readers())
        if (r.pid == self && r.snapshot == snapshot) ++slots;
    return slots >= views_.count(snapshot);
}

std::string readersFullCause(MDB_env* env) {
    std::vector<LmdbReader> readers;
    mdb_reader_list(env, collectReader, &readers);
    std::map<std::int64_t, unsigned> byProcess;
    for (LmdbReader const& r : readers) ++byProcess[r.pid];
    std::string holders;
    unsigned shown = 0;
    for (auto const& [pid, slots] : byProcess) {
        if (++shown > 5) {
            holders += fmt::format(", and {} more processes", byProcess.size() - 5);
            break;
        }
        holders += fmt::format("{}process {} holds {}", holders.empty() ? "" : ", ", pid, slots);
    }
    return fmt::format(
        "LMDB's reader table is full ({} readers: {}); close read-only views of this namespace or end those "
        "processes, then try again",
        readers.size(), holders);
}

}  // namespace QelSharedMem
