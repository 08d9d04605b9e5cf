// The operator's tools of tcam-agent run as a process: show's counts and narrowed entries, and
// the sweep audit (of swept and reconciled keys, and the files it accepts). The dry run is
// checked against the restart it plans in the program tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/SharedMem.h"
#include "tests/agent/AgentProcess.h"
#include "tests/support/TestSupport.h"

namespace {

using nlohmann::json;
using VornTest::named;
using VornTest::pathExists;
using VornTest::runAgent;

// The bytes a file holds: each data region with its offset. The shared-memory files are large
// and sparse; their holes read as zeros and are left out.
std::string fileContent(std::string const& path) {
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "(cannot open)";
    std::string content;
    off_t hole = 0;
    for (off_t data; (data = ::lseek(fd, hole, SEEK_DATA)) >= 0;) {
        hole = ::lseek(fd, data, SEEK_HOLE);
        std::string region(static_cast<std::size_t>(hole - data), '\0');
        if (::pread(fd, region.data(), region.size(), data) != static_cast<ssize_t>(region.size())) region = "(short)";
        content += std::to_string(data) + ":" + region;
    }
    ::close(fd);
    return content;
}

class AgentTools : public ::testing::Test {
  protected:
    ~AgentTools() override {
        EXPECT_EQ(runAgent({"clean", "--namespace", ns_}).status, 0);
        EXPECT_FALSE(pathExists(dataFile()));
        for (auto const& f : scratch_) std::remove(f.c_str());
    }

    std::string dataFile() const { return QelSharedMem::environmentPath(ns_); }
    std::string scratchFile(std::string const& what) {
        scratch_.push_back(::testing::TempDir() + VornTest::uniqueName(what));
        return scratch_.back();
    }

    // Runs the agent with `args` and this test's namespace, expecting `status` and `err` in its
    // stderr; returns stdout.
    std::string agent(std::vector<std::string> args, int status = 0, std::string const& err = "") {
        args.insert(args.end(), {"--namespace", ns_});
        return VornTest::expectAgent(args, status, err).out;
    }
    json agentJson(std::vector<std::string> args) { return json::parse(agent(std::move(args))); }

    std::string const ns_ = VornTest::uniqueName("tools");
    std::vector<std::string> scratch_;
};

// (table, unit) -> keys of the live entries `show --json --entries` lists.
std::map<std::pair<std::string, unsigned>, std::set<std::string>> liveKeys(json const& shown) {
    std::map<std::pair<std::string, unsigned>, std::set<std::string>> keys;
    for (auto const& t : shown.at("tables"))
        for (auto const& u : t.at("units"))
            for (auto const& e : u.at("live")) keys[{t.at("table"), u.at("unit")}].insert(e.at("key"));
    return keys;
}

TEST_F(AgentTools, ShowPrintsCountsAndNarrowsEntriesByTableUnitKeyAndLimit) {
    agent({"run", "--generate", "30", "--units", "0,4"});
    json const summary = agentJson({"show", "--json"});
    for (auto const& t : summary.at("tables"))
        for (auto const& u : t.at("units")) EXPECT_EQ(u.at("liveCount"), 30u);
    std::string const text = agent({"show"});
    EXPECT_NE(text.find("unit 4: 30 live, 0 in deletion"), std::string::npos) << text;

    json const all = agentJson({"show", "--json", "--entries"});
    EXPECT_FALSE(all.at("truncated"));
    auto const keys = liveKeys(all);
    ASSERT_EQ(keys.at({"Tcam", 4}).size(), 30u);

    // One table and unit; an exact key; a prefix; a limit across units.
    std::string const key = *keys.at({"Tcam", 4}).begin();
    json const exact = agentJson(
        {"show", "--json", "--entries", "--table", "Tcam", "--unit", "4", "--key", key})["tables"][0]["units"][0];
    ASSERT_EQ(exact.at("live").size(), 1u);
    EXPECT_EQ(exact.at("live")[0].at("key"), key);
    EXPECT_EQ(exact.at("liveCount"), 30u);  // counts stay whole
    json const limited = agentJson({"show", "--json", "--entries", "--limit", "40"});
    EXPECT_TRUE(limited.at("truncated"));
    std::size_t shown = 0;
    for (auto const& [where, set] : liveKeys(limited)) shown += set.size();
    EXPECT_EQ(shown, 40u);

    // Entry filters without --entries, or an unknown table, are refused.
    agent({"show", "--key", "x"}, 2);
    agent({"show", "--entries", "--limit", "3", "--table", "Nope"}, 2);
}

// A restart that sweeps part of unit 0 and reconciles unit 1 away appends one line per key it
// removes, with its cause, to what the file held.
TEST_F(AgentTools, SweepAuditAppendsOneLinePerSweptOrReconciledKeyToAPrivateFileAndRefusesALink) {
    std::string const audit = scratchFile("audit");
    std::ofstream(audit) << "kept\n";
    agent({"run", "--generate", "50", "--units", "0,1", "--sweep-audit", audit});
    EXPECT_EQ(VornTest::fileText(audit), "kept\n");  // a first run sweeps nothing
    auto stored = liveKeys(agentJson({"show", "--json", "--entries"}));
    json const run =
        agentJson({"run", "--json", "--generate", "50", "--units", "0", "--mutate", "0.4", "--sweep-audit", audit});
    EXPECT_EQ(run.at("unitsReconciled"), json::array({1}));
    auto after = liveKeys(agentJson({"show", "--json", "--entries"}));

    std::istringstream lines(VornTest::fileText(audit));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "kept");
    std::map<std::pair<std::string, unsigned>, std::set<std::string>> audited;
    while (std::getline(lines, line)) {
        json const entry = json::parse(line);
        std::pair<std::string, unsigned> const where{entry.at("table"), entry.at("unit")};
        EXPECT_TRUE(audited[where].insert(entry.at("key")).second) << line;
        EXPECT_EQ(stored[where].count(entry.at("key")), 1u) << line;
        EXPECT_EQ(after[where].count(entry.at("key")), 0u) << line;
        EXPECT_EQ(entry.at("time").get<std::string>().size(), 24u) << line;  // 2024-05-01T12:00:00.123Z
        EXPECT_EQ(entry.at("cause"), where.second == 1 ? "reconcile" : "sweep") << line;
        EXPECT_GT(entry.at("logVersion").get<std::uint64_t>(), 0u) << line;
    }
    for (auto const& t : run.at("tables")) {
        std::string const table = t.at("table");
        EXPECT_GT((audited[{table, 0}].size()), 0u) << table;
        EXPECT_EQ((audited[{table, 0}].size()), named(t.at("units"), "unit", 0).at("swept")) << table;
        EXPECT_EQ((audited[{table, 1}]), (stored[{table, 1}])) << table;
        EXPECT_EQ((stored[{table, 1}].size()), 50u) << table;
        EXPECT_TRUE((after[{table, 1}].empty())) << table;
    }

