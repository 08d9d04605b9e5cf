#pragma once
// Bare-LMDB floors for the per-entry figures of the agent benchmarks, on an environment opened
// the way the shared-memory service opens its own (see LmdbFloor.h):
//
// - EntryFloor::commit: the storage work every committed entry needs at the least: one write
//   transaction that puts the entry's configuration record under its key and its change-log
//   record under its version, and later the removal of that change-log record once the
//   hardware has it (1,024 removals per transaction, as the cleanup batches them);
// - EntryFloor::restoreWalk: what a restart needs at the least: open the environment and copy
//   every configuration record out in one read transaction;
// - EntryFloor::usedBytes: pages of the file in use (high-water mark times page size).
//
// Record and key sizes are those of the table family (TcamEntryKey and its 64-byte records, or
// the 4-byte TcamActionEntryKey with its 48- and 40-byte records), without the service's
// checksums and bookkeeping.
#include <lmdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bench/LmdbFloor.h"

namespace VornBench {

struct FloorRecordShape {
    std::size_t keySize;
    std::size_t configSize;
    std::size_t changeSize;
};
inline constexpr FloorRecordShape kTcamShape{40, 64, 64};
inline constexpr FloorRecordShape kActionShape{4, 48, 40};

class EntryFloor {
  public:
    EntryFloor() : path_(newPath()) { open(); }
    ~EntryFloor() {
        close();
        ::unlink(path_.c_str());
        ::unlink((path_ + "-lock").c_str());
    }
    EntryFloor(EntryFloor const&) = delete;
    EntryFloor& operator=(EntryFloor const&) = delete;

    // Commits entries [first, first + count) of one shape, `perTransaction` entries to a write
    // transaction (1: each in its own), then removes their change-log records in batches of
    // 1,024.
    void commit(FloorRecordShape const& shape, std::uint32_t table, std::uint64_t first, std::uint64_t count,
                std::uint64_t perTransaction = 1) {
        std::vector<std::uint8_t> config(shape.configSize), change(shape.changeSize);
        for (std::uint64_t n = first; n < first + count;) {
            MDB_txn* txn = begin(0);
            for (std::uint64_t i = 0; i < perTransaction && n < first + count; ++i, ++n) {
                auto const k = entryKey(shape, n);
                auto const v = ScratchLmdb::key(++version_);
                config[0] = change[0] = static_cast<std::uint8_t>(n);
                put(txn, configDbi_[table], k.data(), shape.keySize, config);
                put(txn, changeDbi_[table], v.data(), v.size(), change);
            }
            ScratchLmdb::check(mdb_txn_commit(txn), "mdb_txn_commit");
        }
        for (std::uint64_t v = version_ - count + 1; v <= version_;) {
            MDB_txn* txn = begin(0);
            for (unsigned i = 0; i < 1024 && v <= version_; ++i, ++v) {
                auto const key = ScratchLmdb::key(v);
                MDB_val kv{key.size(), const_cast<std::uint8_t*>(key.data())};
                ScratchLmdb::check(mdb_del(txn, changeDbi_[table], &kv, nullptr), "mdb_del");
            }
            ScratchLmdb::check(mdb_txn_commit(txn), "mdb_txn_commit");
        }
    }

    // Removes every configuration record of one table in one transaction.
    void clear(std::uint32_t table) {
        MDB_txn* txn = begin(0);
        ScratchLmdb::check(mdb_drop(txn, configDbi_[table], 0), "mdb_drop");
        ScratchLmdb::check(mdb_txn_commit(txn), "mdb_txn_commit");
    }

    // Closes and reopens the environment, then copies every configuration record of both
    // tables out in one read transaction. Returns the records read.
    std::uint64_t restoreWalk() {
        close();
        open();
        MDB_txn* txn = begin(MDB_RDONLY);
        std::uint64_t records = 0;
        std::array<std::uint8_t, 128> out;
        for (MDB_dbi dbi : configDbi_) {
            MDB_cursor* cursor = nullptr;
            ScratchLmdb::check(mdb_cursor_open(txn, dbi, &cursor), "mdb_cursor_open");
            MDB_val k, v;
            for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0;
                 rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
                std::memcpy(out.data(), v.mv_data, std::min(v.mv_size, out.size()));
                ++records;
            }
            mdb_cursor_close(cursor);
        }
        mdb_txn_abort(txn);
        benchmark::DoNotOptimize(out);
        return records;
    }

