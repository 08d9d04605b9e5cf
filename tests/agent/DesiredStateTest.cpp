// Desired state of the agent simulator: JSON reading with line-accurate errors, writing, limits,
// and generated and mutated states (reproducible, valid, changing the share asked for).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>

#include "agent/state/DesiredState.h"
#include "agent/state/DesiredStateGenerate.h"
#include "agent/state/DesiredStateJson.h"
#include "agent/state/EchoText.h"

namespace {

using namespace VornTcamAgent;

// A valid state; the malformed cases below edit single lines of it, so line numbers are stable.
std::vector<std::string> baseLines() {
    return {
        R"({)",                                                                                                   // 1
        R"(  "version": 1,)",                                                                                     // 2
        R"(  "units": [)",                                                                                        // 3
        R"(    {)",                                                                                               // 4
        R"(      "unit": 0,)",                                                                                    // 5
        R"(      "actionEntries": [)",                                                                            // 6
        R"(        {"actionId": 1, "decapType": "decapOuter", "vrf": 10, "inLif": {"intf": 100, "vlan": 20}},)",  // 7
        R"(        {"actionId": 2, "decapType": "forwardOnly", "vrf": 0, "inLif": null})",                        // 8
        R"(      ],)",                                                                                            // 9
        R"(      "keyEntries": [)",                                                                               // 10
        R"(        {"vrf": 10, "tunnelType": "vxlan", "addressFamily": "ipv4", "srcAddr": "10.0.0.1", "dstAddr": "10.0.0.2", "priority": 5, "ttlCheck": true, "actionId": 1},)",  // 11
        R"(        {"vrf": 10, "tunnelType": "gre", "addressFamily": "ipv6", "srcAddr": "2001:db8::1", "dstAddr": "2001:db8::2", "actionId": 2})",  // 12
        R"(      ])",                                                                         // 13
        R"(    },)",                                                                          // 14
        R"(    {)",                                                                           // 15
        R"(      "unit": 1,)",                                                                // 16
        R"(      "actionEntries": [{"actionId": 1, "decapType": "decapOuter", "vrf": 1}],)",  // 17
        R"(      "keyEntries": [])",                                                          // 18
        R"(    })",                                                                           // 19
        R"(  ])",                                                                             // 20
        R"(})",                                                                               // 21
    };
}

// The base text with the given lines (1-based) replaced; a replacement may span several lines.
std::string edits(std::vector<std::pair<int, std::string>> const& replacements) {
    auto lines = baseLines();
    for (auto const& [n, text] : replacements) lines.at(static_cast<std::size_t>(n - 1)) = text;
    std::string out;
    for (auto const& l : lines) out += l + "\n";
    return out;
}
std::string base() { return edits({}); }
std::string edit(int n, std::string const& replacement) { return edits({{n, replacement}}); }

// Line 11 (a key entry) or 7 (an action entry) with `from` replaced by `to`: most cases are one field off.
std::string editIn(int n, std::string const& from, std::string const& to) {
    std::string line = baseLines().at(static_cast<std::size_t>(n - 1));
    line.replace(line.find(from), from.size(), to);
    return edit(n, line);
}
std::string editKey(std::string const& from, std::string const& to) { return editIn(11, from, to); }
std::string editAction(std::string const& from, std::string const& to) { return editIn(7, from, to); }

struct BadCase {
    std::string text;
    int line;
    std::string message;  // a substring of what()
};

std::vector<BadCase> badCases() {
    std::string const key2 = baseLines()[11];
    std::string sameKey2 = key2;  // the same key, its address written another way
    sameKey2.replace(sameKey2.find("2001:db8::1"), 11, "2001:0db8:0:0:0:0:0:1");
    return {
        // empty input and syntax
        {"", 1, "the file is empty"},
        {edit(2, R"(  "version": 1)"), 3, "syntax error"},
        {R"({"version": 1,)"
         "\n"
         R"("units": [)"
         "\n",
         2, "unexpected end of input"},
        {editKey("true", "tru"), 11, "invalid literal"},
        {std::string(40, '[') + std::string(40, ']'), 1, "nested deeper than 32"},
        // structure and types
        {"[]\n", 1, "(top level): expected an object, got an array"},
        {edit(2, ""), 1, "(top level): missing field \"version\""},
        {edit(2, R"(  "version": 2,)"), 2, "version: unsupported version 2 (this program reads version 1)"},
        {R"({"version": 1, "units": []})", 1, "units: no units"},
        {edit(2, R"(  "version": 1, "comment": "x",)"), 2, "comment: unknown field (expected one of version, units)"},
        {editAction(R"("vrf")", R"("vfr")"), 7, "units[0].actionEntries[0].vfr: unknown field"},
        {editKey(R"("priority": 5)", R"("priority": 5, "priority": 6)"), 11,
         "units[0].keyEntries[0].priority: field given twice"},
        {editKey("true", "1"), 11, "units[0].keyEntries[0].ttlCheck: expected a boolean, got an integer"},
        {editKey(R"("vrf": 10)", R"("vrf": 1.5)"), 11, "vrf: expected an integer in 0..65535, got 1.5"},
        {editAction(R"("vrf": 10, )", ""), 7, "units[0].actionEntries[0]: missing field \"vrf\""},
        // ranges and enumerations
        {edit(5, R"(      "unit": 256,)"), 5, "units[0].unit: 256 is out of range 0..255"},
        {edit(5, R"(      "unit": 99999999999999999999,)"), 5, "99999999999999999999 is out of range 0..255"},
        {editAction(R"("actionId": 1)", R"("actionId": 0)"), 7, "actionId: 0 is out of range 1..4294967295"},
        {editAction(R"("vlan": 20)", R"("vlan": 4096)"), 7, "inLif.vlan: 4096 is out of range 0..4095"},
        {editKey(R"("vxlan")", R"("none")"), 11, "unknown tunnel type \"none\" (expected one of ipInIp, gre,"},
        // addresses
        {editKey("10.0.0.1", "10.0.0.256"), 11, "srcAddr: \"10.0.0.256\" is not an IPv4 or IPv6 address"},
        {editKey("10.0.0.2", "2001:db8::2"), 11, "dstAddr: 2001:db8::2 is an IPv6 address but addressFamily is ipv4"},
        // duplicates and references
        {edit(16, R"(      "unit": 0,)"), 16, "units[1].unit: unit 0 appears twice (first at units[0])"},
        {edit(8, R"(        {"actionId": 1, "decapType": "forwardOnly", "vrf": 0})"), 8,
         "units[0].actionEntries[1].actionId: duplicate action entry 1 (first at actionEntries[0])"},
        {edit(12, key2 + ",\n" + sameKey2), 13,
         "units[0].keyEntries[2]: duplicate key (vrf 10, gre, 2001:db8::1 -> 2001:db8::2)"},
        {editKey(R"("actionId": 1)", R"("actionId": 7)"), 11,
         "units[0].keyEntries[0].actionId: no action entry 7 in unit 0"},
        // problems are reported in file order, though entries are checked while the file is read
        {edits({{5, R"(      "unit": 256,)"}, {7, "        {\"actionId\": 0},"}}), 5, "256 is out of range"},
        // lines of values that end their line, of names apart from their values, of multi-line objects
        {edit(11, "        {\"vrf\":\n         70000,\n" + baseLines()[10].substr(20)), 12, "70000 is out of range"},
        {edit(12, "        {\"vrf\": 1,\n\n         \"actionId\": 2}"), 12,
         "keyEntries[1]: missing field \"tunnelType\""},
    };
}

// The error that parsing `text` as bad.json ends with.
DesiredStateError parseError(std::string const& text) {
    try {
        parseDesiredState(text, "bad.json");
    } catch (DesiredStateError const& e) {
        return e;
    }
    ADD_FAILURE() << "accepted";
    return DesiredStateError("", 0, "", "");
}

TEST(DesiredStateTest, MalformedInputsNameTheirLineAndField) {
    auto const cases = badCases();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(fmt::format("case {}:\n{}", i, cases[i].text));
        std::string const what = parseError(cases[i].text).what();
        EXPECT_NE(what.find(cases[i].message), std::string::npos) << what;
        EXPECT_EQ(what.rfind(fmt::format("bad.json:{}: ", cases[i].line), 0), 0u) << what;
    }
}

