// tcam-agent on a shared /dev/shm: bad namespace names are refused before anything is created,
// one agent holds a namespace at a time (a second run and a clean are refused with their own
// status while show keeps working), a killed agent does not block the next, and a planted link
// is refused without touching what it points to, and standard descriptors that are closed or
// full neither land text in the store nor end the agent with a signal. A store that cannot be
// used now (a full reader table, another LMDB data version) ends run, show and the dry run with
// status 6 and one message, and is left as it was; show lists the readers of other processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "contracts/shm/StoreFiles.h"
#include "tests/agent/AgentProcess.h"
#include "tests/support/StoreFaults.h"

namespace {

using VornTest::expectAgent;
using VornTest::pathExists;
using VornTest::runAgent;

class AgentStoreSafety : public VornTest::PrivateStoreTest {
  protected:
    AgentStoreSafety() : PrivateStoreTest("agentsafe") {}

    // run, show and the dry run end with status 6 and the same message naming `cause`, and leave
    // the store byte for byte as it was, with nothing set aside.
    void expectUnavailable(std::string const& cause) const {
        std::string const before = VornTest::fileText(files_.data);
        auto const run = expectAgent({"run", "--namespace", ns_, "--generate", "10", "--units", "0"}, 6, cause);
        auto const show = expectAgent({"show", "--namespace", ns_}, 6, "not damaged");
        auto const dryRun = expectAgent({"run", "--dry-run", "--namespace", ns_, "--generate", "10"}, 6);
        std::string const message = VornTest::messageAfter(run.err, "tcam-agent run: ");
        EXPECT_NE(message.find(cause), std::string::npos) << run.err;
        EXPECT_EQ(VornTest::messageAfter(show.err, "tcam-agent show: "), message);
        EXPECT_EQ(VornTest::messageAfter(dryRun.err, "tcam-agent run: --dry-run: "), message);
        expectUntouched(before);
    }
};

TEST_F(AgentStoreSafety, BadNamespaceNamesExitWith2AndCreateNothing) {
    std::string const base = VornTest::uniqueName("bad");
    for (std::string const& bad : {base + "\nx", "-" + base, std::string("../") + base}) {
        for (std::string const command : {"run", "show", "clean"}) {
            auto const r = expectAgent({command, "--namespace", bad}, 2, "namespace");
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "the name is echoed escaped: " << r.err;
        }
    }
    for (auto const& f : QelSharedMem::existingNamespaceFiles(base)) ADD_FAILURE() << "created " << f;
}

TEST_F(AgentStoreSafety, OneAgentPerNamespaceAndAKilledOneDoesNotBlock) {
    VornTest::BackgroundAgent first({"run", "--namespace", ns_, "--generate", "20000", "--units", "0,1"});
    // The first agent holds the namespace once it has opened its store.
    while (first.running() && !pathExists(files_.data)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    expectAgent({"run", "--namespace", ns_, "--generate", "10"}, 3, "in use by another agent");
    ASSERT_TRUE(first.running()) << "the first run ended before the test could overlap it";
    expectAgent({"clean", "--namespace", ns_}, 3);
    EXPECT_TRUE(pathExists(files_.data)) << "a refused clean removes nothing";
    auto const show = expectAgent({"show", "--json", "--namespace", ns_}, 0);
    EXPECT_TRUE(nlohmann::json::parse(show.out).at("exists").get<bool>());
    EXPECT_EQ(first.wait().status, 0);

    // A killed agent leaves its lock file behind, but not its lock.
    VornTest::BackgroundAgent killed({"run", "--namespace", ns_, "--generate", "20000", "--units", "0,1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    killed.kill();
    killed.wait();
    expectAgent({"run", "--namespace", ns_, "--generate", "100", "--units", "0"}, 0);
    expectAgent({"clean", "--namespace", ns_}, 0);
    EXPECT_TRUE(QelSharedMem::existingNamespaceFiles(ns_).empty());
}

TEST_F(AgentStoreSafety, PlantedLinkIsRefusedAndItsTargetUntouched) {
    std::string const target = "/tmp/" + VornTest::uniqueName("target");
    { std::ofstream(target) << "keep me"; }
    ASSERT_EQ(::symlink(target.c_str(), files_.data.c_str()), 0);
    expectAgent({"run", "--namespace", ns_, "--generate", "10"}, 1, "symbolic link");
    expectAgent({"show", "--namespace", ns_}, 1, "symbolic link");
    EXPECT_EQ(VornTest::fileText(target), "keep me");
    EXPECT_FALSE(pathExists(files_.lmdbLock));
    ::unlink(target.c_str());
}

TEST_F(AgentStoreSafety, ClosedOrFullStandardDescriptorsNeitherDamageTheStoreNorEndInASignal) {
    // Started with descriptors 0 to 2 closed, the run prints its summary and its failures (pools
    // of three InLif indexes make requests fail) somewhere that is not the store.
    VornTest::AgentLaunch closed{.closedStdio = true, .env = {{"VORN_AGENT_INLIF_POOL_SIZE", "3"}}};
    std::vector<std::string> const failing = {"run", "--namespace", ns_, "--generate", "40", "--units", "0"};
    EXPECT_EQ(runAgent(failing, closed).status, 1);
    for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_))
        EXPECT_EQ(VornTest::fileText(f).find("tcam-agent"), std::string::npos) << "printed into " << f;
    auto const shown = nlohmann::json::parse(expectAgent({"show", "--json", "--namespace", ns_}, 0).out);
    for (auto const& table : shown.at("tables")) {
        auto const& unit = VornTest::named(table.at("units"), "unit", 0);
        EXPECT_EQ(unit.at("corruptRecords"), 0) << table.at("table");
        EXPECT_GT(unit.at("liveCount").get<int>(), 0) << table.at("table");
    }
    EXPECT_EQ(expectAgent({"run", "--namespace", ns_, "--generate", "40", "--units", "0"}, 0).err.find("RECREATED"),
              std::string::npos);
    for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_))
        EXPECT_EQ(f.find("damaged"), std::string::npos) << "the store was set aside: " << f;