    std::uint64_t usedBytes() const { return EntryFloor::usedBytes(env_); }
    static std::uint64_t usedBytes(MDB_env* env) {
        MDB_envinfo info;
        MDB_stat stat;
        mdb_env_info(env, &info);
        mdb_env_stat(env, &stat);
        return static_cast<std::uint64_t>(info.me_last_pgno + 1) * stat.ms_psize;
    }
    // Bytes of memory the file holds (tmpfs allocates only pages written).
    static std::uint64_t allocatedBytes(std::string const& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return 0;
        return static_cast<std::uint64_t>(st.st_blocks) * 512;
    }
    std::string const& path() const { return path_; }

  private:
    static std::string newPath() {
        static std::atomic<unsigned> counter{0};
        return "/dev/shm/vorn-bench-entryfloor." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    }
    static std::vector<std::uint8_t> entryKey(FloorRecordShape const& shape, std::uint64_t n) {
        std::vector<std::uint8_t> k(shape.keySize, 0);
        auto const be = ScratchLmdb::key(n);
        // The low bytes of n, big-endian, at the end of the key (keys sort like numbers).
        std::size_t const take = std::min(shape.keySize, be.size());
        std::memcpy(k.data() + shape.keySize - take, be.data() + be.size() - take, take);
        return k;
    }
    MDB_txn* begin(unsigned flags) const {
        MDB_txn* txn = nullptr;
        ScratchLmdb::check(mdb_txn_begin(env_, nullptr, flags, &txn), "mdb_txn_begin");
        return txn;
    }
    static void put(MDB_txn* txn, MDB_dbi dbi, void const* key, std::size_t keySize,
                    std::vector<std::uint8_t> const& value) {
        MDB_val kv{keySize, const_cast<void*>(key)};
        MDB_val vv{value.size(), const_cast<std::uint8_t*>(value.data())};
        int const rc = mdb_put(txn, dbi, &kv, &vv, 0);
        if (rc != 0) mdb_txn_abort(txn);
        ScratchLmdb::check(rc, "mdb_put");
    }
    void open() {
        ScratchLmdb::check(mdb_env_create(&env_), "mdb_env_create");
        ScratchLmdb::check(mdb_env_set_mapsize(env_, std::size_t(1) << 30), "mdb_env_set_mapsize");
        ScratchLmdb::check(mdb_env_set_maxdbs(env_, 8), "mdb_env_set_maxdbs");
        ScratchLmdb::check(mdb_env_open(env_, path_.c_str(),
                                        MDB_NOSUBDIR | MDB_WRITEMAP | MDB_NOSYNC | MDB_NOTLS | MDB_NORDAHEAD, 0600),
                           "mdb_env_open");
        MDB_txn* txn = begin(0);
        for (std::uint32_t t = 0; t < 2; ++t) {
            std::string const c = "config" + std::to_string(t), l = "changes" + std::to_string(t);
            ScratchLmdb::check(mdb_dbi_open(txn, c.c_str(), MDB_CREATE, &configDbi_[t]), "mdb_dbi_open");
            ScratchLmdb::check(mdb_dbi_open(txn, l.c_str(), MDB_CREATE, &changeDbi_[t]), "mdb_dbi_open");
        }
        ScratchLmdb::check(mdb_txn_commit(txn), "mdb_txn_commit");
    }
    void close() {
        if (env_ != nullptr) mdb_env_close(env_);
        env_ = nullptr;
    }

    std::string path_;
    MDB_env* env_ = nullptr;
    std::array<MDB_dbi, 2> configDbi_{};
    std::array<MDB_dbi, 2> changeDbi_{};
    std::uint64_t version_ = 0;
};

}  // namespace VornBench
