#include "agent/view/EntryJson.h"

#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

namespace {

// The enumeration's name, or its number when this build has no name for it.
template <typename Enum>
nlohmann::json enumJson(std::uint8_t value) {
    std::string_view const name = toString(static_cast<Enum>(value));
    if (name.empty()) return value;
    return std::string(name);
}

}  // namespace

nlohmann::json entryJson(VornTunnelTcamMgr::TcamEntry const& entry) {
    auto const& log = entry.logEntry;
    auto const family = static_cast<AddressFamily>(log.key.addressFamily);
    return nlohmann::json{
        {"vrf", log.key.vrfId},
        {"tunnelType", enumJson<TunnelType>(log.key.tunnelType)},
        {"addressFamily", enumJson<AddressFamily>(log.key.addressFamily)},
        {"srcAddr", formatAddress(family, log.key.srcAddr)},
        {"dstAddr", formatAddress(family, log.key.dstAddr)},
        {"priority", log.priority},
        {"ttlCheck", log.ttlCheck != 0},
        {"actionId", log.actionKey.actionId},
    };
}

nlohmann::json entryJson(VornTunnelTcamMgr::TcamActionEntry const& entry) {
    auto const& log = entry.logEntry;
    auto const& inLif = entry.inLifIndexKey();
    nlohmann::json inLifJson = nullptr;
    if (!inLif.isNull()) inLifJson = nlohmann::json{{"intf", inLif.intfId}, {"vlan", inLif.vlanId}};
    return nlohmann::json{
        {"actionId", log.key.actionId},
        {"decapType", enumJson<DecapType>(log.decapType)},
        {"vrf", log.vrfId},
        {"inLif", std::move(inLifJson)},
        {"inLif0Index", log.inLif0Index},
        {"inLif23Index", log.inLif23Index},
    };
}

}  // namespace VornTcamAgent
