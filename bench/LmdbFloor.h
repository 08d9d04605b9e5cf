#pragma once
// The floor under every shared-memory table operation: bare LMDB on tmpfs (MDB_WRITEMAP |
// MDB_NOSYNC | MDB_NOTLS), with a 64-byte record under an 8-byte big-endian key. The flags are
// kept as the floor was first defined, so that figures stay comparable across changes; the
// shared-memory service itself opens without MDB_WRITEMAP (commits write their pages with
// pwrite, so that a full /dev/shm is an error rather than a SIGBUS). That costs a put in its own
// transaction several times this floor, and a put inside a grouped commit nothing measurable.
// Benchmarks of layers above report it next to their own numbers:
//
//   BENCHMARK(VornBench::lmdbFloorPut);   // one put per write transaction
//   BENCHMARK(VornBench::lmdbFloorGet);   // one get per renewed read transaction
//   double ns = VornBench::lmdbFloorPutNanos();  // the same, outside Google Benchmark
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace VornBench {

inline constexpr std::size_t kFloorRecordSize = 64;
inline constexpr std::uint64_t kFloorKeys = 100000;  // keys cycle, so the tree stops growing

// A scratch environment in /dev/shm, removed when destroyed.
class ScratchLmdb {
  public:
    ScratchLmdb() {
        static std::atomic<unsigned> counter{0};
        path_ = "/dev/shm/vorn-bench-floor." + std::to_string(::getpid()) + "." + std::to_string(counter++);
        check(mdb_env_create(&env_), "mdb_env_create");
        check(mdb_env_set_mapsize(env_, std::size_t(1) << 30), "mdb_env_set_mapsize");
        check(mdb_env_set_maxdbs(env_, 4), "mdb_env_set_maxdbs");
        check(mdb_env_open(env_, path_.c_str(), MDB_NOSUBDIR | MDB_WRITEMAP | MDB_NOSYNC | MDB_NOTLS | MDB_NORDAHEAD,
                           0600),
              "mdb_env_open");
        MDB_txn* txn = nullptr;
        check(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
        check(mdb_dbi_open(txn, "floor", MDB_CREATE, &dbi_), "mdb_dbi_open");
        check(mdb_txn_commit(txn), "mdb_txn_commit");
    }
    ~ScratchLmdb() {
        mdb_env_close(env_);
        ::unlink(path_.c_str());
        ::unlink((path_ + "-lock").c_str());
    }
    ScratchLmdb(ScratchLmdb const&) = delete;
    ScratchLmdb& operator=(ScratchLmdb const&) = delete;

    MDB_env* env() const { return env_; }
    MDB_dbi dbi() const { return dbi_; }

    static std::array<std::uint8_t, 8> key(std::uint64_t n) {
        std::array<std::uint8_t, 8> k;
        for (int i = 0; i < 8; ++i) k[i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
        return k;
    }

    // One put of a 64-byte record in its own write transaction.
    void put(std::uint64_t n) {
        auto k = key(n);
        std::array<std::uint8_t, kFloorRecordSize> record{};
        record[0] = static_cast<std::uint8_t>(n);
        MDB_txn* txn = nullptr;
        check(mdb_txn_begin(env_, nullptr, 0, &txn), "mdb_txn_begin");
        MDB_val kv{k.size(), k.data()};
        MDB_val vv{record.size(), record.data()};
        int rc = mdb_put(txn, dbi_, &kv, &vv, 0);
        if (rc != 0) mdb_txn_abort(txn);
        check(rc, "mdb_put");
        check(mdb_txn_commit(txn), "mdb_txn_commit");
    }

    static void check(int rc, char const* what) {
        if (rc != 0) throw std::runtime_error(std::string(what) + ": " + mdb_strerror(rc));
    }

  private:
    std::string path_;
    MDB_env* env_ = nullptr;
    MDB_dbi dbi_ = 0;
};

// Benchmark: a bare LMDB put of a 64-byte record, each in its own write transaction.
inline void lmdbFloorPut(benchmark::State& state) {
    ScratchLmdb db;
    std::uint64_t n = 0;
    for (auto _ : state) db.put(n++ % kFloorKeys);
    state.SetItemsProcessed(state.iterations());
}

// Benchmark: a bare LMDB get from a full table, in a kept read transaction renewed per get
// (the way the service reads outside a write transaction), copying the record out.
inline void lmdbFloorGet(benchmark::State& state) {
    ScratchLmdb db;
    for (std::uint64_t n = 0; n < kFloorKeys; ++n) db.put(n);
    MDB_txn* txn = nullptr;
    ScratchLmdb::check(mdb_txn_begin(db.env(), nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
    mdb_txn_reset(txn);
    std::array<std::uint8_t, kFloorRecordSize> out;
    std::uint64_t n = 0;
    for (auto _ : state) {
        auto k = ScratchLmdb::key(n * 7919 % kFloorKeys);
        ++n;
        ScratchLmdb::check(mdb_txn_renew(txn), "mdb_txn_renew");
        MDB_val kv{k.size(), k.data()};
        MDB_val vv;
        if (mdb_get(txn, db.dbi(), &kv, &vv) == 0) std::memcpy(out.data(), vv.mv_data, out.size());
        mdb_txn_reset(txn);
        benchmark::DoNotOptimize(out);
    }
    mdb_txn_abort(txn);
    state.SetItemsProcessed(state.iterations());
}

// Nanoseconds per bare put (as lmdbFloorPut), measured over `iterations` puts.
inline double lmdbFloorPutNanos(std::size_t iterations = 200000) {
    ScratchLmdb db;
    for (std::uint64_t n = 0; n < kFloorKeys; ++n) db.put(n);  // warm: the tree at its size
    auto const start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < iterations; ++i) db.put(i % kFloorKeys);
    auto const elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations);
}

}  // namespace VornBench
