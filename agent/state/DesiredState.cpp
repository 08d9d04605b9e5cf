#include "agent/state/DesiredState.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <map>
#include <unordered_map>
#include <unordered_set>

#include "agent/state/DesiredStateInternal.h"
#include "agent/state/EchoText.h"
#include "agent/state/InLifKeySet.h"

namespace VornTcamAgent {

namespace {

std::string composeMessage(std::string const& file, int line, std::string const& path, std::string const& problem) {
    std::string msg;
    if (!file.empty()) msg += echoText(file, kEchoNameBytes) + ":";
    if (line > 0) msg += std::to_string(line) + ":";
    if (!msg.empty()) msg += " ";
    if (!path.empty()) msg += path + ": ";
    msg += problem;
    return msg;
}

bool isIpv4Padded(IpBytes const& bytes) {
    for (std::size_t i = 4; i < bytes.size(); ++i)
        if (bytes[i] != 0) return false;
    return true;
}

// Reports problems of one state, naming the line of the element when the state came from a file.
class Checker {
  public:
    explicit Checker(detail::SourceLines const* lines) : lines_(lines) {}

    [[noreturn]] void fail(int line, std::string path, std::string problem) const {
        throw DesiredStateError(lines_ ? lines_->file : std::string(), line, std::move(path), std::move(problem));
    }
    detail::SourceLines::Unit const* unitLines(std::size_t u) const {
        return lines_ && u < lines_->units.size() ? &lines_->units[u] : nullptr;
    }
    static int at(std::vector<int> const* lines, std::size_t i) { return lines && i < lines->size() ? (*lines)[i] : 0; }

