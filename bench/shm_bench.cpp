// The shared-memory keyed collections against the bare-LMDB floor: a write in its own
// transaction, the entry log's three-write transaction, a lookup and a step.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "bench/LmdbFloor.h"
#include "contracts/shm/Environment.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/types/TcamTessel.h"

namespace {

using VornTunnelTcamMgr::TcamConfigTesselEntry;
using VornTunnelTcamMgr::TcamLogTesselEntry;

constexpr std::uint64_t kKeys = VornBench::kFloorKeys;

template <typename T>
Lumo::Ptr<T> mount(std::string const& path, std::uint32_t size) {
    auto manager = QelSharedMem::EntityManager::getEntityManager("BenchEm", true);
    QelTessel::MountInfo info(QelTessel::QelTesselType::keyed);
    info.collectionInfoIs(QelTessel::CollectionInfo{T::kCollectionName, size, false});
    manager->getMountGroup().doMount(path, T::kTypeName, info);
    return Lumo::ptr_cast<T>(manager->getEntity(path));
}

// A change log holding kKeys records (64 bytes each, as the floor's).
Lumo::Ptr<VornTunnelTcamMgr::TcamEntryLogTessel> filledLog() {
    static_assert(sizeof(TcamLogTesselEntry) == VornBench::kFloorRecordSize);
    auto log = mount<VornTunnelTcamMgr::TcamEntryLogTessel>("bench/entryLog", 1000000);
    if (log->entryLogConfig().size() < kKeys) {
        QelSharedMem::WriteTransaction txn;
        for (std::uint64_t v = 0; v < kKeys; ++v) {
            TcamLogTesselEntry r;
            r.version = v;
            log->entryLogConfigIs(r);
        }
    }
    return log;
}

void collectionSet(benchmark::State& state) {
    auto log = filledLog();
    TcamLogTesselEntry r;
    std::uint64_t n = 0;
    for (auto _ : state) {
        r.version = n++ % kKeys;
        log->entryLogConfigIs(r);
    }
    state.SetItemsProcessed(state.iterations());
}

// The entry log's unit of work: configuration record, change-log record and scratchpad.
void entryLogTransaction(benchmark::State& state) {
    auto log = filledLog();
    auto config = mount<VornTunnelTcamMgr::TcamConfigTessel>("bench/config/unit1", 65536);
    auto control = log->collectionControl();
    TcamLogTesselEntry change;
    TcamConfigTesselEntry record;
    std::uint64_t n = 0;
    for (auto _ : state) {
        change.version = n % kKeys;
        record.logEntry.key.vrfId = static_cast<std::uint32_t>(n % 4096);
        record.logVersion = n;
        QelSharedMem::WriteTransaction txn;
        config->swTableEntriesIs(record);
        log->entryLogConfigIs(change);
        control->scratchpadIs(n++);
    }
    state.SetItemsProcessed(state.iterations());
}

void collectionFind(benchmark::State& state) {
    auto log = filledLog();
    auto& changes = log->entryLogConfig();
    std::uint64_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(changes.find(n++ * 7919 % kKeys));
    state.SetItemsProcessed(state.iterations());
}

void collectionAfter(benchmark::State& state) {
    auto log = filledLog();
    auto& changes = log->entryLogConfig();
    Asic::LogVersion v = 0;
    for (auto _ : state) {
        auto next = changes.after(v);
        v = next ? next->version : 0;
        benchmark::DoNotOptimize(next);
    }
    state.SetItemsProcessed(state.iterations());
}

void scratchpadIs(benchmark::State& state) {
    auto control = filledLog()->collectionControl();
    std::uint64_t n = 0;
    for (auto _ : state) control->scratchpadIs(n++);
    state.SetItemsProcessed(state.iterations());
}

// The check every environment open makes (a forked child audits the page structure, then reads
// every record): here of a file holding a change log of kKeys records and a full configuration
// table of 65,536 records. Reported per stored record.
void environmentCheck(benchmark::State& state) {
    auto log = filledLog();
    auto config = mount<VornTunnelTcamMgr::TcamConfigTessel>("bench/config/unit2", 65536);
    if (config->swTableEntries().size() < 65536) {
        QelSharedMem::WriteTransaction txn;
        TcamConfigTesselEntry record;
        for (std::uint32_t n = 0; n < 65536; ++n) {
            record.logEntry.key.vrfId = n;
            config->swTableEntriesIs(record);
        }
    }
    std::uint64_t const records = log->entryLogConfig().size() + config->swTableEntries().size();
    Lumo::String const path = QelSharedMem::environmentPath(QelSharedMem::namespaceName());
    for (auto _ : state) benchmark::DoNotOptimize(QelSharedMem::environmentFileDamage(path, QelSharedMem::kMapSize));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    state.counters["records"] = static_cast<double>(records);
}

}  // namespace

BENCHMARK(environmentCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(VornBench::lmdbFloorPut);
BENCHMARK(collectionSet);
BENCHMARK(entryLogTransaction);
BENCHMARK(scratchpadIs);
BENCHMARK(VornBench::lmdbFloorGet);
BENCHMARK(collectionFind);
BENCHMARK(collectionAfter);

int main(int argc, char** argv) {
    VornTunnelTcamMgr::registerTcamTesselTypes();
    std::string const ns = "bench-" + std::to_string(::getpid());
    QelSharedMem::namespaceIs(ns);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    QelSharedMem::closeEnvironment();
    QelSharedMem::removeNamespace(ns);
    return 0;
}