    // Errors on a stderr that takes nothing keep their status; a stdout that takes nothing fails
    // the command with a status too.
    VornTest::AgentLaunch fullErr{.errPath = "/dev/full"};
    EXPECT_EQ(runAgent({"show", "--namespace", "bad!"}, fullErr).status, 2);
    EXPECT_EQ(runAgent({"run", "--namespace", "bad!", "--json"}, fullErr).status, 2);
    fullErr.env = closed.env;
    EXPECT_EQ(runAgent(failing, fullErr).status, 1);
    expectAgent({"show", "--namespace", ns_}, 1, "cannot write to stdout", {.outPath = "/dev/full"});
}

TEST_F(AgentStoreSafety, AStoreThatCannotBeUsedNowIsReportedAlikeAndLeftAsItWas) {
    expectAgent({"run", "--namespace", ns_, "--generate", "10", "--units", "0"}, 0);
    {
        VornTest::HeldReaders readers(files_.data);
        ASSERT_GE(readers.held(), 100u);
        expectUnavailable("reader table is full");
    }
    // Killed, the readers left their slots taken: the next run frees them and restores the store.
    auto const restart = expectAgent({"run", "--json", "--namespace", ns_, "--generate", "10", "--units", "0"}, 0);
    EXPECT_TRUE(nlohmann::json::parse(restart.out).at("restart").get<bool>()) << restart.out;

    VornTest::patchDataVersion(files_.data, 3);
    expectUnavailable("data version 3");
    VornTest::patchDataVersion(files_.data, 1);
    expectAgent({"show", "--namespace", ns_}, 0);
}

TEST_F(AgentStoreSafety, ShowListsTheReadersOfOtherProcesses) {
    expectAgent({"run", "--namespace", ns_, "--generate", "10", "--units", "0"}, 0);
    VornTest::HeldReaders const reader(files_.data, 1);
    ASSERT_EQ(reader.held(), 1u);
    // A run writes past the reader's snapshot, whose pages it then cannot reuse: show says so.
    expectAgent({"run", "--namespace", ns_, "--generate", "10", "--units", "0", "--seed", "2"}, 0);
    auto const text = expectAgent({"show", "--namespace", ns_}, 0);
    EXPECT_NE(text.out.find("readers (other processes, 1 of 126 slots)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("process " + std::to_string(reader.pid()) + ": reads snapshot "), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("commits behind the newest: the file cannot reuse"), std::string::npos) << text.out;
    auto const json = runAgent({"show", "--json", "--namespace", ns_});
    auto const readers = nlohmann::json::parse(json.out).at("readers");
    ASSERT_EQ(readers.size(), 1u) << json.out;
    EXPECT_EQ(readers[0].at("pid"), reader.pid());
    EXPECT_GT(readers[0].at("behind").get<std::uint64_t>(), 0u);
}

}  // namespace
