#include "agent/view/StoredView.h"

#include "agent/view/AgentSetup.h"
#include "agent/view/EntryJson.h"
#include "agent/view/StoredTables.h"
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/ReadOnlyView.h"

namespace VornTcamAgent {

namespace {

using QelSharedMem::ReadOnlyView;

// Reads the tables of one view under one request; the entry limit spans all tables.
class ViewReader {
  public:
    ViewReader(ReadOnlyView const& view, StoredViewRequest const& request) : view_(view), request_(request) {}

    template <typename Family>
    void readTable(StoredView& result) {
        if (request_.table && *request_.table != Family::kName) return;
        StoredTable table;
        table.table = Family::kName;
        table.changeLog = readChangeLog<Family>();
        for (StoredUnitPath const& unitPath : storedUnits<Family>(view_)) {
            if (request_.unit && *request_.unit != unitPath.unitId) continue;
            table.units.push_back(readUnit<Family>(unitPath));
        }
        result.tables.push_back(std::move(table));
    }

    bool truncated() const { return truncated_; }

  private:
    template <typename Family>
    StoredChangeLog readChangeLog() const {
        StoredManager const manager = tablesManager();
        Lumo::String const logPath = Family::Constants::tableEntryLogTesselPath();
        StoredChangeLog log;
        if (auto meta = view_.metadata(manager.name, manager.local, logPath)) {
            log.present = true;
            log.wiped = meta->wiped();
            log.scratchpad = meta->scratchpad;
        }
        log.records = view_.recordCount(manager.name, manager.local, logPath);
        auto versionAtEnd = [&](bool backward) {
            std::uint64_t version = 0;
            view_.forEachRecord(manager.name, manager.local, logPath, backward,
                                [&](ReadOnlyView::Record const& stored) {
                                    typename Family::LogRecord record;
                                    if (!decodeRecord(stored, record)) return true;  // look past a damaged record
                                    version = record.version;
                                    return false;
                                });
            return version;
        };
        log.oldestVersion = versionAtEnd(false);
        log.newestVersion = versionAtEnd(true);
        return log;
    }

    template <typename Family>
    StoredUnit readUnit(StoredUnitPath const& unitPath) {
        StoredManager const manager = tablesManager();
        StoredUnit unit;
        unit.unitId = unitPath.unitId;
        if (auto meta = view_.metadata(manager.name, manager.local, unitPath.path)) unit.wiped = meta->wiped();
        unit.corruptRecords = forEachConfigRecord<Family>(view_, unitPath.path, [&](auto const& record) {
            ++(record.inDeletion ? unit.inDeletionCount : unit.liveCount);
            if (!request_.entries) return;
            std::string key = keyText(record.key());
            if (key.compare(0, request_.keyPrefix.size(), request_.keyPrefix) != 0) return;
            if (request_.limit && taken_ >= *request_.limit) {
                truncated_ = true;
                return;
            }
            ++taken_;
            StoredEntry entry{std::move(key), entryJson(entryOf<Family>(record))};
            (record.inDeletion ? unit.inDeletion : unit.live).push_back(std::move(entry));
        });
        return unit;
    }

    ReadOnlyView const& view_;
    StoredViewRequest const& request_;
    std::uint64_t taken_ = 0;
    bool truncated_ = false;
};

}  // namespace

bool knownTable(std::string const& name) { return name == TcamFamily::kName || name == TcamActionFamily::kName; }

StoredView readStoredView(ReadOnlyView const& view, std::string const& nameSpace, StoredViewRequest const& request) {
    StoredView result;
    result.nameSpace = nameSpace;
    result.exists = true;
    result.withEntries = request.entries;
    // The relaunch generation entity (Asic::GenId) keeps its major id in the value "majorId".
    StoredManager const state = stateManager();
    result.relaunchMajorId =
        Ledra::EntityManager::storedValue(view, state.name, state.local, relaunchPath(), "majorId").value_or(0);
    ViewReader reader(view, request);
    reader.readTable<TcamFamily>(result);
    reader.readTable<TcamActionFamily>(result);
    result.truncated = reader.truncated();
    for (ReadOnlyView::Reader const& r : view.otherReaders()) result.readers.push_back({r.pid, r.snapshot, r.behind});
    result.readerSlots = view.readerSlots();
    return result;
}

StoredView readStoredView(std::string const& nameSpace, StoredViewRequest const& request) {
    std::unique_ptr<ReadOnlyView> view = ReadOnlyView::open(nameSpace);
    if (!view) {
        StoredView result;
        result.nameSpace = nameSpace;
        result.withEntries = request.entries;
        return result;
    }
    return readStoredView(*view, nameSpace, request);
}

}  // namespace VornTcamAgent