TEST(DesiredStateTest, ValidFileBecomesTheModelAndTheValueTypes) {
    DesiredState const s = parseDesiredState(base());
    ASSERT_EQ(s.units.size(), 2u);
    EXPECT_EQ(s.findUnit(1), &s.units[1]);
    DesiredUnit const& u0 = s.units[0];
    EXPECT_EQ(u0.actionEntries, (std::vector<DesiredActionEntry>{{1, DecapType::decapOuter, 10, {100, 20}},
                                                                 {2, DecapType::forwardOnly, 0, {}}}));
    ASSERT_EQ(u0.keyEntries.size(), 2u);
    EXPECT_EQ(u0.keyEntries[0],
              (DesiredKeyEntry{10, TunnelType::vxlan, AddressFamily::ipv4, {10, 0, 0, 1}, {10, 0, 0, 2}, 5, true, 1}));

    // The value types the library takes.
    auto const action = u0.actionEntries[0].entry();
    EXPECT_EQ(action.logEntry.decapType, static_cast<std::uint8_t>(DecapType::decapOuter));
    EXPECT_EQ(action.logEntry.vrfId, 10u);
    EXPECT_EQ(action.inLifIndexKey(), (VornInLif::InLifKey{100, 20}));
    auto const v4 = u0.keyEntries[0].entry();
    EXPECT_EQ(v4.key().tunnelType, static_cast<std::uint8_t>(TunnelType::vxlan));
    EXPECT_EQ(v4.key().addressFamily, 4);
    EXPECT_EQ(v4.key().srcAddr, (IpBytes{10, 0, 0, 1}));
    EXPECT_EQ(v4.logEntry.actionKey.actionId, 1u);
    EXPECT_EQ(v4.logEntry.ttlCheck, 1);
}

