#pragma once
// Shared set-up of the software-table tests (write, commit, mark and sweep, status, reads,
// restore, linkage): one agent run with a private shared-memory namespace, a state database, a
// group whose resolver runs only when a test calls processQueues(), the software-table set and
// status of the table, and one unit's entry log and software table with a recording hook
// object. The action table also gets its InLif linkage and a resource table, outside the
// agent, that resolves handles when the test's event loop runs. One typed fixture serves both
// table families; restart() ends the run and starts another on the same shared memory.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "contracts/asic/GroupInterface.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/qel/EventLoop.h"
#include "contracts/qel/Trace.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"
#include "linkage/TcamActionResourceTableLinkage.h"
#include "swtable/TcamActionSwTable.h"
#include "swtable/TcamSwTable.h"
#include "tests/support/ShmNamespace.h"

namespace VornTest {

namespace Tm = VornTunnelTcamMgr;
using Asic::EntryState;
using HandlePtr = Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const>;

inline constexpr char kSwAgent[] = "VornTunnelNi";
inline constexpr char kSwGroup[] = "VornTunnelTcamMgrGroup";
inline constexpr Asic::UnitId kSwUnit = 5;

// A request of another table that a request may depend on; the test sets its state.
class TestDependency : public Asic::DependencyEntryHandle {
  public:
    static constexpr std::uint32_t kOtherTable = 0x1B080499;
    explicit TestDependency(Asic::LogVersion version = 7) : version_(version) {}
    Asic::TableVersion entryTableVersion() const override { return {Asic::SwTableId(kOtherTable), version_}; }

  private:
    Asic::LogVersion version_;
};

template <typename Table>
struct SwFamily;

template <>
struct SwFamily<Tm::TcamSwTable> {
    using Log = Tm::TcamEntryLog;
    using Key = Tm::TcamEntryKey;
    using Entry = Tm::TcamEntry;
    using Wrapper = Tm::TcamEntryWrapper;
    using ResolverEntry = Tm::TcamResolverEntry;
    using Helper = Tm::TcamSwTableHelperBase;
    static constexpr bool kAction = false;
    static constexpr std::uint32_t kTableId = 0x1B080401;
    static constexpr char kTableName[] = "Tcam";

    static Key key(std::uint32_t n) {
        Key k;
        k.vrfId = n;
        k.addressFamily = 4;
        k.dstAddr[0] = 10;
        k.dstAddr[3] = static_cast<std::uint8_t>(n);
        return k;
    }
    // `value` tells entries of one key apart.
    static Entry entry(std::uint32_t n, std::uint16_t value = 1) {
        Entry e;
        e.logEntry.key = key(n);
        e.logEntry.actionKey.actionId = 100 + n;
        e.logEntry.priority = value;
        return e;
    }
};

template <>
struct SwFamily<Tm::TcamActionSwTable> {
    using Log = Tm::TcamActionEntryLog;
    using Key = Tm::TcamActionEntryKey;
    using Entry = Tm::TcamActionEntry;
    using Wrapper = Tm::TcamActionEntryWrapper;
    using ResolverEntry = Tm::TcamActionResolverEntry;
    using Helper = Tm::TcamActionSwTableHelperBase;
    static constexpr bool kAction = true;
    static constexpr std::uint32_t kTableId = 0x1B080402;
    static constexpr char kTableName[] = "TcamAction";

    static Key key(std::uint32_t n) { return Key{n}; }
    // Without an InLif key the entry needs no resource.
    static Entry entry(std::uint32_t n, std::uint16_t value = 1) {
        Entry e;
        e.logEntry.key.actionId = n;
        e.logEntry.decapType = 1;
        e.logEntry.vrfId = value;
        return e;
    }
};

// A hook object that records every call and answers finalizeOnFailure and
// finalizeOnResourceUpdate as told.
template <typename Table>
class RecordingHelper : public SwFamily<Table>::Helper {
  public:
    using Wrapper = typename SwFamily<Table>::Wrapper;
    using Key = typename SwFamily<Table>::Key;

    void finalizeOnSuccess(Lumo::Ptr<Wrapper> const& entry, bool isDelete, Lumo::Ptr<Table> const&) override {
        successes.emplace_back(entry->key(), isDelete);
        successEntries.push_back(entry->entry());
    }
    bool finalizeOnFailure(Lumo::Ptr<Wrapper> const& entry, bool isDelete, Lumo::Ptr<Table> const&) override {
        failures.emplace_back(entry->key(), isDelete);
        return failureAnswer;
    }
    bool finalizeOnResourceUpdate(Lumo::Ptr<Wrapper> const& entry, Lumo::Ptr<Table> const&,
                                  bool someResourceHasFailed) override {
        updated.push_back(entry);
        failedFlags.push_back(someResourceHasFailed);
        return resourceAnswer;
    }

    bool failureAnswer = false;
    bool resourceAnswer = true;
    std::vector<Lumo::Ptr<Wrapper>> updated;
    std::vector<bool> failedFlags;
    std::vector<std::pair<Key, bool>> successes;
    std::vector<typename SwFamily<Table>::Entry> successEntries;
    std::vector<std::pair<Key, bool>> failures;
};

template <typename Table>
class SwTableFixture : public ::testing::Test {
  protected:
    using Fam = SwFamily<Table>;
    using Key = typename Fam::Key;
    using Entry = typename Fam::Entry;
    using Log = typename Fam::Log;
    using Handle = typename Table::EntryHandle;
    using ResourceTable = VornTunnelNiLib::InLifIndexResourceTable;

    void SetUp() override {
        if constexpr (Fam::kAction) resTable_ = Lumo::make<ResourceTable>(&loop_, resConfig_);
        start();
    }
    void TearDown() override {
        stop();
        loop_.runUntilIdle();
        resTable_ = nullptr;
    }