    // A new file is private to its owner; a symbolic link is refused before anything is done.
    std::string const fresh = scratchFile("fresh");
    agent({"run", "--generate", "50", "--units", "0,1", "--sweep-audit", fresh});
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string const link = scratchFile("link");
    ASSERT_EQ(::symlink(fresh.c_str(), link.c_str()), 0);
    std::string const bytes = fileContent(dataFile());
    agent({"run", "--generate", "5", "--sweep-audit", link}, 2, "symbolic link");
    EXPECT_EQ(fileContent(dataFile()), bytes);
}

TEST_F(AgentTools, SweepAuditTakesOnlyAPrivateRegularFileReachedWithoutLinksAndARefusedRunCreatesNone) {
    agent({"run", "--generate", "20", "--units", "0"});
    std::string const bytes = fileContent(dataFile());
    std::string const dir = scratchFile("auditdir");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::string const fifo = dir + "/fifo", foreign = dir + "/foreign", fresh = dir + "/fresh";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string const dirLink = scratchFile("dirlink");
    ASSERT_EQ(::symlink(dir.c_str(), dirLink.c_str()), 0);
    auto refused = [&](std::string const& path, int status, std::string const& expected) {
        // In the background: an agent waiting on a FIFO is killed and fails the test.
        VornTest::BackgroundAgent agent(
            {"run", "--generate", "20", "--units", "0", "--sweep-audit", path, "--namespace", ns_});
        for (int i = 0; i < 1000 && agent.running(); ++i) ::usleep(10000);
        bool const hung = agent.running();
        if (hung) agent.kill();
        auto const r = agent.wait();
        EXPECT_FALSE(hung) << path << " made the agent wait";
        EXPECT_EQ(r.status, status) << path << ": " << r.err;
        EXPECT_NE(r.err.find(expected), std::string::npos) << path << ": " << r.err;
    };
    refused(fifo, 2, "it is a FIFO, not a regular file: refused");
    refused(dirLink + "/fresh", 2, "is a symbolic link: refused");
    refused("/dev/null", 2, "it is a device, not a regular file: refused");
    if (::geteuid() == 0) {
        std::ofstream(foreign) << "theirs\n";
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        refused(foreign, 2, "belongs to another user (uid 65534): refused");
        EXPECT_EQ(VornTest::fileText(foreign), "theirs\n");
    }
    {
        QelSharedMem::NamespaceLock const otherAgent(ns_);
        refused(fresh, 3, "in use by another agent");
    }
    EXPECT_FALSE(pathExists(fresh)) << "a refused run creates no audit file";
    EXPECT_EQ(fileContent(dataFile()), bytes);
    for (auto const& f : {fifo, foreign}) std::remove(f.c_str());
}

}  // namespace