// What validate() says of `state`: "<path>: <problem>" of its error, or "accepted".
std::string validation(DesiredState const& state) {
    try {
        validate(state);
        return "accepted";
    } catch (DesiredStateError const& e) {
        return e.path() + ": " + e.problem();
    }
}

TEST(DesiredStateTest, ValidateRejectsStatesTheFileFormatCannotExpress) {
    DesiredState const good = parseDesiredState(base());
    EXPECT_EQ(validation(good), "accepted");
    EXPECT_EQ(validation(DesiredState{}), "units: no units");
    DesiredState s = good;
    s.units[0].keyEntries[0].srcAddr[7] = 1;  // IPv4 with bytes beyond the fourth
    EXPECT_EQ(validation(s), "units[0].keyEntries[0].srcAddr: IPv4 address with bytes beyond the fourth");
    s = good;
    s.units[0].keyEntries[0].tunnelType = static_cast<TunnelType>(9);
    EXPECT_EQ(validation(s).rfind("units[0].keyEntries[0].tunnelType: invalid tunnel type 9", 0), 0u) << validation(s);
}

TEST(DesiredStateTest, WrittenStatesParseBackEqual) {
    DesiredState generated = generate({0, 3, 255}, 200, 42);
    generated.units.push_back(DesiredUnit{7, {}, {}});  // a unit with nothing desired
    for (DesiredState const& s : {generated, mutate(generated, 5, 0.4), parseDesiredState(base())}) {
        std::string const text = writeDesiredState(s);
        EXPECT_EQ(parseDesiredState(text, "written.json"), s);
        EXPECT_EQ(writeDesiredState(parseDesiredState(text)), text);
    }
}

TEST(DesiredStateTest, ExampleFileIsValid) {
    EXPECT_EQ(loadDesiredState(VORN_SOURCE_DIR "/examples/desired-state.json").units.size(), 2u);
}

// A state of units 0, 1, ... with the given numbers of action entries, one entry per line.
std::string bulkState(std::vector<std::size_t> const& actionsPerUnit) {
    std::string text = "{\"version\": 1, \"units\": [\n";
    for (std::size_t u = 0; u < actionsPerUnit.size(); ++u) {
        text += fmt::format("{}{{\"unit\": {}, \"actionEntries\": [\n", u ? ",\n" : "", u);
        for (std::size_t i = 0; i < actionsPerUnit[u]; ++i) {
            text += fmt::format("{}{{\"actionId\": {}, \"decapType\": \"none\", \"vrf\": 0}}\n", i ? "," : "", i + 1);
        }
        text += "]}";
    }
    return text + "]}\n";
}

