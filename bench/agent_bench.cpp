// The whole agent in one process (event loop, resolver, InLif resources, simulated hardware),
// next to bare-LMDB floors measured in the same run:
//
// - program/<table>/<n>: n entries of one table on one unit, from the write to the completion
//   of every handle (commit, log, hardware status, cleanup); the unit starts each iteration
//   empty. Action entries need InLif resources (four entries per InLif key).
//   Floor: floor/commit/<table>/<n>, one bare write transaction per entry with the same records.
// - restart/<n>: a restart of an agent whose unit holds n key and n action entries: runtime
//   start (change-log mounts and cleanup), unit bring-up (mount, restore, mark), identical
//   rewrite of the whole desired state, sweep, until every handle completes. Per entry of
//   either table. Floor: floor/restoreWalk/<n>, reopen a bare environment and copy every
//   configuration record out. restart/Tcam/<n>: the same with n key entries and no action
//   entries (no InLif resources). Both report the CPU time of each phase per entry.
// - shmBytes/<n>: shared-memory pages in use after programming n key and n action entries,
//   per entry, next to the pages of a bare environment after the same records went through
//   the floor's commits.
//
// Every benchmark works in a shared-memory namespace of its own and removes it at the end.
// Per-entry figures are the "per_item" counter (CPU time per entry) with "items" entries per
// iteration.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "agent/runtime/Programmer.h"
#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredStateGenerate.h"
#include "bench/EntryFloor.h"
#include "contracts/asic/GroupResolver.h"
#include "contracts/qel/Entity.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"

namespace {

using VornTcamAgent::Runtime;
using VornTcamAgent::RuntimeOptions;
using VornTcamAgent::TableKind;
using VornTunnelTcamMgr::TcamActionEntry;
using VornTunnelTcamMgr::TcamEntry;

constexpr Asic::UnitId kUnit = 0;

// InLif pools large enough for a full unit of action entries with a key each.
RuntimeOptions agentOptions() { return RuntimeOptions{.inLif = {.inLif0PoolSize = 65536, .inLif23PoolSize = 65536}}; }

// A namespace of the benchmark's own for its lifetime; everything mounted in it must be
// released before it goes.
class Namespace {
  public:
    explicit Namespace(char const* what) {
        static std::atomic<unsigned> counter{0};
        name_ = std::string("bench-agent-") + what + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        QelSharedMem::closeEnvironment();
        QelSharedMem::namespaceIs(name_);
        lock_.emplace(name_);  // held as the agent holds it: the only writer of the namespace
    }
    ~Namespace() {
        Qel::Entity::singletonDelAll();
        QelSharedMem::closeEnvironment();
        QelSharedMem::removeNamespace(name_);
    }
    Namespace(Namespace const&) = delete;
    Namespace& operator=(Namespace const&) = delete;

