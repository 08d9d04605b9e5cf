// Damage to the stored environment file between runs: the check at open finds what LMDB would
// trip over (or abort on) and the file is created anew; what it lets through can be read and
// written without the process dying. A writer killed with SIGKILL at a random instant: every
// transaction it reported committed is found by the next mount, whole, and no other half.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "contracts/shm/Environment.h"
#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

class ShmDamage : public ShmTest {
  protected:
    Lumo::String path() const { return QelSharedMem::environmentPath(shm_.name()); }

    // A configuration table and a change log with removals behind them (so that the file has
    // free pages), left closed.
    void fill() {
        {
            auto log = mountLog();
            auto config = mountConfig();
            for (std::uint32_t n = 0; n < 300; ++n) {
                config->swTableEntriesIs(configRecord(n, n + 1));
                log->entryLogConfigIs(logRecord(n + 1, n));
            }
            for (std::uint32_t n = 0; n < 300; n += 3) config->swTableEntries().del(tcamKey(n));
        }
        restart();
    }

    std::vector<unsigned char> readFile(std::size_t bytes) const {
        std::vector<unsigned char> data(bytes);
        int const fd = ::open(path().c_str(), O_RDONLY);
        EXPECT_EQ(::pread(fd, data.data(), bytes, 0), static_cast<ssize_t>(bytes));
        ::close(fd);
        return data;
    }
    void writeAt(std::size_t offset, void const* bytes, std::size_t size) const {
        int const fd = ::open(path().c_str(), O_WRONLY);
        EXPECT_EQ(::pwrite(fd, bytes, size, static_cast<off_t>(offset)), static_cast<ssize_t>(size));
        ::close(fd);
    }

    // Every record of both tables read (a damaged one reported), some written and removed: the
    // child's exit status, or 128 + the signal that ended it.
    int useInChild() {
        return inChild([] {
                   auto log = mountLog();
                   auto config = mountConfig();
                   auto& entries = config->swTableEntries();
                   for (int pass = 0; pass < 2; ++pass) {
                       try {
                           for (auto cur = entries.first(); cur; cur = entries.after(cur->key())) {
                           }
                       } catch (Lumo::CorruptionDetectedException const& e) {
                           entries.doCorruptionDetected(e.what());
                       }
                   }
                   for (std::uint32_t n = 0; n < 40; ++n) {
                       config->swTableEntriesIs(configRecord(n, 1000 + n));
                       log->entryLogConfigIs(logRecord(1000 + n, n));
                       entries.del(tcamKey(n + 100));
                   }
                   return std::string();
               })
            .status;  // a storage error thrown is a clean refusal (1), not a crash
    }
};

TEST_F(ShmDamage, FlippedBytesAreFoundAtOpenOrReadAndWrittenWithoutDying) {
    fill();
    ASSERT_EQ(QelSharedMem::environmentFileDamage(path(), QelSharedMem::kMapSize), std::nullopt);
    // The used pages are the start of the sparse file: up to the last page the metas name.
    std::size_t used = 0;
    {
        int const fd = ::open(path().c_str(), O_RDONLY);
        off_t const hole = ::lseek(fd, 0, SEEK_HOLE);
        ::close(fd);
        used = static_cast<std::size_t>(hole);
    }
    ASSERT_GT(used, 8192u);
    std::vector<unsigned char> const pristine = readFile(used);

    std::mt19937 rng(20241205);
    int found = 0, passed = 0;
    for (int trial = 0; trial < 120; ++trial) {
        std::size_t const offset = rng() % used;
        unsigned char const flipped = pristine[offset] ^ static_cast<unsigned char>(1 + rng() % 255);
        writeAt(offset, &flipped, 1);
        if (QelSharedMem::environmentFileDamage(path(), QelSharedMem::kMapSize)) {
            ++found;
        } else {
            ++passed;
            int const status = useInChild();
            EXPECT_LT(status, 128) << "offset " << offset << " killed the process: signal " << status - 128;
        }
        writeAt(0, pristine.data(), pristine.size());  // the next trial starts from the sound file
    }
    EXPECT_GT(found, 5);
    EXPECT_GT(passed, 10);  // bytes in free space, free pages and record values are not structure
}

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
