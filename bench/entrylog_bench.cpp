// The entry log's operations next to the bare-LMDB put of the same record in the same run:
// entryIs (new key, overwrite, suppressed), entryDel, tableDel of a full unit and cleanup of a
// full change log (first scan and incremental).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "bench/LmdbFloor.h"
#include "contracts/asic/GroupInterface.h"
#include "contracts/ledra/EntityManager.h"
#include "entrylog/TcamEntryLog.h"

namespace {

using VornTunnelTcamMgr::TcamEntryLog;
using VornTunnelTcamMgr::TcamLogEntry;

constexpr Asic::UnitId kUnit = 1;
constexpr std::uint32_t kUnitCapacity = TcamEntryLog::kConfigCapacity;
constexpr std::uint32_t kChangeLogRecords = TcamEntryLog::kChangeLogCapacity;

TcamLogEntry entry(std::uint32_t key, std::uint16_t value = 1) {
    TcamLogEntry e;
    e.key.vrfId = key;
    e.key.addressFamily = 4;
    e.priority = value;
    return e;
}

// One agent run: state database, group (whose log of versions is emptied as the hardware
// side would) and the key table's entry log with one mounted unit, emptied at start.
class Bench {
  public:
    Bench()
        : em_(Lumo::make<Ledra::EntityManager>("BenchEm", true)),
          group_(Lumo::make<Asic::GroupInterface>("VornTunnelNi", "VornTunnelTcamMgrGroup", 0x1B08, em_, nullptr)),
          log_(Lumo::make<TcamEntryLog>(Asic::SwTableId(0x1B080401), em_, group_, "VornTunnelNi")) {
        group_->logEntryListenerIs([this](Asic::SwTableId id) { group_->logEntriesMutable(id).clear(); });
        log_->mountTesselConfig(kUnit, 0);
        reset();
    }

    TcamEntryLog& log() const { return *log_; }
    Asic::LogVersion write(std::uint32_t key, std::uint16_t value = 1, bool suppress = false) {
        return log_->entryIs(entry(key, value), {}, needed_, kUnit, stats_, suppress);
    }
    Asic::LogVersion del(std::uint32_t key) { return log_->entryDel(entry(key).key, needed_, kUnit); }
    Asic::LogVersion tableDel() { return log_->tableDel(needed_, kUnit); }
    // Writes keys [0, n) in one transaction.
    void fill(std::uint32_t n, std::uint16_t value = 1) {
        QelSharedMem::WriteTransaction txn;
        for (std::uint32_t k = 0; k < n; ++k) write(k, value);
    }
    // Empties the unit and the change log.
    void reset() {
        tableDel();
        log_->cleanupEntryLog(log_->tableVersion());
    }

  private:
    Lumo::Ptr<Ledra::EntityManager> em_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<TcamEntryLog> log_;
    Lumo::Ptr<Asic::SwTableStats> stats_ = Lumo::make<Asic::SwTableStats>();
    Lumo::Ptr<Asic::NeededEntry const> needed_ = Lumo::make<Asic::NeededEntry>();
};

// Runs `op(i)` per iteration; every `period` iterations `refresh()` runs untimed.
template <typename Op, typename Refresh>
void timedWithRefresh(benchmark::State& state, std::uint32_t period, Op&& op, Refresh&& refresh) {
    std::uint32_t i = 0;
    for (auto _ : state) {
        if (i == period) {
            state.PauseTiming();
            refresh();
            state.ResumeTiming();
            i = 0;
        }
        op(i++);
    }
    state.SetItemsProcessed(state.iterations());
}

// New keys until the unit is full; then the unit and the change log are emptied (untimed), so
// that the writes also reuse the pages the cleanup freed, as in steady operation.
void entryIsNewKey(benchmark::State& state) {
    Bench b;
    timedWithRefresh(
        state, kUnitCapacity, [&](std::uint32_t k) { b.write(k); }, [&] { b.reset(); });
}

// Rewrites of 4,096 keys; the change log is emptied (untimed) before it fills up.
void entryIsOverwrite(benchmark::State& state) {
    Bench b;
    b.fill(4096);
    timedWithRefresh(
        state, kChangeLogRecords / 2, [&](std::uint32_t i) { b.write(i % 4096, 2); },
        [&] { b.log().cleanupEntryLog(b.log().tableVersion()); });
}

void entryIsSuppressed(benchmark::State& state) {
    Bench b;
    b.write(7);
    for (auto _ : state) benchmark::DoNotOptimize(b.write(7, 1, true));
    state.SetItemsProcessed(state.iterations());
}

void entryDel(benchmark::State& state) {
    Bench b;
    b.fill(4096);
    timedWithRefresh(
        state, 4096, [&](std::uint32_t k) { b.del(k); },
        [&] {
            b.reset();
            b.fill(4096);
        });
}

// Items: records marked.
void tableDelFullUnit(benchmark::State& state) {
    Bench b;
    for (auto _ : state) {
        state.PauseTiming();
        b.reset();
        b.fill(kUnitCapacity);
        state.ResumeTiming();
        b.tableDel();
    }
    state.SetItemsProcessed(state.iterations() * kUnitCapacity);
}

// A full change log: writes over 1,000 keys with every tenth change a deletion, so that the
// cleanup also removes configuration records.
void fillChangeLog(Bench& b) {
    b.reset();
    QelSharedMem::WriteTransaction txn;
    for (std::uint32_t n = 0; n < kChangeLogRecords; ++n) {
        if (n % 10 == 9) {
            b.del(n % 1000);
        } else {
            b.write(n % 1000, static_cast<std::uint16_t>(n));
        }
    }
}

// Items: change-log records removed. `incremental` makes cleanedVersion non-zero first, so the
// cleanup visits version by version instead of scanning.
void cleanupFullChangeLog(benchmark::State& state, bool incremental) {
    Bench b;
    for (auto _ : state) {
        state.PauseTiming();
        fillChangeLog(b);
        Asic::LogVersion const first = b.log().tableVersion() - kChangeLogRecords + 1;
        b.log().cleanupEntryLog(incremental ? first - 1 : 0);
        state.ResumeTiming();
        b.log().cleanupEntryLog(b.log().tableVersion());
    }
    state.SetItemsProcessed(state.iterations() * kChangeLogRecords);
}

}  // namespace

BENCHMARK(VornBench::lmdbFloorPut);
BENCHMARK(entryIsNewKey);
BENCHMARK(entryIsOverwrite);
BENCHMARK(entryIsSuppressed);
BENCHMARK(entryDel);
BENCHMARK(tableDelFullUnit)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(cleanupFullChangeLog, firstScan, false)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_CAPTURE(cleanupFullChangeLog, incremental, true)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    std::string const ns = "bench-entrylog-" + std::to_string(::getpid());
    QelSharedMem::namespaceIs(ns);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QelSharedMem::closeEnvironment();
    QelSharedMem::removeNamespace(ns);
    return 0;
}