TEST(DesiredStateTest, StatesBeyondWhatTheAgentHoldsAreRefusedWhereTheyOverflow) {
    // One entry more than a table holds is refused at that entry's line (header line + index +
    // 1), before the rest of the file is read.
    auto const tooMany = parseError(bulkState({kMaxEntriesPerTable + 1, 1}));
    EXPECT_EQ(tooMany.path(), fmt::format("units[0].actionEntries[{}]", kMaxEntriesPerTable));
    EXPECT_EQ(tooMany.line(), static_cast<int>(kMaxEntriesPerTable) + 3);
    EXPECT_NE(tooMany.problem().find("at most 65536"), std::string::npos) << tooMany.what();

    // Distinct InLif keys are counted over all units (the pools are shared); tables of exactly
    // the capacity are accepted.
    auto const rejectedAt = [](DesiredState const& state) {
        std::string const said = validation(state);
        EXPECT_TRUE(said == "accepted" || said.find("65536") != std::string::npos) << said;
        return said.substr(0, said.find(": "));
    };
    DesiredState full;
    for (Asic::UnitId unit : {0, 1}) {
        DesiredUnit u{unit, {}, {}};
        for (std::uint32_t i = 0; i < kMaxInLifKeys / 2; ++i)
            u.actionEntries.push_back({i + 1, DecapType::none, 0, VornInLif::InLifKey{1 + i + unit * 100000u, 1}});
        full.units.push_back(std::move(u));
    }
    EXPECT_EQ(rejectedAt(full), "accepted");
    DesiredState pools = full;
    pools.units[1].actionEntries.push_back({999999, DecapType::none, 0, VornInLif::InLifKey{7777777, 1}});
    EXPECT_EQ(rejectedAt(pools), fmt::format("units[1].actionEntries[{}].inLif", kMaxInLifKeys / 2));
    DesiredState shared = pools;  // a key already in use costs nothing
    shared.units[1].actionEntries.back().inLif = full.units[0].actionEntries[0].inLif;
    EXPECT_EQ(rejectedAt(shared), "accepted");

    DesiredState capacity = generate({0}, 2, 1);
    capacity.units[0].actionEntries.clear();
    capacity.units[0].keyEntries.clear();
    for (std::uint32_t i = 0; i < kMaxEntriesPerTable; ++i)
        capacity.units[0].actionEntries.push_back({i + 1, DecapType::none, 0, {}});
    EXPECT_EQ(rejectedAt(capacity), "accepted");
    capacity.units[0].actionEntries.push_back({kMaxEntriesPerTable + 1, DecapType::none, 0, {}});
    EXPECT_EQ(rejectedAt(capacity), "units[0].actionEntries[65536]");

    // Generated sizes are checked before anything is generated, and the default units at full
    // capacity fit the pools.
    EXPECT_NO_THROW(checkGenerateSize(2, kMaxEntriesPerTable));
    EXPECT_THROW(checkGenerateSize(1, kMaxEntriesPerTable + 1), std::invalid_argument);
    EXPECT_THROW(checkGenerateSize(5, kMaxEntriesPerTable), std::invalid_argument);
    EXPECT_THROW(generate({0}, kMaxEntriesPerTable + 1, 1), std::invalid_argument);
}

// Whether a message is safe on a terminal: no control byte, no invalid UTF-8.
bool printable(std::string const& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return text == echoMessage(text, text.size() + 1);
}

