// A child process writes through a real entry log and is killed at a random instant; the next
// mount must find every change the child reported done, and no change half-written.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>

#include "tests/entrylog/EntryLogFixture.h"

namespace VornTest {
namespace {

using Log = VornTunnelTcamMgr::TcamActionEntryLog;
using F = EntryLogFamily<Log>;

enum class Op : std::uint8_t { write, del, tableDel, cleanup };
// One completed operation, as the child reports it through the pipe (one atomic pipe write).
struct Report {
    Op op;
    std::uint16_t value;
    std::uint32_t key;
    Asic::LogVersion version;
};
constexpr std::uint32_t kKeys = 300;
constexpr Asic::LogVersion kCleanupLag = 20;

Lumo::Ptr<Log> makeLog(Lumo::Ptr<Ledra::EntityManager> const& em, Lumo::Ptr<Asic::GroupInterface> const& group) {
    auto log = Lumo::make<Log>(Asic::SwTableId(F::kTableId), em, group, Lumo::String(kAgent));
    log->mountTesselConfig(kUnit, 0);
    return log;
}

[[noreturn]] void runChild(int fd, unsigned seed) {
    auto em = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
    auto group = Lumo::make<Asic::GroupInterface>(kAgent, "VornTunnelTcamMgrGroup", 0x1B08, em, nullptr);
    auto stats = Lumo::make<Asic::SwTableStats>();
    Lumo::Ptr<Asic::NeededEntry const> needed = Lumo::make<Asic::NeededEntry>();
    auto log = makeLog(em, group);
    std::mt19937 rng(seed);
    for (;;) {
        Report r{Op::write, static_cast<std::uint16_t>(rng() % 1000), static_cast<std::uint32_t>(rng() % kKeys), 0};
        unsigned const dice = rng() % 100;
        if (dice < 80) {
            r.version = log->entryIs(F::entry(r.key, r.value), F::rsrcKeys(r.value), needed, kUnit, stats, false);
        } else if (dice < 94) {
            r.op = Op::del;
            r.version = log->entryDel(F::entry(r.key).key, needed, kUnit);
        } else if (dice < 95) {
            r.op = Op::tableDel;
            r.version = log->tableDel(needed, kUnit);
        } else {
            r.op = Op::cleanup;
            r.version = log->tableVersion() > kCleanupLag ? log->tableVersion() - kCleanupLag : 0;
            log->cleanupEntryLog(r.version);
        }
        if (::write(fd, &r, sizeof r) != sizeof r) ::_exit(2);
    }
}

struct KeyState {
    bool live = false;
    std::uint16_t value = 0;
    Asic::LogVersion version = 0;
};

class EntryLogCrash : public ::testing::Test {
  protected:
    // Runs one child, kills it after `reports` reports, and applies what it reported to the model.
    void runAndKill(unsigned seed, unsigned reports) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t const pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            runChild(fds[1], seed);
        }
        ::close(fds[1]);
        Report r;
        for (unsigned n = 0; n < reports && ::read(fds[0], &r, sizeof r) == sizeof r; ++n) apply(r);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << "child ended on its own, status " << status;
        while (::read(fds[0], &r, sizeof r) == sizeof r) apply(r);
        ::close(fds[0]);
    }

    void apply(Report const& r) {
        if (r.op != Op::cleanup && r.version != 0) {
            EXPECT_GT(r.version, lastReported_);
            lastReported_ = r.version;
            reported_.push_back(r);
        }
        if (r.op == Op::write) model_[r.key] = KeyState{true, r.value, r.version};
        if (r.op == Op::del && r.version != 0) model_[r.key] = KeyState{false, model_[r.key].value, r.version};
        if (r.op == Op::tableDel) {
            for (auto& [key, state] : model_)
                if (state.live) state = KeyState{false, state.value, r.version};
        }
    }

    // Mounts as the next agent run would and checks it against the model; then takes the
    // stored state as the model for the next round.
    void verifyAfterRestart() {
        auto em = Lumo::make<Ledra::EntityManager>("VornTunnelNiEm", true);
        auto group = Lumo::make<Asic::GroupInterface>(kAgent, "VornTunnelTcamMgrGroup", 0x1B08, em, nullptr);
        auto log = makeLog(em, group);
        auto const& changeLog = log->tableEntryLog()->entryLogConfig();
        auto const& config = log->tableConfigTessel(kUnit)->swTableEntries();
        Asic::LogVersion const tableVersion = log->tableVersion();
        Asic::LogVersion maxLogged = 0;
        for (auto r = changeLog.first(); r; r = changeLog.after(r->version)) maxLogged = r->version;
        EXPECT_EQ(tableVersion, maxLogged);
        EXPECT_GE(tableVersion, lastReported_);
        EXPECT_LE(tableVersion, lastReported_ + 1);  // at most the one unreported change

        Asic::LogVersion const cleanedAtMost = tableVersion > kCleanupLag ? tableVersion - kCleanupLag : 0;
        for (Report const& r : reported_) {
            if (r.version <= cleanedAtMost) continue;
            auto const change = changeLog.lookup(r.version);
            ASSERT_TRUE(change) << "reported change " << r.version << " lost";
            EXPECT_EQ(change->entryDeleted(), r.op == Op::del);
            EXPECT_EQ(change->tableDeleted(), r.op == Op::tableDel);
        }
        reported_.clear();
        for (auto r = config.first(); r; r = config.after(r->key())) {
            bool const changeKept = r->inDeletion || r->logVersion > cleanedAtMost;
            EXPECT_TRUE(!changeKept || changeLog.has(r->logVersion)) << "record without its change " << r->logVersion;
        }
        for (auto& [key, expected] : model_) {
            auto const stored = config.lookup(F::entry(key).key);
            if (!stored) {
                EXPECT_FALSE(expected.live) << "key " << key << " lost";
                continue;
            }
            if (stored->logVersion != expected.version) {
                EXPECT_EQ(stored->logVersion, lastReported_ + 1) << "key " << key;
                continue;
            }
            EXPECT_EQ(!stored->inDeletion, expected.live) << "key " << key;
            EXPECT_TRUE(!expected.live || stored->logEntry == F::entry(key, expected.value)) << "key " << key;
        }
        model_.clear();
        for (auto r = config.first(); r; r = config.after(r->key()))
            model_[r->key().actionId] =
                KeyState{!r->inDeletion, static_cast<std::uint16_t>(r->logEntry.vrfId), r->logVersion};
        lastReported_ = tableVersion;
        log = nullptr;
        group = nullptr;
        em = nullptr;
        QelSharedMem::closeEnvironment();  // a forked child must not inherit an open environment
    }

    ScopedShmNamespace shm_;
    std::map<std::uint32_t, KeyState> model_;
    std::vector<Report> reported_;
    Asic::LogVersion lastReported_ = 0;
};

TEST_F(EntryLogCrash, KilledWriterLosesNothingItReportedAndHalfWritesNothing) {
    unsigned const seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (unsigned round = 0; round < 5; ++round) {
        runAndKill(rng(), 50 + rng() % 1500);
        verifyAfterRestart();
    }
}

}  // namespace
}  // namespace VornTest
