// Writing a desired state as JSON, one entry per line so that a saved state stays readable and a
// problem found later points at a single entry. Every string written is an enumerator name or an
// address, so nothing needs escaping.
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "agent/state/DesiredStateJson.h"

namespace VornTcamAgent {

namespace {

void appendAction(std::string& out, DesiredActionEntry const& a) {
    fmt::format_to(std::back_inserter(out), R"({{"actionId": {}, "decapType": "{}", "vrf": {}, "inLif": )", a.actionId,
                   toString(a.decapType), a.vrfId);
    if (a.inLif.isNull())
        out += "null}";
    else
        fmt::format_to(std::back_inserter(out), R"({{"intf": {}, "vlan": {}}}}})", a.inLif.intfId, a.inLif.vlanId);
}

void appendKey(std::string& out, DesiredKeyEntry const& k) {
    fmt::format_to(std::back_inserter(out),
                   R"({{"vrf": {}, "tunnelType": "{}", "addressFamily": "{}", "srcAddr": "{}", "dstAddr": "{}", )"
                   R"("priority": {}, "ttlCheck": {}, "actionId": {}}})",
                   k.vrfId, toString(k.tunnelType), toString(k.addressFamily),
                   formatAddress(k.addressFamily, k.srcAddr), formatAddress(k.addressFamily, k.dstAddr), k.priority,
                   k.ttlCheck, k.actionId);
}

template <typename Entry, typename Append>
void appendList(std::string& out, char const* name, std::vector<Entry> const& entries, Append append) {
    fmt::format_to(std::back_inserter(out), "      \"{}\": [", name);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        out += i == 0 ? "\n        " : ",\n        ";
        append(out, entries[i]);
    }
    out += entries.empty() ? "]" : "\n      ]";
}

}  // namespace

std::string writeDesiredState(DesiredState const& state) {
    std::string out;
    fmt::format_to(std::back_inserter(out), "{{\n  \"version\": {},\n  \"units\": [", kDesiredStateFormatVersion);
    for (std::size_t u = 0; u < state.units.size(); ++u) {
        DesiredUnit const& unit = state.units[u];
        out += u == 0 ? "\n" : ",\n";
        fmt::format_to(std::back_inserter(out), "    {{\n      \"unit\": {},\n", unit.unitId);
        appendList(out, "actionEntries", unit.actionEntries, appendAction);
        out += ",\n";
        appendList(out, "keyEntries", unit.keyEntries, appendKey);
        out += "\n    }";
    }
    out += state.units.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

void saveDesiredState(DesiredState const& state, std::string const& path) {
    std::string const text = writeDesiredState(state);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw DesiredStateError(path, 0, "", fmt::format("cannot open for writing: {}", std::strerror(errno)));
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw DesiredStateError(path, 0, "", fmt::format("cannot write: {}", std::strerror(errno)));
}

}  // namespace VornTcamAgent
