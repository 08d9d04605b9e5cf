// A full iteration of a software table's merged view next to a bare walk of the same LMDB table
// in the same run. The unit's configuration table is full (65,536 committed entries) and the
// table holds 1,000 pending writes (half over committed keys, half new) and 1,000 pending
// removes of committed keys. Reported: nanoseconds per entry produced (the merge) and per
// record visited (the bare walks).
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "bench/LmdbFloor.h"
#include "contracts/asic/GroupInterface.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "entrylog/TcamEntryLog.h"
#include "swtable/TcamSwTable.h"

namespace {

using VornTunnelTcamMgr::TcamConfigTesselEntry;
using VornTunnelTcamMgr::TcamEntry;
using VornTunnelTcamMgr::TcamEntryKey;
using VornTunnelTcamMgr::TcamEntryLog;
using VornTunnelTcamMgr::TcamLogEntry;
using VornTunnelTcamMgr::TcamSwTable;

constexpr Asic::UnitId kUnit = 1;
constexpr std::uint32_t kCommitted = TcamEntryLog::kConfigCapacity;  // 65,536
constexpr std::uint32_t kPendingWrites = 1000;
constexpr std::uint32_t kPendingRemoves = 1000;
constexpr char kEmName[] = "BenchEm";

TcamLogEntry logEntry(std::uint32_t key, std::uint16_t value = 1) {
    TcamLogEntry e;
    e.key.vrfId = key;
    e.key.addressFamily = 4;
    e.priority = value;
    return e;
}

// One agent run: the key table's entry log with a full unit and the unit's software table with
// its pending requests (queued with a resolver that is never run).
class Fixture {
  public:
    Fixture()
        : em_(Lumo::make<Ledra::EntityManager>(kEmName, true)),
          group_(Lumo::make<Asic::GroupInterface>("VornTunnelNi", "VornTunnelTcamMgrGroup", 0x1B08, em_, nullptr)),
          log_(Lumo::make<TcamEntryLog>(Asic::SwTableId(0x1B080401), em_, group_, "VornTunnelNi")) {
        group_->logEntryListenerIs([this](Asic::SwTableId id) { group_->logEntriesMutable(id).clear(); });
        log_->mountTesselConfig(kUnit, 0);
        auto needed = Lumo::make<Asic::NeededEntry>();
        auto stats = Lumo::make<Asic::SwTableStats>();
        {
            QelSharedMem::WriteTransaction txn;
            for (std::uint32_t k = 0; k < kCommitted; ++k) log_->entryIs(logEntry(k), {}, needed, kUnit, stats, false);
        }
        log_->cleanupEntryLog(log_->tableVersion());
        Asic::SwTableId const id(0x1B080401);
        set_ = Lumo::make<Asic::OrderedSwTableSet>(id, Lumo::make<Asic::OrderedSwTableStatus>(id));
        auto name = Lumo::make<Asic::CanonicalTableName>(Asic::kOrderedSwTableType, "VornTunnelTcamMgrGroup",
                                                         "VornTunnelTcamMgr", "Tcam");
        table_ = Lumo::make<TcamSwTable>(name, id, kUnit, set_.ptr(), log_, group_->groupResolver());
        table_->statusIs(set_->status());
        // Spread the pending requests over the whole key range.
        std::uint32_t const stride = kCommitted / kPendingRemoves;
        for (std::uint32_t i = 0; i < kPendingRemoves; ++i) table_->entryRemove(logEntry(i * stride).key, nullptr);
        for (std::uint32_t i = 0; i < kPendingWrites / 2; ++i) {
            auto over = logEntry(i * stride + 1, 2);
            table_->entryWrite(over.key, TcamEntry{over, {}}, nullptr);
            auto added = logEntry(kCommitted + i, 2);
            table_->entryWrite(added.key, TcamEntry{added, {}}, nullptr);
        }
    }
    ~Fixture() {
        table_ = nullptr;
        set_ = nullptr;
        log_ = nullptr;
        group_ = nullptr;
        em_ = nullptr;
    }

    TcamSwTable const& table() const { return *table_; }
    // The LMDB database that holds the unit's configuration table.
    std::string configDatabase() const {
        auto shm = QelSharedMem::EntityManager::getEntityManager(kEmName, true);
        return shm->databaseName(VornTunnelTcamMgr::TcamConstants::configTesselPath(kUnit));
    }

