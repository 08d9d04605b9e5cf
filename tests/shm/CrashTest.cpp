// A writer killed with SIGKILL at a random instant: every transaction it reported committed
// is found by the next mount, and every transaction is there whole or not at all.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

constexpr std::uint32_t kKeys = 50;  // configuration keys the writer cycles through

// The writer: continues the change log after the stored scratchpad; each scope writes a
// configuration record, a change-log record and the scratchpad, then reports its version.
[[noreturn]] void runWriter(int reportFd) {
    auto const log = mountLog();
    auto const config = mountConfig();
    auto const control = log->collectionControl();
    for (Asic::LogVersion v = control->scratchpad() + 1;; ++v) {
        {
            QelSharedMem::WriteTransaction txn;
            config->swTableEntriesIs(configRecord(v % kKeys, v));
            log->entryLogConfigIs(logRecord(v, v % kKeys));
            control->scratchpadIs(v);
        }
        if (::write(reportFd, &v, sizeof(v)) != sizeof(v)) ::_exit(2);
    }
}

class ShmCrash : public ShmTest {};

TEST_F(ShmCrash, KilledWriterKeepsEveryReportedTransactionAndNoHalfOne) {
    std::mt19937 rng(std::random_device{}());
    Asic::LogVersion reportedMax = 0;
    for (int round = 0; round < 4; ++round) {
        QelSharedMem::closeEnvironment();  // the child opens its own handle
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t const child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            try {
                runWriter(fds[1]);
            } catch (...) {
                ::_exit(3);
            }
        }
        ::close(fds[1]);

        // Let it commit a random number of transactions, then kill it mid-flight.
        std::uint32_t const wanted = 1 + rng() % 3000;
        Asic::LogVersion v = 0;
        for (std::uint32_t got = 0; got < wanted && ::read(fds[0], &v, sizeof(v)) == sizeof(v); ++got)
            reportedMax = std::max(reportedMax, v);
        ::usleep(rng() % 500);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own, status " << status;
        while (::read(fds[0], &v, sizeof(v)) == sizeof(v)) reportedMax = std::max(reportedMax, v);
        ::close(fds[0]);

        auto const log = mountLog();
        auto const config = mountConfig();
        Asic::LogVersion const last = log->collectionControl()->scratchpad();
        ASSERT_GE(last, reportedMax) << "round " << round;
        ASSERT_LE(last, reportedMax + 1) << "round " << round;  // at most one unreported commit
        auto const& changes = log->entryLogConfig();
        ASSERT_EQ(changes.size(), last);
        ASSERT_EQ(changes.first()->version, 1u);
        ASSERT_FALSE(changes.after(last));
        for (Asic::LogVersion w = 1; w <= last; ++w) ASSERT_TRUE(changes.has(w)) << w;
        // Each key holds the newest version that wrote it: no scope was split.
        for (std::uint32_t k = 0; k < kKeys; ++k) {
            Asic::LogVersion newest = last - (last % kKeys + kKeys - k) % kKeys;
            auto const record = config->swTableEntries().lookup(tcamKey(k));
            if (newest == 0 || newest > last) {
                EXPECT_FALSE(record) << k;
            } else {
                ASSERT_TRUE(record) << k;
                EXPECT_EQ(record->logVersion, newest) << "key " << k << " round " << round;
            }
        }
    }
    EXPECT_GT(reportedMax, 0u);
}

}  // namespace
}  // namespace VornTest
