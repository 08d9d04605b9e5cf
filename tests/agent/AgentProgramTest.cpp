// The tcam-agent program run as a process: a first run and a restart with a changed desired
// state, what `show` reads back, the completion lines, and malformed inputs that must leave
// shared memory alone. Reading while an agent writes is checked through the Python view, which
// shares show's reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/DesiredStateGenerate.h"
#include "agent/EntryJson.h"
#include "agent/StateFile.h"
#include "contracts/shm/SharedMem.h"
#include "tests/agent/AgentProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace VornTcamAgent;
using nlohmann::json;
using VornTest::pathExists;
using VornTest::runAgent;

class AgentProgram : public ::testing::Test {
  protected:
    ~AgentProgram() override {
        EXPECT_EQ(runAgent({"clean", "--namespace", ns_}).status, 0);
        EXPECT_FALSE(pathExists(shmFile()));
        EXPECT_FALSE(pathExists(shmFile() + "-lock"));
    }

    std::string shmFile() const { return QelSharedMem::environmentPath(ns_); }
    // The data file's modification time: unchanged while nothing writes to it.
    std::pair<long, long> mtime() const {
        struct stat st {};
        EXPECT_EQ(::stat(shmFile().c_str(), &st), 0);
        return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    }

    // Runs `run ... --json` on this test's namespace and returns the summary.
    json run(std::vector<std::string> args, int expectedStatus = 0) {
        args.insert(args.begin(), "run");
        for (std::string a : {"--namespace", ns_.c_str(), "--json"}) args.push_back(a);
        auto const r = runAgent(args);
        EXPECT_EQ(r.status, expectedStatus) << r.err;
        return json::parse(r.out);
    }

    json show() {
        auto const r = runAgent({"show", "--json", "--entries", "--namespace", ns_});
        EXPECT_EQ(r.status, 0) << r.err;
        return json::parse(r.out);
    }

    std::string const ns_ = VornTest::uniqueName("agent");
};

json const& tableOf(json const& doc, std::string const& table) {
    return VornTest::named(doc.at("tables"), "table", table);
}
json const& unitOf(json const& table, unsigned unit) { return VornTest::named(table.at("units"), "unit", unit); }

// The InLif indexes are resolved by the library; the desired entries leave them 0.
json withoutIndexes(json entry) {
    entry.erase("inLif0Index");
    entry.erase("inLif23Index");
    return entry;
}

// Per key (as formatted) the entry as JSON without InLif indexes.
using EntryMap = std::map<std::string, json>;

EntryMap desiredEntries(DesiredUnit const& unit, bool action) {
    EntryMap map;
    if (action) {
        for (auto const& a : unit.actionEntries) map[fmt::format("{}", a.key())] = withoutIndexes(entryJson(a.entry()));
    } else {
        for (auto const& k : unit.keyEntries) map[fmt::format("{}", k.key())] = entryJson(k.entry());
    }
    return map;
}

EntryMap storedEntries(json const& unit) {
    EntryMap map;
    for (auto const& e : unit.at("live")) map[e.at("key")] = withoutIndexes(e.at("entry"));
    return map;
}

struct Expected {
    std::uint64_t rewritten = 0, suppressed = 0, added = 0, swept = 0;
};

Expected expectedRestart(EntryMap const& before, EntryMap const& after) {
    Expected e;
    for (auto const& [key, entry] : after) {
        auto found = before.find(key);
        if (found == before.end())
            ++e.added;
        else if (found->second == entry)
            ++e.suppressed;
        else
            ++e.rewritten;
    }
    for (auto const& [key, entry] : before) e.swept += after.count(key) == 0 ? 1 : 0;
    return e;
}

