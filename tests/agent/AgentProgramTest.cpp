// The tcam-agent program run as a process: a first run and a restart with a changed desired
// state, what `show` reads back, the completion lines, and malformed inputs that must leave
// shared memory alone, every option and environment value refused before anything is touched,
// and the trace handles the agent knows. Reading while an agent writes is checked through the Python view, which
// shares show's reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "agent/state/DesiredStateGenerate.h"
#include "agent/state/StateFile.h"
#include "agent/view/EntryJson.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
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
        return json::parse(VornTest::expectAgent(args, expectedStatus).out);
    }
    json show() {
        return json::parse(VornTest::expectAgent({"show", "--json", "--entries", "--namespace", ns_}, 0).out);
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

// Units 0 and 1 restart with changes (InLif keys too), unit 2 is stored but not desired, unit 5
// is new; the dry run plans the restart and changes nothing.
TEST_F(AgentProgram, RestartWithChangedStateDoesWhatItsDryRunPlansAndStoresTheDesiredState) {
    DesiredState const first = generate({0, 1, 2}, 60, 3);
    DesiredState const second = mutate(generate({0, 1, 5}, 60, 3), 4, 0.3);
    json const one = run({"--generate", "60", "--units", "0,1,2", "--seed", "3"});
    EXPECT_FALSE(one.at("restart"));
    EXPECT_EQ(one.at("completed"), 360u);

    std::vector<std::string> args = {"--generate", "60", "--units", "0,1,5", "--seed", "3", "--mutate", "0.3"};
    json const before = show();
    auto const written = mtime();
    args.push_back("--dry-run");
    json const plan = run(args);
    args.insert(args.end(), {"--limit", "2"});
    json const limited = run(args);
    EXPECT_EQ(show(), before);
    EXPECT_EQ(mtime(), written);

    // The restart, with the completions on descriptor 3.
    args.resize(args.size() - 3);
    args.insert(args.begin(), "run");
    args.insert(args.end(), {"--completions-fd", "3", "--namespace", ns_, "--json"});
    auto const restartRun = runAgent(args, {.extraFd = 3});
    ASSERT_EQ(restartRun.status, 0) << restartRun.err;
    json const two = json::parse(restartRun.out);
    EXPECT_TRUE(two.at("restart") && plan.at("restart"));
    EXPECT_EQ(two.at("unitsReconciled"), json::array({2}));
    json const stored = show();

    for (bool action : {false, true}) {
        std::string const name = action ? "TcamAction" : "Tcam";
        json const& summaryTable = tableOf(two, name);
        json const& storedTable = tableOf(stored, name);
        // The change log keeps the log version of its last record in its scratchpad.
        EXPECT_EQ(storedTable.at("changeLog").at("scratchpad"), summaryTable.at("logVersion")) << name;
        EXPECT_EQ(summaryTable.at("tableStatusVersion"), summaryTable.at("logVersion")) << name;
        ASSERT_EQ(tableOf(plan, name).at("units").size(), 4u);
        for (unsigned unitId : {0u, 1u, 2u, 5u}) {
            SCOPED_TRACE(fmt::format("{} unit {}", name, unitId));
            json const& u = unitOf(summaryTable, unitId);
            json const& planned = unitOf(tableOf(plan, name), unitId);
            EXPECT_EQ(planned.at("reconciled"), unitId == 2);
            EXPECT_EQ(u.at("reconciled"), unitId == 2);
            EntryMap const previous = unitId == 5 ? EntryMap{} : desiredEntries(*first.findUnit(unitId), action);
            EntryMap const after = unitId == 2 ? EntryMap{} : desiredEntries(*second.findUnit(unitId), action);
            // The swept keys are those stored before and not desired now.
            std::set<std::string> gone;
            for (auto const& [key, entry] : previous)
                if (after.count(key) == 0) gone.insert(key);
            EXPECT_EQ(planned.at("sweptKeys").get<std::set<std::string>>(), gone);
            json const& cut = unitOf(tableOf(limited, name), unitId);
            EXPECT_EQ(cut.at("sweptKeys").size(), std::min<std::size_t>(2, gone.size()));
            EXPECT_EQ(cut.at("sweptKeysTruncated"), gone.size() > 2);
            if (unitId == 2) {
                EXPECT_EQ(planned.at("swept"), 60u);
                continue;
            }
            Expected const e = expectedRestart(previous, after);
            ASSERT_TRUE(unitId == 5 || e.swept * e.rewritten * e.suppressed > 0) << "the restart proves little";
            EXPECT_EQ(u.at("restored"), previous.size());
            EXPECT_EQ(u.at("rewritten"), e.rewritten);
            EXPECT_EQ(u.at("suppressed"), e.suppressed);
            EXPECT_EQ(u.at("new"), e.added);
            EXPECT_EQ(u.at("swept"), e.swept);
            EXPECT_EQ(u.at("completed"), after.size());
            EXPECT_TRUE(u.at("failures").empty());
            for (char const* field : {"restored", "rewritten", "suppressed", "new", "swept"})
                EXPECT_EQ(planned.at(field), u.at(field)) << field;

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

// Whether text printed on a terminal is inert: no control byte but the newlines between lines.
bool inert(std::string const& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\n') || c == 0x7F) return false;
    return true;
}

// Bad desired states (named by file and line), inputs that cannot fit or never end, bad options
// and a missing file: exit status 2 at once, an inert message and the error in the JSON summary;
// nothing created in a new namespace, and a namespace that holds a state keeps it exactly.
TEST_F(AgentProgram, MalformedInputsAreRefusedWithStatus2AndLeaveSharedMemoryAlone) {
    std::string const dir = "/tmp/" + VornTest::uniqueName("inputs");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::string const empty = dir + "/empty.json", colour = dir + "/colour.json", fifo = dir + "/fifo",
                      sparse = dir + "/sparse.json", ctrl = dir + "/ctrl.json", good = dir + "/good.json";
    std::ofstream{empty};
    std::ofstream(colour) << "{\"version\": 1,\n \"units\": [{\"unit\": 0, \"colour\": 1}]}";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream{sparse}.put('{');
    ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(kMaxStateFileBytes) + 1), 0);  // sparse: no disk used
    std::ofstream(ctrl) << "{\"version\": 1, \"units\": [{\"unit\": 0, \"actionEntries\": [{\"actionId\": 1, "
                           "\"decapType\": \"\\u001b]0;pwned\\u0007\\u0000" +
                               std::string(100000, 'z') + "\"}]}]}";
    std::ofstream(good)
        << R"({"version": 1, "units": [{"unit": 0,)"
           R"( "actionEntries": [{"actionId": 1, "decapType": "decapOuter", "vrf": 10, "inLif": {"intf": 1, "vlan": 2}}],)"
           R"( "keyEntries": [{"vrf": 0, "tunnelType": "vxlan", "addressFamily": "ipv4", "srcAddr": "192.0.2.1",)"
           R"( "dstAddr": "192.0.2.9", "actionId": 1}]}]})";
    struct Case {
        std::vector<std::string> args;
        std::string expected;  // in the message
        std::string field;     // the JSON document's "field", when a desired-state field is named
        int line = 0;          // and its "line"
    };
    std::vector<Case> const cases = {
        {{"--state", empty}, empty + ":1: "},
        {{"--state", colour}, colour + ":2: units[0].colour", "units[0].colour", 2},
        {{"--state", dir + "/missing.json"}, dir + "/missing.json"},
        {{"--state", colour, "--generate", "5"}, "excludes"},
        {{"--generate", "65537"}, "--generate: \"65537\" is not a whole number in 0..65536"},
        {{"--state", fifo}, "a FIFO, not a regular file"},
        {{"--state", sparse}, "more than the 64 MiB a desired state may have"},
        {{"--state", ctrl}, "unknown decap type \"\\x1b]0;pwned\\x07\\0zzz", "units[0].actionEntries[0].decapType", 1},
    };
    auto rejectAll = [&] {
        for (auto const& c : cases) {
            SCOPED_TRACE(c.args.at(1).substr(0, 40));
            std::vector<std::string> args = {"run", "--json", "--namespace", ns_};
            args.insert(args.end(), c.args.begin(), c.args.end());
            auto const r = VornTest::expectAgent(args, 2, c.expected);
            EXPECT_TRUE(inert(r.err)) << r.err.substr(0, 400);
            EXPECT_LT(r.err.size(), 1200u);
            json const doc = json::parse(r.out);
            EXPECT_EQ(doc.at("status"), 2);
            EXPECT_NE(doc.at("error").get<std::string>().find(c.expected), std::string::npos);
            if (!c.field.empty()) {
                EXPECT_EQ(doc.at("field"), c.field);
                EXPECT_EQ(doc.at("line"), c.line);
            }
        }
    };

    rejectAll();
    EXPECT_FALSE(show().at("exists"));
    EXPECT_FALSE(pathExists(shmFile()));
    EXPECT_FALSE(pathExists(shmFile() + "-lock"));

    EXPECT_EQ(run({"--state", good}).at("completed"), 2u);
    json const before = show();
    auto const written = mtime();
    rejectAll();
    EXPECT_EQ(show(), before);
    EXPECT_EQ(mtime(), written);
    for (auto const& p : {empty, colour, fifo, sparse, ctrl, good}) std::remove(p.c_str());
    ::rmdir(dir.c_str());
}

TEST_F(AgentProgram, DefaultUnitsAtFullCapacityCompleteAndAStepBeyondIsRefusedUpFront) {
    json const full = run({"--generate", "65536"});
    EXPECT_EQ(full.at("completed"), 4 * 65536);

    // A full table is not refused for new keys (the run removes its stale entries first), but
    // InLif keys beyond the pools are: the stored action entries keep their 32,768 keys until
    // they are removed, and three units of other keys add 49,152. Refused before shared memory
    // is opened for writing, and checked under the namespace lock: beside another agent the run
    // is refused as busy, since what that agent stores may change until it ends.
    auto const before = mtime();
    std::vector<std::string> const beyond = {"run",    "--generate", "65536",       "--units", "0,1,2",
                                             "--seed", "2",          "--namespace", ns_,       "--json"};
    {
        QelSharedMem::NamespaceLock const otherAgent(ns_);
        VornTest::expectAgent(beyond, 3);
    }
    auto const r = VornTest::expectAgent(beyond, 2, "InLif keys, which keep their indexes until the sweep");
    EXPECT_EQ(json::parse(r.out).at("status"), 2);
    EXPECT_EQ(mtime(), before);
}

TEST_F(AgentProgram, FailedRequestsAreReportedByClassWithTheirReasons) {
    // Pools of three InLif keys: most action entries get no InLif index, their key entries fail
    // after them.
    VornTest::AgentLaunch smallPools{.env = {{"VORN_AGENT_INLIF_POOL_SIZE", "3"}}};
    auto const js = VornTest::expectAgent({"run", "--generate", "40", "--units", "0", "--namespace", ns_, "--json"}, 1,
                                          "failed, inLifUnavailable: ", smallPools);
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

TEST_F(AgentProgram, BadOptionAndEnvironmentValuesAreRefusedWith2NamingTheRangeAndTouchNothing) {
    run({"--generate", "20", "--units", "0,1"});
    json const before = show();
    auto const written = mtime();
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        std::string expected;  // in the message
    };
    std::vector<Case> const cases = {
        {{"run", "--generate", "-5"}, {}, "--generate: \"-5\" is not a whole number in 0..65536"},
        {{"run", "--generate", ""}, {}, "--generate: \"\" is not a whole number in 0..65536"},
        {{"run", "--generate", "20", "--units", ""}, {}, "--units: \"\": item 1: empty; give units 0..255"},
        {{"run", "--generate", "20", "--units", "0,"}, {}, "item 2: empty"},
        {{"run", "--generate", "20", "--units", "0,x"}, {}, "\"x\" is not a whole number in 0..255"},
        {{"run", "--generate", "20", "--units", "0,256"}, {}, "\"256\" is not a whole number in 0..255"},
        {{"run", "--units", "0,0"}, {}, "unit 0 is named twice"},
        {{"run", "--seed", "-1"}, {}, "--seed: \"-1\" is not a whole number in 0..18446744073709551615"},
        {{"run", "--mutate", "nan"}, {}, "--mutate: \"nan\" is not a number in 0..1"},
        {{"run", "--mutate", "-0.5"}, {}, "--mutate: \"-0.5\" is not a number in 0..1"},
        {{"run", "--completions-fd", "-1"}, {}, "--completions-fd: \"-1\" is not a whole number in 0..2147483647"},
        {{"run", "--dry-run", "--limit", "-1"}, {}, "--limit: \"-1\" is not a whole number"},
        {{"run", "--state", ""}, {}, "--state: the value is empty"},
        {{"run", "--sweep-audit", ""}, {}, "--sweep-audit: the value is empty"},
        {{"run", "--trace", ""}, {}, "--trace: the value is empty"},
        {{"run", "--trace", "TcamSwTable/3,,SwTableIter/2"}, {}, "an item is empty"},
        {{"run", "--trace", "TcamSwTabel/3"}, {}, "no trace handle \"TcamSwTabel\"; the handles are "},
        {{"run", "--trace", "TcamSwTable/10"}, {}, "\"10\" is not a whole number in 0..9"},
        {{"show", "--unit", "-1"}, {}, "--unit: \"-1\" is not a whole number in 0..255"},
        {{"show", "--entries", "--limit", "-1"}, {}, "--limit: \"-1\" is not a whole number"},
        {{"show", "--entries", "--key", ""}, {}, "--key: the value is empty"},
        {{"run"}, {{"QEL_TRACE", "Nope/1"}}, "QEL_TRACE: \"Nope/1\": no trace handle \"Nope\""},
        {{"show"}, {{"QEL_TRACE", ""}}, "QEL_TRACE: \"\": an item is empty"},
        {{"clean"}, {{"NOT_LOCAL_EM", "0"}}, "NOT_LOCAL_EM: \"0\" is not accepted; set it to 1"},
        {{"run", "--generate", "20", "--units", "0,1"},
         {{"VORN_AGENT_INLIF_POOL_SIZE", "-1"}},
         "VORN_AGENT_INLIF_POOL_SIZE: \"-1\" is not a whole number in 0..65536"},
        {{"run", "--generate", "20", "--units", "0,1"},
         {{"VORN_AGENT_INLIF_POOL_SIZE", "70000"}},
         "VORN_AGENT_INLIF_POOL_SIZE: \"70000\" is not a whole number in 0..65536"},
    };
    for (auto const& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--namespace", ns_});
        VornTest::expectAgent(args, 2, c.expected, {.env = c.env});
    }
    // The namespace from the environment, when no --namespace is given.
    for (auto const& [value, expected] :
         {std::pair<std::string, std::string>{"", "VORN_SHM_NAMESPACE: it is set but empty"},
          {ns_ + ".x", "VORN_SHM_NAMESPACE: namespace name"}}) {
        VornTest::expectAgent({"run", "--generate", "20", "--units", "0"}, 2, expected,
                              {.env = {{"VORN_SHM_NAMESPACE", value}}});
    }
    // Unit 1 was neither reconciled away nor anything else changed.
    EXPECT_EQ(show(), before);
    EXPECT_EQ(mtime(), written);
}

TEST_F(AgentProgram, TraceHandlesAreTheLibrarysOwnAndEveryHandleThatTracesIsKnown) {
    auto const refused = runAgent({"run", "--trace", "Nope/1", "--namespace", ns_});
    std::string const intro = "the handles are ", outro = " (\"*\" for all)";
    auto const from = refused.err.find(intro);
    ASSERT_NE(from, std::string::npos) << refused.err;
    std::string const list = refused.err.substr(from + intro.size(), refused.err.find(outro) - from - intro.size());
    std::set<std::string> known;
    std::string allAtOne;
    for (std::size_t at = 0; at < list.size();) {
        auto const comma = list.find(", ", at);
        known.insert(list.substr(at, comma - at));
        allAtOne += (allAtOne.empty() ? "" : ",") + list.substr(at, comma - at) + "/1";
        at = comma == std::string::npos ? list.size() : comma + 2;
    }
    EXPECT_TRUE(known.count("TcamSwTable") && known.count("TcamActionEntryLog") && known.count("Tessel")) << list;

    // Every handle listed is accepted; a first run and a restart trace only listed handles.
    VornTest::AgentLaunch quiet{.errPath = "/dev/null"};
    EXPECT_EQ(runAgent({"run", "--dry-run", "--trace", allAtOne, "--namespace", ns_}, quiet).status, 0);
    std::set<std::string> traced;
    for (int pass = 0; pass < 2; ++pass) {
        auto const r = runAgent(
            {"run", "--generate", "5", "--units", "0,1", "--mutate", "0.5", "--trace", "*/9", "--namespace", ns_});
        ASSERT_EQ(r.status, 0) << r.err.substr(0, 400);
        std::istringstream lines(r.err);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] != '[') continue;  // "[LEVEL] HANDLE Class::function:line message"
            auto const start = line.find(' ') + 1;
            traced.insert(line.substr(start, line.find(' ', start) - start));
        }
    }
    EXPECT_GE(traced.size(), 5u);
    for (auto const& name : traced) EXPECT_TRUE(known.count(name)) << name << " traced but not listed in: " << list;
}

TEST_F(AgentProgram, VersionAndACleanOfANamespaceWithNothingStoredSaySo) {
    EXPECT_EQ(VornTest::expectAgent({"--version"}, 0).out, "tcam-agent " VORN_PROJECT_VERSION "\n");
    auto const empty = VornTest::expectAgent({"clean", "--namespace", ns_}, 0);
    EXPECT_NE(empty.out.find("has nothing stored"), std::string::npos) << empty.out;
    EXPECT_TRUE(QelSharedMem::existingNamespaceFiles(ns_).empty());
    run({"--generate", "5", "--units", "0"});
    auto const cleaned = VornTest::expectAgent({"clean", "--namespace", ns_}, 0);
    EXPECT_NE(cleaned.out.find("removed the shared memory"), std::string::npos) << cleaned.out;
}

}  // namespace
