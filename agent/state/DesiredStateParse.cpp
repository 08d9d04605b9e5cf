// Reading a desired state from its JSON text. The text is read into a tree of values with lines;
// each action and key entry is taken out of the tree and converted as soon as it is complete, so a
// large file never exists as a whole tree. The rest of the tree is checked once the text is read,
// then the cross-entry checks run.
#include <span>

#include "agent/state/DesiredStateInternal.h"
#include "agent/state/DesiredStateJson.h"
#include "agent/state/DesiredStateJsonTree.h"
#include "agent/state/EchoText.h"
#include "agent/state/StateFile.h"

namespace VornTcamAgent {

namespace {

using detail::JsonValue;
using Kind = JsonValue::Kind;

constexpr std::string_view kTopFields[] = {"version", "units"};
constexpr std::string_view kUnitFields[] = {"unit", "actionEntries", "keyEntries"};
constexpr std::string_view kActionFields[] = {"actionId", "decapType", "vrf", "inLif"};
constexpr std::string_view kInLifFields[] = {"intf", "vlan"};
constexpr std::string_view kKeyFields[] = {"vrf",     "tunnelType", "addressFamily", "srcAddr",
                                           "dstAddr", "priority",   "ttlCheck",      "actionId"};

constexpr TunnelType kTunnelTypes[] = {TunnelType::ipInIp, TunnelType::gre, TunnelType::vxlan, TunnelType::mplsOverGre};
constexpr AddressFamily kFamilies[] = {AddressFamily::ipv4, AddressFamily::ipv6};
constexpr DecapType kDecapTypes[] = {DecapType::none, DecapType::decapOuter, DecapType::decapOuterAndInnerL2,
                                     DecapType::forwardOnly};

template <typename T>
std::string joinNames(std::span<T const> names) {
    std::string out;
    for (auto const& n : names) {
        if (!out.empty()) out += ", ";
        if constexpr (std::is_enum_v<T>)
            out += toString(n);
        else
            out += n;
    }
    return out;
}

// Turns the tree of one file into a DesiredState, failing at the first value that does not fit.
// Entries are converted while the file is read (takeElement), so that their tree nodes need not be
// kept; everything around them is checked once the whole text has been read (read).
class StateReader {
  public:
    explicit StateReader(std::string file) { lines_.file = std::move(file); }

    // The element sink of readJsonTree: takes the elements of units[u].actionEntries and
    // units[u].keyEntries. Before the first entry of a list, what precedes it in the file is checked,
    // so that problems are still reported in file order.
    bool takeElement(std::span<JsonValue const* const> enclosing, std::size_t index, JsonValue const& e) {
        if (enclosing.size() != 4) return false;
        JsonValue const& root = *enclosing[0];
        JsonValue const& units = *enclosing[1];
        JsonValue const& unitObj = *enclosing[2];
        JsonValue const& list = *enclosing[3];
        bool const isAction = list.key == "actionEntries";
        if (root.kind != Kind::object || units.key != "units" || units.kind != Kind::array ||
            unitObj.kind != Kind::object || (!isAction && list.key != "keyEntries"))
            return false;
        std::size_t const u = units.items.size() - 1 + units.handedOver;
        std::string const unitPath = fmt::format("units[{}]", u);
        if (index == 0) {
            checkMembers(root, "", kTopFields);
            if (JsonValue const* version = root.member("version")) readVersion(*version);
            checkMembers(unitObj, unitPath, kUnitFields);
            if (JsonValue const* id = unitObj.member("unit"))
                readInt<Asic::UnitId>(*id, unitPath + ".unit", 0, kMaxUnitId);
        }
        // A list longer than a table holds is refused where it overflows, before the rest is read.
        if (index >= kMaxEntriesPerTable)
            fail(e.line, fmt::format("{}.{}[{}]", unitPath, list.key, index),
                 fmt::format("more than {} entries in the list; a unit's {} table holds at most {}",
                             kMaxEntriesPerTable, isAction ? "TcamAction" : "Tcam", kMaxEntriesPerTable));
        if (pending_.size() <= u) pending_.resize(u + 1);
        PendingUnit& p = pending_[u];
        if (isAction) {
            p.actions.push_back(readAction(e, fmt::format("{}.actionEntries[{}]", unitPath, index)));
            p.lines.actionIdLines.push_back(e.member("actionId")->line);
        } else {
            p.keys.push_back(readKey(e, fmt::format("{}.keyEntries[{}]", unitPath, index)));
            p.lines.keyLines.push_back(e.line);
            p.lines.keyActionIdLines.push_back(e.member("actionId")->line);
        }
        return true;
    }

    DesiredState read(JsonValue const& root) {
        expect(root, Kind::object, "");
        checkMembers(root, "", kTopFields);
        readVersion(required(root, "version", ""));
        JsonValue const& units = required(root, "units", "");
        expect(units, Kind::array, "units");
        if (units.items.empty()) fail(units.line, "units", "no units");
        DesiredState state;
        state.units.reserve(units.items.size());
        pending_.resize(units.items.size());
        for (std::size_t u = 0; u < units.items.size(); ++u)
            state.units.push_back(readUnit(units.items[u], fmt::format("units[{}]", u), pending_[u]));
        detail::validateState(state, &lines_);
        return state;
    }

