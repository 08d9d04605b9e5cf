#include "agent/ShowCommand.h"

#include <fmt/format.h>

#include "agent/AgentSetup.h"
#include "agent/ShowSummary.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"
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
        fmt::print(stderr, "tcam-agent show: {}\n", e.what());
        return kExitBadInput;
    }
    try {
        StoredView const view = readStoredView(nameSpace, storedViewRequest(options));
        if (options.json) {
            fmt::print("{}\n", storedViewJson(view).dump(2));
        } else {
            fmt::print("{}", storedViewText(view));
        }
        return kExitOk;
    } catch (QelSharedMem::StoreUnavailableError const& e) {
        fmt::print(stderr, "tcam-agent show: {}\n", e.what());
        return kExitStoreUnavailable;
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