  private:
    detail::SourceLines const* lines_;
};

void checkAction(Checker const& c, DesiredActionEntry const& a, int line, std::string const& path) {
    if (a.actionId < kMinActionId) c.fail(line, path + ".actionId", "action id 0 is out of range");
    if (toString(a.decapType).empty())
        c.fail(line, path + ".decapType", fmt::format("unknown decap type {}", static_cast<int>(a.decapType)));
    if (a.vrfId > kMaxVrfId) c.fail(line, path + ".vrf", fmt::format("{} is out of range 0..{}", a.vrfId, kMaxVrfId));
    if (a.inLif.isNull()) return;
    if (a.inLif.intfId < kMinInLifIntfId)
        c.fail(line, path + ".inLif.intf",
               fmt::format("{} is out of range {}..{}", a.inLif.intfId, kMinInLifIntfId, kMaxInLifIntfId));
    if (a.inLif.vlanId > kMaxVlanId)
        c.fail(line, path + ".inLif.vlan", fmt::format("{} is out of range 0..{}", a.inLif.vlanId, kMaxVlanId));
    if (a.inLif.reserved != 0) c.fail(line, path + ".inLif", "reserved field of the InLif key is not 0");
}

void checkKey(Checker const& c, DesiredKeyEntry const& k, int line, std::string const& path) {
    if (k.vrfId > kMaxVrfId) c.fail(line, path + ".vrf", fmt::format("{} is out of range 0..{}", k.vrfId, kMaxVrfId));
    if (k.tunnelType == TunnelType::none || toString(k.tunnelType).empty())
        c.fail(line, path + ".tunnelType", fmt::format("invalid tunnel type {}", static_cast<int>(k.tunnelType)));
    if (k.addressFamily != AddressFamily::ipv4 && k.addressFamily != AddressFamily::ipv6)
        c.fail(line, path + ".addressFamily",
               fmt::format("invalid address family {}", static_cast<int>(k.addressFamily)));
    if (k.addressFamily == AddressFamily::ipv4) {
        if (!isIpv4Padded(k.srcAddr)) c.fail(line, path + ".srcAddr", "IPv4 address with bytes beyond the fourth");
        if (!isIpv4Padded(k.dstAddr)) c.fail(line, path + ".dstAddr", "IPv4 address with bytes beyond the fourth");
    }
}

// A unit's tables hold at most kMaxEntriesPerTable entries each; the first entry beyond is named.
void checkTableSizes(Checker const& c, DesiredUnit const& unit, detail::SourceLines::Unit const* ul,
                     std::string const& unitPath) {
    auto check = [&](std::size_t size, char const* list, char const* table, std::vector<int> const* lines) {
        if (size <= kMaxEntriesPerTable) return;
        c.fail(Checker::at(lines, kMaxEntriesPerTable), fmt::format("{}.{}[{}]", unitPath, list, kMaxEntriesPerTable),
               fmt::format("{} entries for the {} table of unit {}; a unit's table holds at most {}", size, table,
                           unit.unitId, kMaxEntriesPerTable));
    };
    check(unit.actionEntries.size(), "actionEntries", "TcamAction", ul ? &ul->actionIdLines : nullptr);
    check(unit.keyEntries.size(), "keyEntries", "Tcam", ul ? &ul->keyLines : nullptr);
}

// Every distinct InLif key takes one index of each InLif pool, whichever units name it. The
// first action entry whose key does not fit is named.
void checkInLifKeys(Checker const& c, DesiredState const& state) {
    InLifKeySet keys;
    for (std::size_t u = 0; u < state.units.size(); ++u) {
        auto const& actions = state.units[u].actionEntries;
        for (std::size_t i = 0; i < actions.size(); ++i) {
            VornInLif::InLifKey const& k = actions[i].inLif;
            if (k.isNull()) continue;
            keys.insert(packedInLifKey(k));
            if (keys.size() <= kMaxInLifKeys) continue;
            auto const* ul = c.unitLines(u);
            c.fail(Checker::at(ul ? &ul->actionIdLines : nullptr, i),
                   fmt::format("units[{}].actionEntries[{}].inLif", u, i),
                   fmt::format("more than {} distinct InLif keys in the state; the InLif pools hold {}", kMaxInLifKeys,
                               kMaxInLifKeys));
        }
    }
}

std::string describeKey(DesiredKeyEntry const& k) {
    return fmt::format("vrf {}, {}, {} -> {}", k.vrfId, toString(k.tunnelType),
                       formatAddress(k.addressFamily, k.srcAddr), formatAddress(k.addressFamily, k.dstAddr));
}

}  // namespace

// ---------------------------------------------------------------- conversions

VornTunnelTcamMgr::TcamActionEntryKey DesiredActionEntry::key() const {
    return VornTunnelTcamMgr::TcamActionEntryKey{actionId};
}

VornTunnelTcamMgr::TcamActionEntry DesiredActionEntry::entry() const {
    VornTunnelTcamMgr::TcamActionEntry e;
    e.logEntry.key = key();
    e.logEntry.decapType = static_cast<std::uint8_t>(decapType);
    e.logEntry.vrfId = vrfId;
    e.rsrcKeys.inLifKey = inLif;
    return e;
}

VornTunnelTcamMgr::TcamEntryKey DesiredKeyEntry::key() const {
    VornTunnelTcamMgr::TcamEntryKey k;
    k.vrfId = vrfId;
    k.tunnelType = static_cast<std::uint8_t>(tunnelType);
    k.addressFamily = static_cast<std::uint8_t>(addressFamily);
    k.srcAddr = srcAddr;
    k.dstAddr = dstAddr;
    return k;
}

VornTunnelTcamMgr::TcamEntry DesiredKeyEntry::entry() const {
    VornTunnelTcamMgr::TcamEntry e;
    e.logEntry.key = key();
    e.logEntry.actionKey = VornTunnelTcamMgr::TcamActionEntryKey{actionId};
    e.logEntry.priority = priority;
    e.logEntry.ttlCheck = ttlCheck ? 1 : 0;
    return e;
}

DesiredUnit const* DesiredState::findUnit(Asic::UnitId unitId) const {
    for (auto const& u : units)
        if (u.unitId == unitId) return &u;
    return nullptr;
}

DesiredStateError::DesiredStateError(std::string file, int line, std::string path, std::string problem)
    : std::runtime_error(composeMessage(file, line, path, problem)),
      file_(std::move(file)),
      line_(line),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

// ---------------------------------------------------------------- validation

void detail::validateState(DesiredState const& state, SourceLines const* lines) {
    Checker c(lines);
    if (state.units.empty()) c.fail(0, "units", "no units");
    std::map<Asic::UnitId, std::size_t> unitIndex;
    for (std::size_t u = 0; u < state.units.size(); ++u) {
        DesiredUnit const& unit = state.units[u];
        auto const* ul = c.unitLines(u);
        std::string const unitPath = fmt::format("units[{}]", u);
        int const unitLine = ul ? ul->unitIdLine : 0;
        if (unit.unitId > kMaxUnitId)
            c.fail(unitLine, unitPath + ".unit", fmt::format("{} is out of range 0..{}", unit.unitId, kMaxUnitId));
        if (auto [it, fresh] = unitIndex.emplace(unit.unitId, u); !fresh)
            c.fail(unitLine, unitPath + ".unit",
                   fmt::format("unit {} appears twice (first at units[{}])", unit.unitId, it->second));
        checkTableSizes(c, unit, ul, unitPath);

        std::unordered_map<std::uint32_t, std::size_t> actionIndex;
        actionIndex.reserve(unit.actionEntries.size());
        for (std::size_t i = 0; i < unit.actionEntries.size(); ++i) {
            auto const& a = unit.actionEntries[i];
            std::string const path = fmt::format("{}.actionEntries[{}]", unitPath, i);
            int const line = Checker::at(ul ? &ul->actionIdLines : nullptr, i);
            checkAction(c, a, line, path);
            if (auto [it, fresh] = actionIndex.emplace(a.actionId, i); !fresh)
                c.fail(line, path + ".actionId",
                       fmt::format("duplicate action entry {} (first at actionEntries[{}])", a.actionId, it->second));
        }

        std::unordered_map<VornTunnelTcamMgr::TcamEntryKey, std::size_t> keyIndex;
        keyIndex.reserve(unit.keyEntries.size());
        for (std::size_t i = 0; i < unit.keyEntries.size(); ++i) {
            auto const& k = unit.keyEntries[i];
            std::string const path = fmt::format("{}.keyEntries[{}]", unitPath, i);
            int const line = Checker::at(ul ? &ul->keyLines : nullptr, i);
            checkKey(c, k, line, path);
            if (auto [it, fresh] = keyIndex.emplace(k.key(), i); !fresh)
                c.fail(line, path,
                       fmt::format("duplicate key ({}) (first at keyEntries[{}])", describeKey(k), it->second));
            if (!actionIndex.contains(k.actionId))
                c.fail(Checker::at(ul ? &ul->keyActionIdLines : nullptr, i), path + ".actionId",
                       fmt::format("no action entry {} in unit {}", k.actionId, unit.unitId));
        }
    }
    checkInLifKeys(c, state);
}

void validate(DesiredState const& state) { detail::validateState(state, nullptr); }

// ---------------------------------------------------------------- text forms

std::string_view toString(TunnelType type) {
    switch (type) {
        case TunnelType::none:
            return "none";
        case TunnelType::ipInIp:
            return "ipInIp";
        case TunnelType::gre:
            return "gre";
        case TunnelType::vxlan:
            return "vxlan";
        case TunnelType::mplsOverGre:
            return "mplsOverGre";
    }
    return {};
}

std::string_view toString(AddressFamily family) {
    switch (family) {
        case AddressFamily::none:
            return "none";
        case AddressFamily::ipv4:
            return "ipv4";
        case AddressFamily::ipv6:
            return "ipv6";
    }
    return {};
}

std::string_view toString(DecapType type) {
    switch (type) {
        case DecapType::none:
            return "none";
        case DecapType::decapOuter:
            return "decapOuter";
        case DecapType::decapOuterAndInnerL2:
            return "decapOuterAndInnerL2";
        case DecapType::forwardOnly:
            return "forwardOnly";
    }
    return {};
}

std::string formatAddress(AddressFamily family, IpBytes const& bytes) {
    char buf[INET6_ADDRSTRLEN] = {};
    int const af = family == AddressFamily::ipv6 ? AF_INET6 : AF_INET;
    if (::inet_ntop(af, bytes.data(), buf, sizeof buf) == nullptr) return "?";
    return buf;
}

bool parseAddress(std::string_view text, IpBytes& bytes, AddressFamily& family) {
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos) return false;
    std::string const s(text);
    IpBytes out{};
    if (::inet_pton(AF_INET, s.c_str(), out.data()) == 1) {
        family = AddressFamily::ipv4;
    } else if (::inet_pton(AF_INET6, s.c_str(), out.data()) == 1) {
        family = AddressFamily::ipv6;
    } else {
        return false;
    }
    bytes = out;
    return true;
}

}  // namespace VornTcamAgent