TEST_F(AgentProgram, RestartWithChangedStateSweepsRewritesAndSuppressesTheRightEntries) {
    DesiredState const first = generate({0, 1}, 60, 3);
    DesiredState const second = mutate(first, 4, 0.3);
    std::vector<std::string> const generated = {"--generate", "60", "--units", "0,1", "--seed", "3"};

    json const one = run(generated);
    EXPECT_FALSE(one.at("restart"));
    EXPECT_EQ(one.at("completed"), 240u);

    // The restart, with the completions on descriptor 3.
    std::vector<std::string> args = {"run", "--namespace", ns_, "--json", "--mutate", "0.3", "--completions-fd", "3"};
    args.insert(args.begin() + 1, generated.begin(), generated.end());
    auto const restartRun = runAgent(args, 3);
    ASSERT_EQ(restartRun.status, 0) << restartRun.err;
    json const two = json::parse(restartRun.out);
    EXPECT_TRUE(two.at("restart"));
    EXPECT_TRUE(two.at("unitsReconciled").empty());
    json const stored = show();

    for (bool action : {false, true}) {
        std::string const name = action ? "TcamAction" : "Tcam";
        json const& summaryTable = tableOf(two, name);
        json const& storedTable = tableOf(stored, name);
        // The change log keeps the log version of its last record in its scratchpad.
        EXPECT_EQ(storedTable.at("changeLog").at("scratchpad"), summaryTable.at("logVersion")) << name;
        EXPECT_EQ(summaryTable.at("tableStatusVersion"), summaryTable.at("logVersion")) << name;
        for (unsigned unitId : {0u, 1u}) {
            SCOPED_TRACE(fmt::format("{} unit {}", name, unitId));
            EntryMap const before = desiredEntries(*first.findUnit(unitId), action);
            EntryMap const after = desiredEntries(*second.findUnit(unitId), action);
            Expected const e = expectedRestart(before, after);
            ASSERT_GT(e.swept, 0u);
            ASSERT_GT(e.rewritten, 0u);
            json const& u = unitOf(summaryTable, unitId);
            EXPECT_EQ(u.at("restored"), before.size());
            EXPECT_EQ(u.at("rewritten"), e.rewritten);
            EXPECT_EQ(u.at("suppressed"), e.suppressed);
            EXPECT_EQ(u.at("new"), e.added);
            EXPECT_EQ(u.at("swept"), e.swept);
            EXPECT_EQ(u.at("completed"), after.size());
            EXPECT_TRUE(u.at("failures").empty());

            json const& s = unitOf(storedTable, unitId);
            EXPECT_EQ(storedEntries(s), after);
            EXPECT_TRUE(s.at("inDeletion").empty());
        }
    }

    // One completion line per request, each naming an entry that is stored as answered.
    std::istringstream lines(restartRun.extra);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(lines, line)) {
        json const c = json::parse(line);
        EXPECT_TRUE(c.at("ok")) << line;
        std::string const id = fmt::format("{}/{}/{}", c.at("table").get<std::string>(), c.at("unit").get<int>(),
                                           c.at("key").get<std::string>());
        EXPECT_TRUE(seen.insert(id).second) << "answered twice: " << id;
        EntryMap const storedUnit = storedEntries(unitOf(tableOf(stored, c.at("table")), c.at("unit")));
        auto found = storedUnit.find(c.at("key"));
        ASSERT_NE(found, storedUnit.end()) << line;
        EXPECT_EQ(withoutIndexes(c.at("entry")), found->second) << line;
    }
    EXPECT_EQ(seen.size(), two.at("requests").get<std::size_t>());
}