TEST(DesiredStateTest, EchoedInputIsEscapedAndShortenedAndKeepsItsPlace) {
    EXPECT_EQ(echoText("a\x1b[2J\n\t\\b"), "a\\x1b[2J\\n\\t\\\\b");
    EXPECT_EQ(echoText("bad \xff\xc3 utf8, ok \xc3\xa9"), "bad \\xff\\xc3 utf8, ok \xc3\xa9");
    EXPECT_EQ(echoText("\xe2\x80\xae"
                       "evil \xc2\x9b"),
              "\\u202eevil \\u009b");  // bidi override, C1 CSI
    EXPECT_EQ(echoText(std::string(10, 'x'), 4), "xxxx...(10 bytes)");
    EXPECT_EQ(echoText("\xc3\xa9\xc3\xa9", 3), "\xc3\xa9...(4 bytes)");  // cut between characters

    // Each case: the text of one field's value (or name), and the field the message must name.
    std::string const huge(1 << 20, 'A');
    struct Case {
        std::string text;
        std::string path;
    };
    auto action = [](std::string const& member) {
        return "{\"version\": 1, \"units\": [{\"unit\": 0, \"actionEntries\": [\n{\"actionId\": 1, " + member + "}]}]}";
    };
    std::vector<Case> const cases = {
        {action(R"("decapType": "\u001b[31mred\u0000hidden tail", "vrf": 0)"), "units[0].actionEntries[0].decapType"},
        {action("\"decapType\": \"" + huge + "\", \"vrf\": 0"), "units[0].actionEntries[0].decapType"},
        {action(R"("decapType": "none", "vr\u001bf": 0)"), "units[0].actionEntries[0].vr\\x1bf"},
        {action(R"("decapType": "none", "vrf": 1e400)"), "units[0].actionEntries[0].vrf"},
        {action("\"decapType\": \"none\", \"vrf\": 1" + std::string(5000, '0')), "units[0].actionEntries[0].vrf"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(fmt::format("case {}", i));
        std::string const what = parseError(cases[i].text).what();
        EXPECT_EQ(what.rfind("bad.json:2: " + cases[i].path + ": ", 0), 0u) << what.substr(0, 300);
        EXPECT_TRUE(printable(what)) << what.substr(0, 300);
        EXPECT_LT(what.size(), 600u);
    }
    EXPECT_NE(std::string(parseError(cases[0].text).what()).find("\\0hidden tail"), std::string::npos);

    // -0 is 0, in range wherever 0 is.
    EXPECT_EQ(parseDesiredState(R"({"version": 1, "units": [{"unit": -0}]})").units.at(0).unitId, 0);
    // A file name is quoted like a value.
    EXPECT_TRUE(printable(DesiredStateError("x\x1b]0;title\x07.json", 1, "units", "no units").what()));
}

using namespace VornTcamAgent;

TEST(DesiredStateGenerate, GenerateIsReproducibleAndSharesInLifs) {
    DesiredState const s = generate({0, 1}, 100, 7);
    EXPECT_EQ(generate({0, 1}, 100, 7), s);
    EXPECT_NE(generate({0, 1}, 100, 8), s);
    EXPECT_EQ(generate({1}, 100, 7).units[0], s.units[1]);  // a unit does not depend on the others
    EXPECT_NO_THROW(validate(s));

    for (auto const& u : s.units) {
        ASSERT_EQ(u.actionEntries.size(), 100u);
        ASSERT_EQ(u.keyEntries.size(), 100u);
        std::map<VornInLif::InLifKey, int> users;
        int withoutInLif = 0;
        for (auto const& a : u.actionEntries) {
            if (a.inLif.isNull())
                ++withoutInLif;
            else
                ++users[a.inLif];
        }
        EXPECT_GT(withoutInLif, 0);
        int shared = 0;
        for (auto const& [key, n] : users) shared += n > 1;
        EXPECT_GT(shared, 5);
        std::set<AddressFamily> families;
        for (auto const& k : u.keyEntries) families.insert(k.addressFamily);
        EXPECT_EQ(families.size(), 2u);
    }

    EXPECT_THROW(generate({256}, 1, 1), std::invalid_argument);
    EXPECT_THROW(generate({2, 2}, 1, 1), std::invalid_argument);
}

TEST(DesiredStateGenerate, MutateChangesDropsAndAddsEntries) {
    DesiredState const before = generate({0, 9}, 60, 3);
    EXPECT_EQ(mutate(before, 11, 0.0), before);
    DesiredState const after = mutate(before, 11, 0.3);
    EXPECT_EQ(mutate(before, 11, 0.3), after);
    EXPECT_NO_THROW(validate(after));

    for (std::size_t u = 0; u < before.units.size(); ++u) {
        ASSERT_EQ(after.units[u].unitId, before.units[u].unitId);
        std::map<std::uint32_t, DesiredActionEntry> old;
        for (auto const& a : before.units[u].actionEntries) old[a.actionId] = a;
        int changed = 0, added = 0, kept = 0;
        for (auto const& a : after.units[u].actionEntries) {
            auto it = old.find(a.actionId);
            if (it == old.end())
                ++added;
            else
                ++(it->second == a ? kept : changed);
        }
        int const dropped = static_cast<int>(old.size()) - kept - changed;
        EXPECT_EQ(changed, 6);  // a third of 30 % of 60
        EXPECT_EQ(dropped, 6);
        EXPECT_EQ(added, 6);

        EXPECT_EQ(after.units[u].keyEntries.size(), 60u);  // 6 dropped, 6 added
    }

    // Small tables and whole-table churn stay valid, whatever the seed.
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        DesiredState const small = generate({0}, 1 + seed % 3, seed);
        EXPECT_NO_THROW(validate(mutate(small, seed, 1.0)));
    }
    EXPECT_THROW(mutate(before, 1, 1.5), std::invalid_argument);
}

}  // namespace
