// A full switch: 8 units, each with 65,536 key and 65,536 action entries (1,048,576 entries),
// programmed into fresh shared memory by one agent, then an agent restart with the identical
// desired state (mount, restore, mark, identical rewrite, sweep, until every handle completes).
//
// - switch/program: total seconds (wall and CPU) of the cold programming;
// - switch/restart: total seconds of the warm restart, and of its phases (counters "start_s":
//   the runtime's start with its mounts; "bringUp_s": every unit's mounts, restore and mark;
//   "write_s": the desired state written again; "sweep_s"; "settle_s": until every handle
//   completes);
// - resident memory of the agent process per entry after the cold programming (counter
//   "rss_bytes_per_entry": growth of the resident set over the run, divided by the entries).
// One iteration each: the figures are of one whole-switch run.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "agent/runtime/Programmer.h"
#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredStateGenerate.h"
#include "contracts/qel/Entity.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"

namespace {

using VornTcamAgent::Runtime;
using VornTcamAgent::RuntimeOptions;

constexpr std::uint32_t kUnits = 8;
constexpr std::uint32_t kEntriesPerTable = 65536;

// InLif pools that hold every unit's keys at once (about one key per four action entries).
RuntimeOptions agentOptions() {
    return RuntimeOptions{
        .inLif = {
            .inLif0PoolSize = 0x80000, .inLif23PoolSize = 0x80000, .inLif0Base = 0x100000, .inLif23Base = 0x200000}};
}

std::vector<Asic::UnitId> units() {
    std::vector<Asic::UnitId> u;
    for (std::uint32_t i = 0; i < kUnits; ++i) u.push_back(static_cast<Asic::UnitId>(i));
    return u;
}

double residentBytes() {
    long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

void settle(Runtime& runtime) {
    runtime.runUntilIdle();
    while (runtime.hardware().step() > 0) runtime.runUntilIdle();
}

void stopAgent(std::unique_ptr<Runtime>& runtime) {
    runtime.reset();
    Qel::Entity::singletonDelAll();
    QelSharedMem::closeEnvironment();
}

// The whole run happens in the first benchmark; the second reports what it measured.
struct SwitchRun {
    double programSeconds = 0, programCpuSeconds = 0;
    double restartSeconds = 0, restartCpuSeconds = 0;
    // The warm restart's phases, in seconds (wall).
    double startSeconds = 0, bringUpSeconds = 0, writeSeconds = 0, sweepSeconds = 0, settleSeconds = 0;
    double rssPerEntry = 0;
    std::string error;
};

double now(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

SwitchRun runSwitch() {
    SwitchRun run;
    std::string const ns = "bench-switch-" + std::to_string(::getpid());
    QelSharedMem::closeEnvironment();
    QelSharedMem::namespaceIs(ns);
    QelSharedMem::NamespaceLock const lock(ns);  // held as the agent holds it: the only writer
    auto const desired = VornTcamAgent::generate(units(), kEntriesPerTable, 1, agentOptions().inLif.inLif0PoolSize);
    double const entries = 2.0 * kUnits * kEntriesPerTable;
    double const rssBefore = residentBytes();

    double wall = now(CLOCK_MONOTONIC), cpu = now(CLOCK_PROCESS_CPUTIME_ID);
    auto runtime = std::make_unique<Runtime>(agentOptions());
    for (Asic::UnitId u : units()) runtime->bringUp(u);
    {
        VornTcamAgent::Programmer programmer(*runtime);
        programmer.write(desired);
        settle(*runtime);
        if (!programmer.allAnswered() || programmer.totalWritten() != static_cast<std::uint64_t>(entries))
            run.error = "the cold programming did not complete";
    }
    run.programSeconds = now(CLOCK_MONOTONIC) - wall;
    run.programCpuSeconds = now(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    run.rssPerEntry = (residentBytes() - rssBefore) / entries;
    stopAgent(runtime);

    wall = now(CLOCK_MONOTONIC);
    cpu = now(CLOCK_PROCESS_CPUTIME_ID);
    double mark = wall;
    auto const phase = [&mark](double& seconds) {
        double const t = now(CLOCK_MONOTONIC);
        seconds = t - mark;
        mark = t;
    };
    runtime = std::make_unique<Runtime>(agentOptions());
    phase(run.startSeconds);
    for (Asic::UnitId u : units()) runtime->bringUp(u);
    phase(run.bringUpSeconds);
    {
        VornTcamAgent::Programmer programmer(*runtime);
        programmer.write(desired);
        phase(run.writeSeconds);
        runtime->sweepAll();
        phase(run.sweepSeconds);
        settle(*runtime);
        phase(run.settleSeconds);
        if (run.error.empty() && !programmer.allAnswered()) run.error = "the warm restart did not complete";
    }
    run.restartSeconds = now(CLOCK_MONOTONIC) - wall;
    run.restartCpuSeconds = now(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    stopAgent(runtime);
    QelSharedMem::removeNamespace(ns);
    return run;
}

SwitchRun const& switchRun() {
    static SwitchRun const run = runSwitch();
    return run;
}

void report(benchmark::State& state, double seconds, double cpuSeconds) {
    for (auto _ : state) state.SetIterationTime(seconds);
    auto const& run = switchRun();
    if (!run.error.empty()) state.SkipWithError(run.error.c_str());
    state.counters["seconds"] = seconds;
    state.counters["cpu_seconds"] = cpuSeconds;
    state.counters["entries"] = 2.0 * kUnits * kEntriesPerTable;
    state.counters["rss_bytes_per_entry"] = run.rssPerEntry;
}

void switchProgram(benchmark::State& state) {
    auto const& run = switchRun();
    report(state, run.programSeconds, run.programCpuSeconds);
}

void switchRestart(benchmark::State& state) {
    auto const& run = switchRun();
    report(state, run.restartSeconds, run.restartCpuSeconds);
    state.counters["start_s"] = run.startSeconds;
    state.counters["bringUp_s"] = run.bringUpSeconds;
    state.counters["write_s"] = run.writeSeconds;
    state.counters["sweep_s"] = run.sweepSeconds;
    state.counters["settle_s"] = run.settleSeconds;
}

}  // namespace

BENCHMARK(switchProgram)->Name("switch/program")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(switchRestart)->Name("switch/restart")->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