  private:
    std::string name_;
    std::optional<QelSharedMem::NamespaceLock> lock_;
};

// Ends an agent process's life (its memory), leaving shared memory as it is.
void stopAgent(std::unique_ptr<Runtime>& runtime) {
    runtime.reset();
    Qel::Entity::singletonDelAll();
    QelSharedMem::closeEnvironment();
}

// Runs the agent until nothing is left to do. The simulated hardware can stop rescheduling
// itself while changes are still queued (when a table's queue empties exactly as a task reaches
// its batch limit, tables not yet visited in that task are forgotten), so it is stepped again
// until it has nothing left to apply.
void settle(Runtime& runtime) {
    runtime.runUntilIdle();
    while (runtime.hardware().step() > 0) runtime.runUntilIdle();
}

void perItem(benchmark::State& state, std::uint64_t itemsPerIteration) {
    auto const items = static_cast<double>(state.iterations() * itemsPerIteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
    state.counters["per_item"] = benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["items"] = static_cast<double>(itemsPerIteration);
}

TcamEntry keyEntry(std::uint32_t n) {
    TcamEntry e;
    e.logEntry.key.vrfId = n;
    e.logEntry.key.tunnelType = 1;
    e.logEntry.key.addressFamily = 4;
    e.logEntry.key.dstAddr = {10, static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                              static_cast<std::uint8_t>(n)};
    e.logEntry.actionKey.actionId = n % 1024 + 1;
    e.logEntry.priority = 1;
    return e;
}

TcamActionEntry actionEntry(std::uint32_t n) {
    TcamActionEntry e;
    e.keyIs({n + 1});
    e.logEntry.decapType = 1;
    e.logEntry.vrfId = n % 4096;
    e.rsrcKeys.inLifKey = VornInLif::InLifKey{n / 4 + 1, 1};
    return e;
}

template <TableKind kKind>
void program(benchmark::State& state) {
    auto const n = static_cast<std::uint32_t>(state.range(0));
    Namespace ns("program");
    auto runtime = std::make_unique<Runtime>(agentOptions());
    auto const& unit = runtime->bringUp(kUnit);
    std::uint64_t done = 0;
    auto const handler = [&done](Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& h) {
        if (h->entryState() == Asic::EntryState::done) ++done;
    };
    for (auto _ : state) {
        state.PauseTiming();
        if constexpr (kKind == TableKind::tcam) {
            unit.tcam->entryRemoveAll(nullptr);
        } else {
            unit.action->entryRemoveAll(nullptr);
        }
        settle(*runtime);
        done = 0;
        state.ResumeTiming();
        for (std::uint32_t i = 0; i < n; ++i) {
            if constexpr (kKind == TableKind::tcam) {
                TcamEntry const e = keyEntry(i);
                unit.tcam->entryWriteWithResponseHandler(e.key(), e, nullptr, handler);
            } else {
                TcamActionEntry const e = actionEntry(i);
                unit.action->entryWriteWithResponseHandler(e.key(), e, nullptr, handler);
            }
        }
        settle(*runtime);
        if (done != n) {
            state.SkipWithError("not every handle completed");
            break;
        }
    }
    perItem(state, n);
    stopAgent(runtime);
}

void floorCommit(benchmark::State& state, VornBench::FloorRecordShape shape, std::uint64_t perTransaction) {
    auto const n = static_cast<std::uint32_t>(state.range(0));
    VornBench::EntryFloor floor;
    for (auto _ : state) {
        state.PauseTiming();
        floor.clear(0);
        state.ResumeTiming();
        floor.commit(shape, 0, 0, n, perTransaction);
    }
    perItem(state, n);
}

// Programs n key and n action entries on the unit (as the agent would, key entries depending
// on their actions) and returns the state.
VornTcamAgent::DesiredState programUnit(Runtime& runtime, std::uint32_t n, benchmark::State& state) {
    VornTcamAgent::DesiredState desired = VornTcamAgent::generate({kUnit}, n, 1);
    VornTcamAgent::Programmer programmer(runtime);
    programmer.write(desired);
    settle(runtime);
    if (!programmer.allAnswered() || programmer.totalWritten() != 2 * std::uint64_t{n}) {
        std::string why = "the first programming did not complete:";
        for (auto const& [id, p] : programmer.allProgress())
            why += fmt::format(" {}: {} written, {} completed, {} failed;", VornTcamAgent::toString(id.first),
                               p.written, p.completed, p.failedKeys.size());
        state.SkipWithError(why.c_str());
    }
    return desired;
}

// CPU time of the process, for the phases of a restart (the benchmark's own timer covers
// the whole restart).
double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A restart of an agent whose unit holds n key entries and, with `withActions`, n action
// entries. Besides the per-entry figure, the CPU time of each phase per entry: runtime start
// (change-log mounts and cleanup), unit bring-up (mounts, restore, mark), the rewrite calls,
// the sweep, and the resolver and hardware work until every handle completes.
void restartOf(benchmark::State& state, bool withActions) {
    auto const n = static_cast<std::uint32_t>(state.range(0));
    Namespace ns("restart");
    auto runtime = std::make_unique<Runtime>(agentOptions());
    auto desired = VornTcamAgent::generate({kUnit}, n, 1);
    if (!withActions) desired.units.front().actionEntries.clear();
    {
        VornTcamAgent::Programmer programmer(*runtime);
        programmer.write(desired);
        settle(*runtime);
        if (!programmer.allAnswered()) state.SkipWithError("the first programming did not complete");
    }
    std::uint64_t const entries = (withActions ? 2 : 1) * std::uint64_t{n};
    double phase[5] = {};
    for (auto _ : state) {
        state.PauseTiming();
        stopAgent(runtime);
        state.ResumeTiming();
        double t0 = cpuSeconds();
        auto lap = [&t0](double& into) {
            double const t = cpuSeconds();
            into += t - t0;
            t0 = t;
        };
        runtime = std::make_unique<Runtime>(agentOptions());
        lap(phase[0]);
        runtime->bringUp(kUnit);
        lap(phase[1]);
        VornTcamAgent::Programmer programmer(*runtime);
        programmer.write(desired);
        lap(phase[2]);
        runtime->sweepAll();
        lap(phase[3]);
        settle(*runtime);
        lap(phase[4]);
        state.PauseTiming();
        auto const& unit = *runtime->unit(kUnit);
        bool const ok = programmer.allAnswered() && unit.tcam->entrys() == n &&
                        unit.action->entrys() == (withActions ? n : 0) && unit.tcam->stats()->suppressedWriteCnt() == n;
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("the restart did not restore and rewrite every entry identically");
            break;
        }
    }
    perItem(state, entries);
    char const* const names[] = {"start_ns", "bringUp_ns", "write_ns", "sweep_ns", "settle_ns"};
    double const perEntry = 1e9 / (static_cast<double>(state.iterations()) * static_cast<double>(entries));
    for (int i = 0; i < 5; ++i) state.counters[names[i]] = phase[i] * perEntry;
    stopAgent(runtime);
}

void restart(benchmark::State& state) { restartOf(state, true); }
void restartTcam(benchmark::State& state) { restartOf(state, false); }

void floorRestoreWalk(benchmark::State& state) {
    auto const n = static_cast<std::uint32_t>(state.range(0));
    VornBench::EntryFloor floor;
    floor.commit(VornBench::kTcamShape, 0, 0, n);
    floor.commit(VornBench::kActionShape, 1, 0, n);
    for (auto _ : state) {
        if (floor.restoreWalk() != 2 * std::uint64_t{n}) {
            state.SkipWithError("records missing");
            break;
        }
    }
    perItem(state, 2 * std::uint64_t{n});
}

// One iteration: the pages in use are a figure of the state, not of time.
void shmBytes(benchmark::State& state) {
    auto const n = static_cast<std::uint32_t>(state.range(0));
    double used = 0, allocated = 0, floorUsed = 0, floorAllocated = 0;
    for (auto _ : state) {
        Namespace ns("bytes");
        auto runtime = std::make_unique<Runtime>(agentOptions());
        programUnit(*runtime, n, state);
        auto const& env = QelSharedMem::processEnvironment();
        used = static_cast<double>(VornBench::EntryFloor::usedBytes(env->handle()));
        allocated = static_cast<double>(VornBench::EntryFloor::allocatedBytes(env->path()));
        stopAgent(runtime);

        VornBench::EntryFloor floor;
        floor.commit(VornBench::kTcamShape, 0, 0, n);
        floor.commit(VornBench::kActionShape, 1, 0, n);
        floorUsed = static_cast<double>(floor.usedBytes());
        floorAllocated = static_cast<double>(VornBench::EntryFloor::allocatedBytes(floor.path()));
    }
    double const entries = 2.0 * n;
    state.counters["entries"] = entries;
    state.counters["used_bytes_per_entry"] = used / entries;
    state.counters["allocated_bytes_per_entry"] = allocated / entries;
    state.counters["floor_used_bytes_per_entry"] = floorUsed / entries;
    state.counters["floor_allocated_bytes_per_entry"] = floorAllocated / entries;
}

// The grouped floor's entries per write transaction: the resolver's group size when the floor was
// defined. It stays fixed, so that the floor is the same yardstick from run to run; the resolver
// now commits in smaller groups, which keeps the change log's peak (and the store) small.
constexpr std::uint64_t kFloorGroup = 4096;

}  // namespace