  private:
    struct PendingUnit {
        std::vector<DesiredActionEntry> actions;
        std::vector<DesiredKeyEntry> keys;
        detail::SourceLines::Unit lines;
    };

    [[noreturn]] void fail(int line, std::string path, std::string problem) const {
        throw DesiredStateError(lines_.file, line, std::move(path), std::move(problem));
    }

    static std::string join(std::string const& path, std::string_view field) {
        return path.empty() ? std::string(field) : path + "." + std::string(field);
    }

    void expect(JsonValue const& v, Kind kind, std::string const& path) const {
        if (v.kind != kind)
            fail(v.line, path.empty() ? "(top level)" : path,
                 fmt::format("expected {}, got {}", detail::describeKind(kind), detail::describeKind(v.kind)));
    }

    // Rejects members that are not in `allowed` and members given twice.
    void checkMembers(JsonValue const& obj, std::string const& path, std::span<std::string_view const> allowed) const {
        for (std::size_t i = 0; i < obj.items.size(); ++i) {
            JsonValue const& m = obj.items[i];
            bool known = false;
            for (auto name : allowed) known = known || m.key == name;
            if (!known)
                fail(m.keyLine, join(path, echoText(m.key)),
                     fmt::format("unknown field (expected one of {})", joinNames(allowed)));
            for (std::size_t j = 0; j < i; ++j)
                if (obj.items[j].key == m.key)
                    fail(m.keyLine, join(path, echoText(m.key)),
                         fmt::format("field given twice (first at line {})", obj.items[j].keyLine));
        }
    }

    JsonValue const& required(JsonValue const& obj, std::string_view name, std::string const& path) const {
        if (JsonValue const* m = obj.member(name)) return *m;
        fail(obj.line, path.empty() ? "(top level)" : path, fmt::format("missing field \"{}\"", name));
    }

    std::uint64_t readInteger(JsonValue const& v, std::string const& path, std::uint64_t min, std::uint64_t max) const {
        std::string const range = fmt::format("{}..{}", min, max);
        switch (v.kind) {
            case Kind::unsignedInt:
                if (v.unsignedInt < min || v.unsignedInt > max)
                    fail(v.line, path, fmt::format("{} is out of range {}", v.unsignedInt, range));
                return v.unsignedInt;
            case Kind::signedInt:
                // The parser gives a signed integer for every number written with a minus sign;
                // -0 is 0.
                if (v.signedInt == 0) return readInteger(asUnsigned(v), path, min, max);
                fail(v.line, path, fmt::format("{} is out of range {}", v.signedInt, range));
            case Kind::floating:
                // An integer too large for 64 bits arrives as a floating number; name it by its range.
                if (v.text.find_first_of(".eE") == std::string::npos)
                    fail(v.line, path, fmt::format("{} is out of range {}", echoText(v.text), range));
                fail(v.line, path, fmt::format("expected an integer in {}, got {}", range, echoText(v.text)));
            default:
                fail(v.line, path, fmt::format("expected an integer, got {}", detail::describeKind(v.kind)));
        }
    }

    static JsonValue asUnsigned(JsonValue const& v) {
        JsonValue u;
        u.kind = Kind::unsignedInt;
        u.line = v.line;
        u.unsignedInt = static_cast<std::uint64_t>(v.signedInt);
        return u;
    }

    template <typename T>
    T readInt(JsonValue const& v, std::string const& path, T min, T max) const {
        return static_cast<T>(readInteger(v, path, min, max));
    }

    bool readBool(JsonValue const& v, std::string const& path) const {
        expect(v, Kind::boolean, path);
        return v.boolean;
    }

    template <typename E, std::size_t N>
    E readEnum(JsonValue const& v, std::string const& path, std::string_view what, E const (&accepted)[N]) const {
        expect(v, Kind::string, path);
        for (E e : accepted)
            if (v.text == toString(e)) return e;
        fail(v.line, path,
             fmt::format("unknown {} \"{}\" (expected one of {})", what, echoText(v.text), joinNames<E>(accepted)));
    }

    void readVersion(JsonValue const& v) const {
        if (v.kind != Kind::unsignedInt && v.kind != Kind::signedInt)
            fail(v.line, "version", fmt::format("expected an integer, got {}", detail::describeKind(v.kind)));
        if (v.kind == Kind::signedInt && v.signedInt == 0) return readVersion(asUnsigned(v));
        if (v.kind == Kind::signedInt || v.unsignedInt != kDesiredStateFormatVersion)
            fail(v.line, "version",
                 fmt::format("unsupported version {} (this program reads version {})",
                             v.kind == Kind::signedInt ? std::to_string(v.signedInt) : std::to_string(v.unsignedInt),
                             kDesiredStateFormatVersion));
    }