  private:
    Lumo::Ptr<Ledra::EntityManager> em_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<TcamEntryLog> log_;
    Lumo::Ptr<Asic::OrderedSwTableSet> set_;
    Lumo::Ptr<TcamSwTable> table_;
};

// Built at the first benchmark that needs it; dropped by main before the namespace goes.
std::unique_ptr<Fixture> gFixture;
Fixture& fixture() {
    if (!gFixture) gFixture = std::make_unique<Fixture>();
    return *gFixture;
}

void perItem(benchmark::State& state, std::uint64_t itemsPerIteration) {
    auto const items = static_cast<double>(state.iterations() * itemsPerIteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
    // Shown as time per item (for example "250ns"): the inverted rate of items.
    state.counters["per_item"] = benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["items"] = static_cast<double>(itemsPerIteration);
}

// The merged view, walked with the entry iterator as feature code does.
void mergedIteration(benchmark::State& state) {
    TcamSwTable const& table = fixture().table();
    std::uint64_t produced = 0;
    for (auto _ : state) {
        produced = 0;
        for (auto it = table.entryIteratorConst(); it.valid(); ++it) {
            benchmark::DoNotOptimize(it->logEntry.priority);
            ++produced;
        }
    }
    if (produced != kCommitted - kPendingRemoves + kPendingWrites / 2) state.SkipWithError("unexpected entry count");
    perItem(state, produced);
}

// Opens the configuration table's database for reading in a transaction of its own.
struct BareRead {
    BareRead() {
        std::string const db = fixture().configDatabase();
        env = QelSharedMem::processEnvironment()->handle();
        VornBench::ScratchLmdb::check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "mdb_txn_begin");
        VornBench::ScratchLmdb::check(mdb_dbi_open(txn, db.c_str(), 0, &dbi), "mdb_dbi_open");
    }
    ~BareRead() { mdb_txn_abort(txn); }
    BareRead(BareRead const&) = delete;
    BareRead& operator=(BareRead const&) = delete;
    MDB_env* env = nullptr;
    MDB_txn* txn = nullptr;
    MDB_dbi dbi = 0;
};

// The floor: one read transaction and one cursor stepping with MDB_NEXT, copying every record.
void bareLmdbWalk(benchmark::State& state) {
    BareRead r;
    TcamConfigTesselEntry out;
    std::uint64_t visited = 0;
    for (auto _ : state) {
        visited = 0;
        mdb_txn_reset(r.txn);
        VornBench::ScratchLmdb::check(mdb_txn_renew(r.txn), "mdb_txn_renew");
        MDB_cursor* cursor = nullptr;
        VornBench::ScratchLmdb::check(mdb_cursor_open(r.txn, r.dbi, &cursor), "mdb_cursor_open");
        MDB_val k, v;
        for (int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST); rc == 0;
             rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
            std::memcpy(&out, v.mv_data, std::min(sizeof(out), v.mv_size));
            benchmark::DoNotOptimize(out);
            ++visited;
        }
        mdb_cursor_close(cursor);
    }
    perItem(state, visited);
}

// A walk that finds its place again from the last key on every step (a renewed read
// transaction and an MDB_SET_RANGE seek per record), as a walk must that tolerates changes
// between steps.
void bareLmdbSeekWalk(benchmark::State& state) {
    BareRead r;
    mdb_txn_reset(r.txn);
    TcamConfigTesselEntry out;
    std::uint64_t visited = 0;
    for (auto _ : state) {
        visited = 0;
        std::string last;
        bool first = true;
        for (;;) {
            VornBench::ScratchLmdb::check(mdb_txn_renew(r.txn), "mdb_txn_renew");
            MDB_cursor* cursor = nullptr;
            VornBench::ScratchLmdb::check(mdb_cursor_open(r.txn, r.dbi, &cursor), "mdb_cursor_open");
            MDB_val k{last.size(), last.data()}, v;
            int rc = first ? mdb_cursor_get(cursor, &k, &v, MDB_FIRST) : mdb_cursor_get(cursor, &k, &v, MDB_SET_RANGE);
            if (rc == 0 && !first && k.mv_size == last.size() && std::memcmp(k.mv_data, last.data(), last.size()) == 0)
                rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT);
            if (rc == 0) {
                std::memcpy(&out, v.mv_data, std::min(sizeof(out), v.mv_size));
                benchmark::DoNotOptimize(out);
                last.assign(static_cast<char const*>(k.mv_data), k.mv_size);
                ++visited;
            }
            mdb_cursor_close(cursor);
            mdb_txn_reset(r.txn);
            first = false;
            if (rc != 0) break;
        }
    }
    perItem(state, visited);
}

}  // namespace

BENCHMARK(mergedIteration)->Unit(benchmark::kMillisecond);
BENCHMARK(bareLmdbWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(bareLmdbSeekWalk)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::string const ns = "bench-iteration-" + std::to_string(::getpid());
    QelSharedMem::namespaceIs(ns);
    // Held as the agent holds it: the only writer of the namespace.
    auto lock = std::make_unique<QelSharedMem::NamespaceLock>(ns);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gFixture.reset();
    QelSharedMem::closeEnvironment();
    QelSharedMem::removeNamespace(ns);
    lock.reset();
    return 0;
}