BENCHMARK(VornBench::lmdbFloorPut);
BENCHMARK(program<TableKind::tcam>)->Name("program/Tcam")->Arg(1024)->Iterations(40)->Unit(benchmark::kMillisecond);
BENCHMARK(program<TableKind::tcam>)->Name("program/Tcam")->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(program<TableKind::action>)
    ->Name("program/TcamAction")
    ->Arg(1024)
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(program<TableKind::action>)
    ->Name("program/TcamAction")
    ->Arg(65536)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorCommit, Tcam, VornBench::kTcamShape, 1)
    ->Name("floor/commit/Tcam")
    ->Arg(1024)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorCommit, TcamAction, VornBench::kActionShape, 1)
    ->Name("floor/commit/TcamAction")
    ->Arg(1024)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond);
// The same records, as many to a write transaction as the group resolver commits together.
BENCHMARK_CAPTURE(floorCommit, TcamGrouped, VornBench::kTcamShape, kFloorGroup)
    ->Name("floor/groupCommit/Tcam")
    ->Arg(1024)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(floorCommit, TcamActionGrouped, VornBench::kActionShape, kFloorGroup)
    ->Name("floor/groupCommit/TcamAction")
    ->Arg(1024)
    ->Arg(65536)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(restart)->Arg(1024)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(restart)->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(restartTcam)->Name("restart/Tcam")->Arg(1024)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(restartTcam)->Name("restart/Tcam")->Arg(65536)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(floorRestoreWalk)->Name("floor/restoreWalk")->Arg(1024)->Arg(65536)->Unit(benchmark::kMillisecond);
BENCHMARK(shmBytes)->Arg(1024)->Arg(65536)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
