#include "agent/commands/TraceSettings.h"

#include <fmt/format.h>

#include <algorithm>

#include "agent/state/EchoText.h"
#include "agent/state/OptionValues.h"
#include "agent/view/AgentSetup.h"
#include "contracts/inlif/InLifIndexResourceTableTrace.h"
#include "contracts/qel/Trace.h"
#include "contracts/shm/Environment.h"
#include "entrylog/TcamActionEntryLog.h"
#include "entrylog/TcamEntryLog.h"
#include "interface/TcamActionInterface.h"
#include "interface/TcamInterface.h"
#include "linkage/SwTableResourceAccessor.h"
#include "swtable/IteratorStateT.h"
#include "swtable/TcamActionSwTable.h"
#include "swtable/TcamSwTable.h"

namespace VornTcamAgent {

namespace {

constexpr int kMaxTraceLevel = 9;

// Calls fn(item) for each comma-separated item of `list`, empty ones included.
template <typename Fn>
void forEachItem(std::string_view list, Fn&& fn) {
    while (true) {
        auto const comma = list.find(',');
        fn(list.substr(0, comma));
        if (comma == std::string_view::npos) return;
        list = list.substr(comma + 1);
    }
}

void checkItem(std::string_view item, std::string_view list, std::string_view source,
               std::vector<std::string> const& known) {
    auto fail = [&](std::string const& problem) {
        throw BadInput(fmt::format("{}: \"{}\": {}", source, echoText(list, kEchoNameBytes), problem));
    };
    if (item.empty()) fail("an item is empty; give HANDLE/LEVEL items separated by commas");
    auto const slash = item.find('/');
    if (slash == std::string_view::npos)
        fail(fmt::format("\"{}\" is not HANDLE/LEVEL (LEVEL 0..{})", echoText(item), kMaxTraceLevel));
    std::string_view const handle = item.substr(0, slash);
    if (handle != "*" && !std::binary_search(known.begin(), known.end(), handle)) {
        std::string names;
        for (auto const& name : known) names += (names.empty() ? "" : ", ") + name;
        fail(fmt::format("no trace handle \"{}\"; the handles are {} (\"*\" for all)", echoText(handle), names));
    }
    try {
        parseWholeNumber(item.substr(slash + 1), kMaxTraceLevel);
    } catch (std::invalid_argument const& e) {
        fail(fmt::format("level of \"{}\": {}", echoText(item), e.what()));
    }
}

}  // namespace

std::vector<std::string> knownTraceHandles() {
    std::vector<std::string> names = {
        QelSharedMem::tesselTrace().name(),
        VornTunnelNiLib::inLifIndexResourceTableTrace().name(),
        VornTunnelTcamMgr::TcamEntryLog::trace().name(),
        VornTunnelTcamMgr::TcamActionEntryLog::trace().name(),
        VornTunnelTcamMgr::TcamFamily::trace().name(),
        VornTunnelTcamMgr::TcamActionFamily::trace().name(),
        VornTunnelTcamMgr::swTableIterTrace().name(),
        VornTunnelTcamMgr::inLifLinkageTrace().name(),
        VornTunnelTcamMgr::TcamInterfaceTraits::trace().name(),
        VornTunnelTcamMgr::TcamActionInterfaceTraits::trace().name(),
    };
    std::sort(names.begin(), names.end());
    return names;
}

void checkTraceList(std::string_view list, std::string_view source) {
    std::vector<std::string> const known = knownTraceHandles();
    forEachItem(list, [&](std::string_view item) { checkItem(item, list, source, known); });
}

void enableTraces(std::vector<std::string> const& lists) {
    for (std::string const& list : lists) checkTraceList(list, "--trace");
    for (std::string const& list : lists) Qel::TraceHandle::configure(list);
}

}  // namespace VornTcamAgent
