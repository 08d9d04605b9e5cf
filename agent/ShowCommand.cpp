#include "agent/ShowCommand.h"

#include <fmt/format.h>

#include "agent/AgentSetup.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"

namespace VornTcamAgent {

namespace {

nlohmann::json entriesJson(std::vector<StoredEntry> const& entries) {
    nlohmann::json list = nlohmann::json::array();
    for (auto const& e : entries) list.push_back({{"key", e.key}, {"entry", e.entry}});
    return list;
}

void appendEntries(std::string& out, char const* what, std::vector<StoredEntry> const& entries) {
    out += fmt::format("    {} ({}):\n", what, entries.size());
    for (auto const& e : entries) out += fmt::format("      {}  {}\n", e.key, e.entry.dump());
}

}  // namespace

nlohmann::json storedViewJson(StoredView const& view) {
    nlohmann::json tables = nlohmann::json::array();
    for (auto const& t : view.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (auto const& u : t.units)
            units.push_back({{"unit", u.unitId},
                             {"live", entriesJson(u.live)},
                             {"inDeletion", entriesJson(u.inDeletion)},
                             {"corruptRecords", u.corruptRecords}});
        tables.push_back({{"table", t.table},
                          {"changeLog",
                           {{"records", t.changeLog.records},
                            {"oldestVersion", t.changeLog.oldestVersion},
                            {"newestVersion", t.changeLog.newestVersion},
                            {"scratchpad", t.changeLog.scratchpad}}},
                          {"units", std::move(units)}});
    }
    return nlohmann::json{{"namespace", view.nameSpace},
                          {"exists", view.exists},
                          {"relaunchMajorId", view.relaunchMajorId},
                          {"tables", std::move(tables)}};
}

std::string storedViewText(StoredView const& view) {
    if (!view.exists)
        return fmt::format("namespace \"{}\": no shared memory ({} does not exist)\n", view.nameSpace,
                           QelSharedMem::environmentPath(view.nameSpace));
    std::string out = fmt::format("namespace \"{}\" ({}), relaunch major id {}\n", view.nameSpace,
                                  QelSharedMem::environmentPath(view.nameSpace), view.relaunchMajorId);
    for (auto const& t : view.tables) {
        out += fmt::format("{}:\n", t.table);
        if (t.changeLog.present) {
            out += fmt::format("  change log: {} records, oldest version {}, newest version {}, scratchpad {}\n",
                               t.changeLog.records, t.changeLog.oldestVersion, t.changeLog.newestVersion,
                               t.changeLog.scratchpad);
        } else {
            out += "  change log: not stored\n";
        }
        if (t.units.empty()) out += "  no unit stored\n";
        for (auto const& u : t.units) {
            out += fmt::format("  unit {}: {} live, {} in deletion", u.unitId, u.live.size(), u.inDeletion.size());
            if (u.corruptRecords) out += fmt::format(", {} records failing their checksum", u.corruptRecords);
            out += "\n";
            appendEntries(out, "live", u.live);
            appendEntries(out, "in deletion", u.inDeletion);
        }
    }
    return out;
}

int showCommand(ShowOptions const& options) {
    std::string nameSpace;
    try {
        nameSpace = selectNamespace(options.nameSpace);
    } catch (BadInput const& e) {
        fmt::print(stderr, "tcam-agent show: {}\n", e.what());
        return kExitBadInput;
    }
    try {
        StoredView const view = readStoredView(nameSpace);
        if (options.json) {
            fmt::print("{}\n", storedViewJson(view).dump(2));
        } else {
            fmt::print("{}", storedViewText(view));
        }
        return kExitOk;
    } catch (std::exception const& e) {
        fmt::print(stderr, "tcam-agent show: {}\n", e.what());
        return kExitFailed;
    }
}

int cleanCommand(CleanOptions const& options) {
    std::string nameSpace;
    try {
        nameSpace = selectNamespace(options.nameSpace);
    } catch (BadInput const& e) {
        fmt::print(stderr, "tcam-agent clean: {}\n", e.what());
        return kExitBadInput;
    }
    try {
        QelSharedMem::removeNamespace(nameSpace);
        fmt::print("removed the shared memory of namespace \"{}\" ({})\n", nameSpace,
                   QelSharedMem::environmentPath(nameSpace));
        return kExitOk;
    } catch (QelSharedMem::NamespaceBusyError const& e) {
        fmt::print(stderr, "tcam-agent clean: {}\n", e.what());
        return kExitBusy;
    } catch (std::exception const& e) {
        fmt::print(stderr, "tcam-agent clean: {}\n", e.what());
        return kExitFailed;
    }
}

}  // namespace VornTcamAgent
