// The map of an Environment and the data file's reservation: the file is allocated ahead of
// what LMDB may use, so that no commit meets a full file system halfway through writing its
// pages. A full file system is met where the map grows, at one write, which then fails alone.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "contracts/shm/Environment.h"
#include "contracts/shm/LmdbHandle.h"

namespace QelSharedMem {

namespace {

// Room beyond the map that a commit may take for LMDB's list of freed pages, which it writes
// while committing, after every write of the transaction has found room.
constexpr std::uint64_t kReserveMargin = std::uint64_t(1) << 20;
// The map grows by an eighth of its size, and by at least this much.
constexpr std::uint64_t kMinGrowth = std::uint64_t(1) << 20;
// Room a write transaction finds free in the map when it begins: the map is grown before the
// transaction when less is left, so that a group of writes rarely has to be rebuilt from its
// journal because the map filled up halfway through.
constexpr std::uint64_t kHeadroom = std::uint64_t(4) << 20;

std::uint64_t roundUp(std::uint64_t bytes, std::uint64_t unit) { return (bytes + unit - 1) / unit * unit; }

// The largest map limit that leaves the margin within the map size.
std::uint64_t maxMapLimit(std::uint64_t mapSize) {
    return mapSize > 2 * kReserveMargin ? mapSize - kReserveMargin : mapSize / 2;
}

}  // namespace

int Environment::reserve(std::uint64_t bytes) {
    if (bytes <= reserved_) return 0;
    int fd = -1;
    if (int const rc = mdb_env_get_fd(env_, &fd); rc != 0) return rc;
    // Only what is not reserved yet: allocating a range again still walks every page of it.
    int const rc = ::posix_fallocate(fd, static_cast<off_t>(reserved_), static_cast<off_t>(bytes - reserved_));
    if (rc == 0) reserved_ = bytes;
    return rc;
}

int Environment::ensureMargin() {
    if (reserved_ >= mapLimit_ + kReserveMargin) [[likely]]
        return 0;
    return reserve(mapLimit_ + kReserveMargin);
}

void Environment::reserveAtOpen() {
    MDB_stat st;
    MDB_envinfo info;
    if (mdb_env_stat(env_, &st) != 0 || mdb_env_info(env_, &info) != 0) return;
    pageSize_ = st.ms_psize;
    std::uint64_t const used = (std::uint64_t(info.me_last_pgno) + 1) * pageSize_;
    std::uint64_t const maxLimit = maxMapLimit(mapSize_);
    std::uint64_t limit = std::min<std::uint64_t>(maxLimit, roundUp(used + kMinGrowth, pageSize_));
    // With the file system nearly full, the store opens with what it has; the first write that
    // needs more room fails then.
    if (reserve(limit + kReserveMargin) != 0) {
        limit = std::min<std::uint64_t>(maxLimit, roundUp(used, pageSize_));
        reserve(limit);
    }
    if (mdb_env_set_mapsize(env_, static_cast<std::size_t>(limit)) == 0) mapLimit_ = static_cast<std::size_t>(limit);
}

bool Environment::mapPinned() const {
    // A live read of this environment or of a view sharing its handle pins the map.
    return readDepth_ > 0 || handle_->viewsOpen() || mapLimit_ >= maxMapLimit(mapSize_);
}

int Environment::growMapTo(std::uint64_t needed) {
    std::uint64_t const step = roundUp(mapLimit_ + std::max<std::uint64_t>(kMinGrowth, mapLimit_ / 8), pageSize_);
    std::uint64_t const limit =
        std::min<std::uint64_t>(maxMapLimit(mapSize_), std::max(step, roundUp(needed, pageSize_)));
    int rc = reserve(limit + kReserveMargin);
    if (rc == 0) rc = mdb_env_set_mapsize(env_, static_cast<std::size_t>(limit));
    if (rc == 0) mapLimit_ = static_cast<std::size_t>(limit);
    return rc;
}

void Environment::growAhead() {
    MDB_envinfo info;
    if (mapPinned() || mdb_env_info(env_, &info) != 0) return;
    std::uint64_t const used = (std::uint64_t(info.me_last_pgno) + 1) * pageSize_;
    if (used + kHeadroom <= mapLimit_) [[likely]]
        return;
    // A failure here (no room on the file system) is met again, and reported, by the write that
    // finds the map full.
    growMapTo(used + kHeadroom);
}

int Environment::growMap(MDB_txn*& txn) {
    if (mapPinned()) return MDB_MAP_FULL;
    mdb_txn_abort(std::exchange(txn, nullptr));
    resetKeptRead();
    int const rc = growMapTo(0);
    if (int const rebuilt = replayJournal(txn); rebuilt != 0) {
        // Nothing of the transaction is left: its unit and every earlier one of a group are lost.
        journal_.clear();
        if (groupOpen_) groupLost_ = true;
        scopeRollback_ = true;
        scopeWriteFailed_ = true;
        return rebuilt;
    }
    return rc;
}

int Environment::commitTxn(MDB_txn* txn) {
    ++commits_;
    int rc = mdb_txn_commit(txn);
    if (rc != MDB_MAP_FULL || reserved_ <= mapLimit_ || readDepth_ > 0 || handle_->viewsOpen()) return rc;
    // The commit needed pages beyond the map for the list of freed pages: the margin is
    // allocated already, so the map takes it and the transaction is made again from the journal.
    resetKeptRead();
    rc = mdb_env_set_mapsize(env_, static_cast<std::size_t>(reserved_));
    if (rc != 0) return rc;
    mapLimit_ = static_cast<std::size_t>(reserved_);
    MDB_txn* again = nullptr;
    rc = replayJournal(again);
    if (rc == 0) rc = mdb_txn_commit(again);
    // The next unit that ends asks for a new margin (ensureMargin), and fails when there is none.
    return rc;
}

int Environment::Write::growAndRetry(std::function<int(MDB_txn*)> const& op) {
    MDB_txn*& txn = own_ ? txn_ : env_.scopeTxn_;
    int const rc = env_.growMap(txn);
    txn_ = txn;
    return rc != 0 ? rc : op(txn_);
}

int Environment::Write::put(MDB_dbi dbi, MDB_val* key, MDB_val* value, unsigned flags) {
    MDB_val const asked = *value;
    auto const op = [&](MDB_txn* txn) {
        *value = asked;
        return mdb_put(txn, dbi, key, value, flags);
    };
    int const rc = op(txn_);
    if (rc != MDB_MAP_FULL) [[likely]]
        return rc;
    return growAndRetry(op);
}

int Environment::Write::del(MDB_dbi dbi, MDB_val* key) {
    auto const op = [&](MDB_txn* txn) { return mdb_del(txn, dbi, key, nullptr); };
    int const rc = op(txn_);
    if (rc != MDB_MAP_FULL) [[likely]]
        return rc;
    return growAndRetry(op);
}

}  // namespace QelSharedMem