// Bad desired states (named by file and line), bad options and a missing file: exit status 2,
// nothing created in a new namespace, and a namespace that holds a state keeps it exactly.
TEST_F(AgentProgram, MalformedInputsExitWithStatus2AndLeaveSharedMemoryAlone) {
    std::string const good =
        R"({"version": 1, "units": [{"unit": 0,)"
        R"( "actionEntries": [{"actionId": 1, "decapType": "decapOuter", "vrf": 10, "inLif": {"intf": 1, "vlan": 2}}],)"
        R"( "keyEntries": [{"vrf": 0, "tunnelType": "vxlan", "addressFamily": "ipv4", "srcAddr": "192.0.2.1",)"
        R"( "dstAddr": "192.0.2.9", "actionId": 1}]}]})";
    std::string const file = "/tmp/" + VornTest::uniqueName("desired") + ".json";
    auto expectRejected = [&](std::vector<std::string> args, std::string const& expected) {
        for (std::string a : {"--namespace", ns_.c_str()}) args.push_back(a);
        auto const r = runAgent(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << "expected \"" << expected << "\" in: " << r.err;
    };
    // Each file's text, and what the message says after "<file>:".
    auto rejectAllFiles = [&] {
        for (auto const& [text, expected] :
             {std::pair<char const*, char const*>{"", "1: "},
              {"{\"version\": 1,\n \"units\": [{\"unit\": 0, \"colour\": 1}]}", "2: units[0].colour"}}) {
            std::ofstream(file, std::ios::trunc) << text;
            expectRejected({"run", "--state", file}, file + ":" + expected);
        }
    };

    rejectAllFiles();
    expectRejected({"run", "--state", file + ".missing"}, file + ".missing");
    expectRejected({"run", "--state", file, "--generate", "5"}, "excludes");
    EXPECT_FALSE(show().at("exists"));
    EXPECT_FALSE(pathExists(shmFile()));

    std::ofstream(file, std::ios::trunc) << good;
    EXPECT_EQ(run({"--state", file}).at("completed"), 2u);
    json const before = show();
    auto const written = mtime();
    rejectAllFiles();
    EXPECT_EQ(show(), before);
    EXPECT_EQ(mtime(), written);
    std::remove(file.c_str());
}

// Whether text printed on a terminal is inert: no control byte but the newlines between lines.
bool inert(std::string const& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    return true;
}

TEST_F(AgentProgram, InputsThatCannotFitOrNeverEndAreRefusedAtOnceWithJson) {
    std::string const dir = "/tmp/" + VornTest::uniqueName("inputs");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::string const fifo = dir + "/fifo", sparse = dir + "/sparse.json", ctrl = dir + "/ctrl.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream{sparse}.put('{');
    ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(kMaxStateFileBytes) + 1), 0);  // sparse: no disk used
    std::ofstream(ctrl) << "{\"version\": 1, \"units\": [{\"unit\": 0, \"actionEntries\": [{\"actionId\": 1, "
                           "\"decapType\": \"\\u001b]0;pwned\\u0007\\u0000" +
                               std::string(100000, 'z') + "\"}]}]}";
    struct Case {
        std::vector<std::string> args;
        std::string expected;  // in the message
        std::string field;     // the JSON document's "field", when a desired-state field is named
    };
    std::vector<Case> const cases = {
        {{"--generate", "65537"}, "more than a unit's table holds (65536)", ""},
        {{"--state", fifo}, "a FIFO, not a regular file", ""},
        {{"--state", sparse}, "more than the 64 MiB a desired state may have", ""},
        {{"--state", ctrl}, "unknown decap type \"\\x1b]0;pwned\\x07\\0zzz", "units[0].actionEntries[0].decapType"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.args.at(1).substr(0, 40));
        std::vector<std::string> args = {"run", "--json", "--namespace", ns_};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto const r = runAgent(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << r.err.substr(0, 400);
        EXPECT_TRUE(inert(r.err)) << r.err.substr(0, 400);
        EXPECT_LT(r.err.size(), 1200u);
        json const doc = json::parse(r.out);
        EXPECT_EQ(doc.at("status"), 2);
        EXPECT_NE(doc.at("error").get<std::string>().find(c.expected), std::string::npos);
        if (!c.field.empty()) {
            EXPECT_EQ(doc.at("field"), c.field);
            EXPECT_EQ(doc.at("line"), 1);
        }
    }
    EXPECT_FALSE(pathExists(shmFile()));
    EXPECT_FALSE(pathExists(shmFile() + "-lock"));
    for (auto const& p : {fifo, sparse, ctrl}) std::remove(p.c_str());
    ::rmdir(dir.c_str());
}

TEST_F(AgentProgram, DefaultUnitsAtFullCapacityCompleteAndAStepBeyondIsRefusedUpFront) {
    json const full = run({"--generate", "65536"});
    EXPECT_EQ(full.at("completed"), 4 * 65536);

    // A full table is not refused for new keys (the run removes its stale entries first), but
    // InLif keys beyond the pools are: the stored action entries keep their 32,768 keys until
    // they are removed, and three units of other keys add 49,152. Refused before shared memory
    // is opened for writing.
    auto const before = mtime();
    auto const r =
        runAgent({"run", "--generate", "65536", "--units", "0,1,2", "--seed", "2", "--namespace", ns_, "--json"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("InLif keys, which keep their indexes until the sweep"), std::string::npos) << r.err;
    EXPECT_EQ(json::parse(r.out).at("status"), 2);
    EXPECT_EQ(mtime(), before);
}

TEST_F(AgentProgram, FailedRequestsAreReportedByClassWithTheirReasons) {
    // Pools of three InLif keys: most action entries get no InLif index, their key entries fail
    // after them.
    ::setenv("VORN_AGENT_INLIF_POOL_SIZE", "3", 1);
    auto const js = runAgent({"run", "--generate", "40", "--units", "0", "--namespace", ns_, "--json"});
    ::unsetenv("VORN_AGENT_INLIF_POOL_SIZE");
    EXPECT_EQ(js.status, 1);
    EXPECT_NE(js.err.find("failed, inLifUnavailable: "), std::string::npos) << js.err;
    json const doc = json::parse(js.out);
    std::uint64_t counted = 0;
    std::set<std::string> classes;
    for (auto const& c : doc.at("failures")) {
        classes.insert(c.at("class"));
        counted += c.at("count").get<std::uint64_t>();
        ASSERT_FALSE(c.at("first").empty());
        for (auto const& f : c.at("first")) {
            EXPECT_FALSE(f.at("reason").get<std::string>().empty());
            EXPECT_EQ(f.at("table"), c.at("class") == "inLifUnavailable" ? "TcamAction" : "Tcam");
        }
    }
    EXPECT_EQ(classes, (std::set<std::string>{"inLifUnavailable", "actionFailed"}));
    EXPECT_EQ(counted, doc.at("failed").get<std::uint64_t>());
}

}  // namespace
