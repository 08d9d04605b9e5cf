#pragma once
// EntryLogT<Traits>: the persistent entry log of one table, written once for both tables.
//
// It owns the table's change log (one record per committed change, keyed by log version, with
// the last version written kept in the collection's scratchpad) and the mounted configuration
// table of each unit (the committed record of every key, live or in deletion). Guarantees:
// - every writing operation takes exactly one new log version, consecutive from the version
//   restored at mount, and writes its configuration records, its change-log record and the
//   scratchpad in one shared-memory transaction, so that a crash leaves all of it or none;
// - the group interface learns a version only after its records are committed;
// - a configuration record in deletion keeps the version of the change that deleted it until
//   cleanup (or a mount with a cleaned version) removes it.
// Everything runs on the agent's event-loop thread; nothing is locked.
//
// Traits names one table family:
//   LogEntry, Key, ResourceKeys       the value types (LogEntry has a `key` member)
//   LogRecord, ConfigRecord           the change-log and configuration records
//   ChangeLogTessel, ConfigTessel     the shared-memory table types (with kCollectionName)
//   Constants                         tableEntryLogTesselPath(), configTesselPath(unitId)
//   kTypeName, kChangeLogTypeName, kConfigTypeName, kTableName, kTraceName   names
//   kStoresRsrcKeys                   resource keys are stored and take part in the suppression test
#include <cstdint>

#include "api/Export.h"
#include "contracts/asic/EntryLogBase.h"
#include "contracts/asic/SwTableStats.h"
#include "contracts/qel/HashMap2018.h"
#include "contracts/qel/Trace.h"
#include "contracts/shm/SharedMem.h"
#include "entrylog/EntryLogCapacity.h"
#include "entrylog/EntryLogMessages.h"

namespace VornTunnelTcamMgr {

template <typename Traits>
class VORN_TCAMMGR_API EntryLogT : public Asic::EntryLogBase {
  public:
    static constexpr char const* qelTraceClassName() { return Traits::kTypeName; }
    using LogEntry = typename Traits::LogEntry;
    using Key = typename Traits::Key;
    using ResourceKeys = typename Traits::ResourceKeys;
    using LogRecord = typename Traits::LogRecord;
    using ConfigRecord = typename Traits::ConfigRecord;
    using ChangeLogTessel = typename Traits::ChangeLogTessel;
    using ConfigTessel = typename Traits::ConfigTessel;
    using NeededEntryPtr = Lumo::Ptr<Asic::NeededEntry const>;

    // Attribute ids for change notification, in declaration order.
    enum Attr : Lumo::AttributeId { kTableEntryLog = 1, kTableConfigTessel };

    // Declared sizes (capacities) of the change log's and a configuration table's collection.
    static constexpr std::uint32_t kChangeLogCapacity = VornTunnelTcamMgr::kChangeLogCapacity;
    static constexpr std::uint32_t kConfigCapacity = kConfigTableCapacity;

    // Mounts the change log and restores tableVersion from its scratchpad before returning.
    EntryLogT(Asic::SwTableId tableId, Lumo::Ptr<Ledra::EntityManager> entityManager,
              Lumo::Ptr<Asic::GroupInterface> groupInterface, Lumo::String agentName);
    ~EntryLogT() override;
    char const* typeData() const override { return Traits::kTypeName; }

    void handleInitialized();
    // Mounts the change log, sets tableEntryLog and restores tableVersion from the scratchpad.
    void mountTesselChangeLog();
    // Mounts and registers the unit's configuration table and reads every record of it once, so
    // that damaged records are found and removed before anything else walks the table; with a
    // tableVersion other than 0, drops the records in deletion whose logVersion is at most that
    // version.
    void mountTesselConfig(Asic::UnitId unitId, Asic::LogVersion tableVersion);

    Lumo::Ptr<ChangeLogTessel> const& tableEntryLog() const { return tableEntryLog_; }
    // Tables of this entry log (change log or configuration) found wiped at their mount.
    std::uint32_t wipedMounts() const { return wipedMounts_; }
    // The capacity the change log was mounted with: kChangeLogCapacity outside of tests.
    std::uint32_t changeLogCapacity() const { return changeLogCapacity_; }

    // Tests only: the capacity that change logs mounted from now on declare instead of
    // kChangeLogCapacity, so that a test fills a change log with a few records; 0 restores it.
    static void TEST_changeLogCapacityIs(std::uint32_t capacity) { testChangeLogCapacity_ = capacity; }
    // The capacity configuration tables are mounted with: kConfigCapacity outside of tests.
    static std::uint32_t configCapacity() { return testConfigCapacity_ != 0 ? testConfigCapacity_ : kConfigCapacity; }
    // Tests only: the capacity that configuration tables mounted from now on declare instead of
    // kConfigCapacity, so that a test fills a unit's table with a few entries; 0 restores it.
    static void TEST_configCapacityIs(std::uint32_t capacity) { testConfigCapacity_ = capacity; }