    DesiredUnit readUnit(JsonValue const& v, std::string const& path, PendingUnit& entries) {
        expect(v, Kind::object, path);
        checkMembers(v, path, kUnitFields);
        DesiredUnit unit;
        JsonValue const& id = required(v, "unit", path);
        unit.unitId = readInt<Asic::UnitId>(id, join(path, "unit"), 0, kMaxUnitId);
        entries.lines.unitIdLine = id.line;
        // The lists' elements were taken while reading; only their type is left to check here.
        if (JsonValue const* list = v.member("actionEntries")) expect(*list, Kind::array, join(path, "actionEntries"));
        if (JsonValue const* list = v.member("keyEntries")) expect(*list, Kind::array, join(path, "keyEntries"));
        unit.actionEntries = std::move(entries.actions);
        unit.keyEntries = std::move(entries.keys);
        lines_.units.push_back(std::move(entries.lines));
        return unit;
    }

    DesiredActionEntry readAction(JsonValue const& v, std::string const& path) const {
        expect(v, Kind::object, path);
        checkMembers(v, path, kActionFields);
        DesiredActionEntry a;
        a.actionId =
            readInt<std::uint32_t>(required(v, "actionId", path), join(path, "actionId"), kMinActionId, kMaxActionId);
        a.decapType = readEnum(required(v, "decapType", path), join(path, "decapType"), "decap type", kDecapTypes);
        a.vrfId = readInt<std::uint32_t>(required(v, "vrf", path), join(path, "vrf"), 0, kMaxVrfId);
        if (JsonValue const* inLif = v.member("inLif"); inLif && inLif->kind != Kind::null) {
            std::string const lifPath = join(path, "inLif");
            if (inLif->kind != Kind::object)
                fail(inLif->line, lifPath,
                     fmt::format("expected an object or null, got {}", detail::describeKind(inLif->kind)));
            checkMembers(*inLif, lifPath, kInLifFields);
            a.inLif.intfId = readInt<std::uint32_t>(required(*inLif, "intf", lifPath), join(lifPath, "intf"),
                                                    kMinInLifIntfId, kMaxInLifIntfId);
            a.inLif.vlanId =
                readInt<std::uint16_t>(required(*inLif, "vlan", lifPath), join(lifPath, "vlan"), 0, kMaxVlanId);
        }
        return a;
    }

    IpBytes readAddress(JsonValue const& v, std::string const& path, AddressFamily family) const {
        expect(v, Kind::string, path);
        IpBytes bytes{};
        AddressFamily found = AddressFamily::none;
        if (!parseAddress(v.text, bytes, found))
            fail(v.line, path, fmt::format("\"{}\" is not an IPv4 or IPv6 address", echoText(v.text)));
        if (found != family)
            fail(v.line, path,
                 fmt::format("{} is an {} address but addressFamily is {}", echoText(v.text),
                             found == AddressFamily::ipv4 ? "IPv4" : "IPv6", toString(family)));
        return bytes;
    }

    DesiredKeyEntry readKey(JsonValue const& v, std::string const& path) const {
        expect(v, Kind::object, path);
        checkMembers(v, path, kKeyFields);
        DesiredKeyEntry k;
        k.vrfId = readInt<std::uint32_t>(required(v, "vrf", path), join(path, "vrf"), 0, kMaxVrfId);
        k.tunnelType = readEnum(required(v, "tunnelType", path), join(path, "tunnelType"), "tunnel type", kTunnelTypes);
        k.addressFamily =
            readEnum(required(v, "addressFamily", path), join(path, "addressFamily"), "address family", kFamilies);
        k.srcAddr = readAddress(required(v, "srcAddr", path), join(path, "srcAddr"), k.addressFamily);
        k.dstAddr = readAddress(required(v, "dstAddr", path), join(path, "dstAddr"), k.addressFamily);
        if (JsonValue const* p = v.member("priority"))
            k.priority = readInt<std::uint16_t>(*p, join(path, "priority"), 0, kMaxPriority);
        if (JsonValue const* t = v.member("ttlCheck")) k.ttlCheck = readBool(*t, join(path, "ttlCheck"));
        k.actionId =
            readInt<std::uint32_t>(required(v, "actionId", path), join(path, "actionId"), kMinActionId, kMaxActionId);
        return k;
    }

    detail::SourceLines lines_;
    std::vector<PendingUnit> pending_;  // per unit index: entries taken while reading
};

}  // namespace

DesiredState parseDesiredState(std::string_view text, std::string const& file) {
    StateReader reader(file);
    detail::JsonValue const root = detail::readJsonTree(
        text, file, [&reader](std::span<JsonValue const* const> enclosing, std::size_t index, JsonValue&& element) {
            return reader.takeElement(enclosing, index, element);
        });
    return reader.read(root);
}

DesiredState loadDesiredState(std::string const& path) { return parseDesiredState(readStateFile(path), path); }

}  // namespace VornTcamAgent