    Asic::SwTableId tableId() const { return Asic::SwTableId(Fam::kTableId); }

    // Starts an agent run: state database, group, set and status, entry log, the unit's table.
    void start() {
        entityManager_ = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
        group_ = Lumo::make<Asic::GroupInterface>(kSwAgent, kSwGroup, 0x1B08, entityManager_, nullptr);
        status_ = Lumo::make<Asic::OrderedSwTableStatus>(tableId());
        set_ = Lumo::make<Asic::OrderedSwTableSet>(tableId(), status_);
        group_->swTableSetIs(set_);
        log_ = Lumo::make<Log>(tableId(), entityManager_, group_, Lumo::String(kSwAgent));
        log_->mountTesselConfig(kSwUnit, 0);
        auto name = Lumo::make<Asic::CanonicalTableName>(Asic::kOrderedSwTableType, kSwGroup, "VornTunnelTcamMgr",
                                                         Fam::kTableName);
        table_ = Lumo::make<Table>(name, tableId(), kSwUnit, set_.ptr(), log_, group_->groupResolver());
        table_->statusIs(status_);
        set_->swTableIs(table_);
        helper_ = Lumo::make<RecordingHelper<Table>>();
        table_->swTableHelperIs(helper_);
        if constexpr (Fam::kAction) {
            client_ = resTable_->makeClientInstance();
            table_->inLifIndexLinkageIs(Tm::tcamActionInLifIndexLinkageFactory(table_.ptr(), client_));
        }
    }
    // Drops every object of the run; the group lets go of its tables and queued requests.
    void stop() {
        if (group_) group_->shutdown();
        if constexpr (Fam::kAction) {
            if (table_) table_->inLifIndexLinkageIs(nullptr);
            client_ = nullptr;
        }
        table_ = nullptr;
        helper_ = nullptr;
        set_ = nullptr;
        status_ = nullptr;
        log_ = nullptr;
        group_ = nullptr;
        entityManager_ = nullptr;
    }
    // An agent restart: the shared-memory files stay and are mounted again by the new run.
    void restart() {
        stop();
        shm_.restart();
        start();
    }

    static Key key(std::uint32_t n) { return Fam::key(n); }
    static Entry entry(std::uint32_t n, std::uint16_t value = 1) { return Fam::entry(n, value); }

    Asic::GroupResolver& resolver() const { return *group_->groupResolver(); }
    Asic::SwTableStats& stats() const { return *table_->stats(); }

    Lumo::Ptr<Handle const> write(std::uint32_t n, std::uint16_t value = 1,
                                  Lumo::Ptr<Asic::DependencyEntryHandle const> const& dep = nullptr) {
        return table_->entryWrite(key(n), entry(n, value), dep);
    }
    Lumo::Ptr<Handle const> remove(std::uint32_t n, Lumo::Ptr<Asic::DependencyEntryHandle const> const& dep = nullptr) {
        return table_->entryRemove(key(n), dep);
    }
    // Resolves resources and commits every request that can commit; returns the commits.
    std::uint64_t commitAll() {
        std::uint64_t commits = 0;
        for (int i = 0; i < 10; ++i) {
            loop_.runUntilIdle();
            std::uint64_t const n = resolver().processQueues();
            commits += n;
            if (n == 0 && loop_.idle()) break;
        }
        return commits;
    }
    // Logs a committed entry straight into the entry log.
    Asic::LogVersion logDirect(std::uint32_t n, std::uint16_t value = 1) {
        Entry const e = entry(n, value);
        return log_->entryIs(e.logEntry, e.rsrcKeys, Lumo::make<Asic::NeededEntry>(), kSwUnit, nullptr, false);
    }
    // The unit's configuration table.
    auto& config() const { return log_->tableConfigTessel(kSwUnit)->swTableEntries(); }
    // The committed record of a key, or the default entry.
    typename Fam::Log::LogEntry committed(std::uint32_t n) const { return log_->entry(key(n), kSwUnit); }

    // A resolver entry for a request made by hand (not queued with the resolver).
    Lumo::Ptr<typename Fam::ResolverEntry> resolverEntry(Asic::EntryFlags flags,
                                                         Lumo::Ptr<Asic::DependencyEntryHandle const> const& dep) {
        auto handle = Table::entryHandleFactory(Asic::EntryVersion(0, 0), key(1), table_.ptr());
        auto wrapper = Lumo::make<typename Fam::Wrapper>(entry(1), handle);
        return Lumo::make<typename Fam::ResolverEntry>(dep, flags, table_.ptr(), wrapper);
    }

    // Response handlers that record the handles they were called with, in call order.
    Tm::ResponseHandler recorder() {
        return [this](HandlePtr const& h) { responses_.push_back(h); };
    }

    ScopedShmNamespace shm_;
    Qel::EventLoop loop_;
    VornTunnelNiLib::InLifIndexResourceTableConfig resConfig_{64, 64, 100, 5000};
    Lumo::Ptr<ResourceTable> resTable_;
    Lumo::Ptr<Ledra::EntityManager> entityManager_;
    Lumo::Ptr<Asic::GroupInterface> group_;
    Lumo::Ptr<Asic::OrderedSwTableStatus> status_;
    Lumo::Ptr<Asic::OrderedSwTableSet> set_;
    Lumo::Ptr<Log> log_;
    Lumo::Ptr<RecordingHelper<Table>> helper_;
    Lumo::Ptr<ResourceTable::ClientInstance> client_;
    Lumo::Ptr<Table> table_;
    std::vector<HandlePtr> responses_;
};

using SwTableTypes = ::testing::Types<Tm::TcamSwTable, Tm::TcamActionSwTable>;

}  // namespace VornTest