    // The unit's configuration table, or null.
    Lumo::Ptr<ConfigTessel> tableConfigTessel(Asic::UnitId unitId) const { return tableConfigTessel_.get(unitId); }
    bool tableConfigTesselHas(Asic::UnitId unitId) const { return tableConfigTessel_.has(unitId); }
    // Inserts or replaces; a null table removes the unit.
    void tableConfigTesselIs(Asic::UnitId unitId, Lumo::Ptr<ConfigTessel> const& table);
    // Removes the unit and returns its table (null when absent).
    Lumo::Ptr<ConfigTessel> tableConfigTesselDel(Asic::UnitId unitId);
    void tableConfigTesselDelAll();

    // The writing operations. Requires: the unit's configuration table is mounted.
    // Logs `tableEntry` and returns its new log version; with suppressIdenticalWrites, a write
    // equal to the live record is answered with the record's version and changes nothing.
    Asic::LogVersion entryIs(LogEntry const& tableEntry, ResourceKeys const& rsrcKeys,
                             NeededEntryPtr const& neededEntry, Asic::UnitId unitId,
                             Lumo::Ptr<Asic::SwTableStats> const& stats, bool suppressIdenticalWrites);
    // Marks the key's record in deletion under a new version; 0 when the key has no record.
    Asic::LogVersion entryDel(Key const& key, NeededEntryPtr const& neededEntry, Asic::UnitId unitId);
    // Marks every live record of the unit in deletion under one new version.
    Asic::LogVersion tableDel(NeededEntryPtr const& neededEntry, Asic::UnitId unitId);

    // The reading operations. Requires: the unit's configuration table is mounted.
    LogEntry entry(Key const& key, Asic::UnitId unitId) const;
    bool entryHas(Key const& key, Asic::UnitId unitId) const;
    ResourceKeys entryRsrcKeys(Key const& key, Asic::UnitId unitId) const;
    Asic::LogVersion entryLogVersion(Key const& key, Asic::UnitId unitId) const;
    std::uint32_t entrysInDeletion(Asic::UnitId unitId) const;
    std::uint32_t entrys(Asic::UnitId unitId) const;

    // Removes the change-log records up to `tableVersion` and the configuration records they
    // deleted; afterwards cleanedVersion equals `tableVersion`.
    void cleanupEntryLog(Asic::LogVersion tableVersion);

    // The module's trace handle (named by Traits::kTraceName).
    static Qel::TraceHandle& trace();

  private:
    template <typename Table>
    Lumo::Ptr<Table> mountTable(char const* typeName, Lumo::String const& path, char const* collection,
                                std::uint32_t capacity, char const* item);
    ConfigTessel& requiredConfig(Asic::UnitId unitId) const;
    Asic::LogVersion suppressedVersion(ConfigTessel const& cfg, LogEntry const& tableEntry,
                                       ResourceKeys const& rsrcKeys, Asic::SwTableStats* stats) const;
    template <typename ConfigWrites>
    Asic::LogVersion commitChange(ConfigWrites&& configWrites, LogRecord const& change,
                                  NeededEntryPtr const& neededEntry);
    // Walks every record of the unit's configuration table once, dropping the records in deletion
    // whose version the hardware has applied (`tableVersion`; 0: unknown, nothing dropped). A
    // damaged record ends the walk, and its report removes every damaged record of the table
    // (when the walk's transaction ends); the walk is then made once more.
    void settleConfig(ConfigTessel& cfg, Asic::LogVersion tableVersion);
    // The first cleanup's walk of the whole change log; false when corruption cut it short.
    bool cleanupWalk(Asic::LogVersion tableVersion);
    void takeChangeRecord(LogRecord const& change);
    void applyRemovedChange(LogRecord const& change);

    static EntryLogMessages const messages_;
    static inline std::uint32_t testChangeLogCapacity_ = 0;
    static inline std::uint32_t testConfigCapacity_ = 0;

    std::uint32_t changeLogCapacity_ = kChangeLogCapacity;
    std::uint32_t wipedMounts_ = 0;

    Lumo::Ptr<ChangeLogTessel> tableEntryLog_;
    Lumo::Ptr<QelTessel::CollectionControl> changeLogControl_;
    Qel::HashMap2018<Asic::UnitId, Lumo::Ptr<ConfigTessel>> tableConfigTessel_;
};

}  // namespace VornTunnelTcamMgr
