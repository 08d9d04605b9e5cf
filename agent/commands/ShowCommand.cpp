#include "agent/commands/ShowCommand.h"

#include <fmt/format.h>

#include "agent/commands/ErrorReport.h"
#include "agent/commands/Output.h"
#include "agent/view/AgentSetup.h"
#include "agent/view/ShowSummary.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"

namespace VornTcamAgent {

StoredViewRequest storedViewRequest(ShowOptions const& options) {
    StoredViewRequest request;
    request.entries = options.entries;
    request.table = options.table;
    request.unit = options.unit;
    request.keyPrefix = options.key.value_or("");
    request.limit = options.limit;
    return request;
}

int showCommand(ShowOptions const& options) {
    std::string nameSpace;
    try {
        nameSpace = selectNamespace(options.nameSpace);
    } catch (BadInput const& e) {
        return reportError({"show", kExitBadInput, e.what()}, options.json);
    }
    std::string text;
    try {
        StoredView const view = readStoredView(nameSpace, storedViewRequest(options));
        text = options.json ? storedViewJson(view).dump(2) + "\n" : storedViewText(view);
    } catch (QelSharedMem::StoreUnavailableError const& e) {
        return reportError({"show", kExitStoreUnavailable, e.what()}, options.json);
    } catch (std::exception const& e) {
        return reportError({"show", kExitFailed, e.what()}, options.json);
    }
    if (auto problem = printResult(text)) return reportError({"show", kExitFailed, *problem}, false);
    return kExitOk;
}

int cleanCommand(CleanOptions const& options) {
    std::string nameSpace;
    try {
        nameSpace = selectNamespace(options.nameSpace);
    } catch (BadInput const& e) {
        return reportError({"clean", kExitBadInput, e.what()}, false);
    }
    std::string text;
    try {
        // Under the namespace's lock from the look to the removal: nothing appears in between.
        QelSharedMem::NamespaceLock const lock(nameSpace);
        QelSharedMem::NamespaceFiles const files = QelSharedMem::namespaceFiles(nameSpace);
        bool stored = false;
        for (auto const& file : QelSharedMem::existingNamespaceFiles(nameSpace)) stored |= file != files.agentLock;
        QelSharedMem::removeNamespace(nameSpace);
        text = stored ? fmt::format("removed the shared memory of namespace \"{}\" ({})\n", nameSpace, files.data)
                      : fmt::format("namespace \"{}\" has nothing stored ({} does not exist); nothing to remove\n",
                                    nameSpace, files.data);
    } catch (QelSharedMem::NamespaceBusyError const& e) {
        return reportError({"clean", kExitBusy, e.what()}, false);
    } catch (std::exception const& e) {
        return reportError({"clean", kExitFailed, e.what()}, false);
    }
    if (auto problem = printResult(text)) return reportError({"clean", kExitFailed, *problem}, false);
    return kExitOk;
}

}  // namespace VornTcamAgent
