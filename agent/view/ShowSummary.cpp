#include "agent/view/ShowSummary.h"

#include <fmt/format.h>

#include "contracts/shm/SharedMem.h"

namespace VornTcamAgent {

namespace {

void appendEntries(std::string& out, char const* what, std::vector<StoredEntry> const& entries) {
    if (entries.empty()) return;
    out += fmt::format("    {} ({} shown):\n", what, entries.size());
    for (auto const& e : entries) out += fmt::format("      {}  {}\n", e.key, e.entry.dump());
}

void appendChangeLog(std::string& out, StoredChangeLog const& log) {
    if (!log.present) {
        out += "  change log: not stored\n";
        return;
    }
    out += fmt::format("  change log: {} records", log.records);
    if (log.records) out += fmt::format(", versions {} to {}", log.oldestVersion, log.newestVersion);
    out += fmt::format(", scratchpad {}{}\n", log.scratchpad, log.wiped ? ", WIPED" : "");
}

// The readers of other processes, and which of them keep pages from being reused.
void appendReaders(std::string& out, StoredView const& view) {
    if (view.readers.empty()) return;
    out += fmt::format("readers (other processes, {} of {} slots):\n", view.readers.size(), view.readerSlots);
    for (auto const& r : view.readers) {
        if (!r.snapshot) {
            out += fmt::format("  process {}: between reads\n", r.pid);
        } else if (r.behind == 0) {
            out += fmt::format("  process {}: reads snapshot {}, the newest\n", r.pid, *r.snapshot);
        } else {
            out += fmt::format(
                "  process {}: reads snapshot {}, {} commits behind the newest: the file cannot reuse the pages freed "
                "since, and grows while it reads\n",
                r.pid, *r.snapshot, r.behind);
        }
    }
}

}  // namespace

nlohmann::json storedReadersJson(std::vector<StoredReader> const& readers) {
    nlohmann::json list = nlohmann::json::array();
    for (auto const& r : readers)
        list.push_back({{"pid", r.pid},
                        {"snapshot", r.snapshot ? nlohmann::json(*r.snapshot) : nlohmann::json(nullptr)},
                        {"behind", r.behind}});
    return list;
}

nlohmann::json storedEntriesJson(std::vector<StoredEntry> const& entries) {
    nlohmann::json list = nlohmann::json::array();
    for (auto const& e : entries) list.push_back({{"key", e.key}, {"entry", e.entry}});
    return list;
}

nlohmann::json storedUnitJson(StoredUnit const& u, bool withEntries) {
    nlohmann::json unit{{"unit", u.unitId},
                        {"liveCount", u.liveCount},
                        {"inDeletionCount", u.inDeletionCount},
                        {"corruptRecords", u.corruptRecords},
                        {"wiped", u.wiped}};
    if (withEntries) {
        unit["live"] = storedEntriesJson(u.live);
        unit["inDeletion"] = storedEntriesJson(u.inDeletion);
    }
    return unit;
}

nlohmann::json storedViewJson(StoredView const& view) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& t : view.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (auto const& u : t.units) units.push_back(storedUnitJson(u, view.withEntries));
        tables.push_back({{"table", t.table},
                          {"changeLog",
                           {{"records", t.changeLog.records},
                            {"oldestVersion", t.changeLog.oldestVersion},
                            {"newestVersion", t.changeLog.newestVersion},
                            {"scratchpad", t.changeLog.scratchpad},
                            {"wiped", t.changeLog.wiped}}},
                          {"units", std::move(units)}});
    }
    nlohmann::json doc{{"namespace", view.nameSpace},
                       {"exists", view.exists},
                       {"relaunchMajorId", view.relaunchMajorId},
                       {"tables", std::move(tables)},
                       {"readers", storedReadersJson(view.readers)}};
    if (view.withEntries) doc["truncated"] = view.truncated;
    return doc;
}

std::string storedViewText(StoredView const& view) {
    if (!view.exists)
        return fmt::format("namespace \"{}\": no shared memory ({} does not exist)\n", view.nameSpace,
                           QelSharedMem::environmentPath(view.nameSpace));
    std::string out = fmt::format("namespace \"{}\" ({}), relaunch major id {}\n", view.nameSpace,
                                  QelSharedMem::environmentPath(view.nameSpace), view.relaunchMajorId);
    appendReaders(out, view);
    for (auto const& t : view.tables) {
        out += fmt::format("{}:\n", t.table);
        appendChangeLog(out, t.changeLog);
        if (t.units.empty()) out += "  no unit stored\n";
        for (auto const& u : t.units) {
            out += fmt::format("  unit {}: {} live, {} in deletion", u.unitId, u.liveCount, u.inDeletionCount);
            if (u.corruptRecords) out += fmt::format(", {} records failing their checksum", u.corruptRecords);
            if (u.wiped) out += ", WIPED";
            out += "\n";
            appendEntries(out, "live", u.live);
            appendEntries(out, "in deletion", u.inDeletion);
        }
    }
    if (view.truncated) out += "(more entries match: --limit reached)\n";
    return out;
}

}  // namespace VornTcamAgent
