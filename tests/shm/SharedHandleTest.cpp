// One LMDB handle per store per process: views of one namespace, a view beside the process's own
// environment and the check at open share it, so closing one never takes another's snapshot away
// (a writer of another process would then reuse its pages); a snapshot that was taken away anyway
// is reported. And no file of the store is ever a standard descriptor, LMDB's own included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/ReadOnlyView.h"
#include "tests/support/PrivateStore.h"

namespace {

constexpr int kKeys = 64;

std::string keyOf(int i) { return "key" + std::to_string(i); }
std::string valueOf(int i, int round) { return std::string(2000, char('a' + round % 26)) + std::to_string(i); }

class SharedHandle : public VornTest::PrivateStoreTest {
  protected:
    SharedHandle() : PrivateStoreTest("shared") {}

    void write(QelSharedMem::Environment& env, int round) const {
        for (int i = 0; i < kKeys; ++i) env.put(env.ledraDbi(), keyOf(i), valueOf(i, round));
    }
    void makeStore() const { write(*QelSharedMem::Environment::open(ns_), 0); }
    // Another process opens the store (freeing the reader slots of processes it finds dead) and
    // rewrites every value many times, reusing every page no reader holds.
    void rewriteElsewhere() const {
        auto const child = VornTest::inChild([&] {
            auto env = QelSharedMem::Environment::open(ns_);
            for (int round = 1; round < 40; ++round) write(*env, round);
            return std::string();
        });
        EXPECT_EQ(child.status, 0) << child.text;
    }
    // The view still answers from the snapshot it took: the first values.
    static void expectFirstValues(QelSharedMem::ReadOnlyView const& view) {
        view.checkSnapshot();
        for (int i = 0; i < kKeys; ++i) ASSERT_EQ(view.stateDatabaseValue(keyOf(i)), valueOf(i, 0)) << i;
    }
    static void expectNewestValues(QelSharedMem::Environment& env) {
        EXPECT_EQ(env.get(env.ledraDbi(), keyOf(3)), valueOf(3, 39));
    }
};

TEST_F(SharedHandle, ClosingOneViewKeepsTheOthersSnapshotAndAWriterWaitsForTheLast) {
    makeStore();
    auto kept = QelSharedMem::ReadOnlyView::open(ns_);
    auto closed = QelSharedMem::ReadOnlyView::open(ns_);
    ASSERT_TRUE(kept && closed);
    expectFirstValues(*closed);
    closed.reset();
    // LMDB must not hold the file twice: a writer beside a view is refused, before it touches
    // any file, until the last view is closed.
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), std::logic_error);
    rewriteElsewhere();
    expectFirstValues(*kept);
    kept.reset();
    expectNewestValues(*QelSharedMem::Environment::open(ns_));
}

TEST_F(SharedHandle, AViewAndTheCheckShareTheProcesssEnvironment) {
    QelSharedMem::namespaceIs(ns_);
    auto& env = *QelSharedMem::processEnvironment();
    write(env, 0);
    // Neither the check nor a view closed beside the environment drops its reader slot.
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt);
    QelSharedMem::ReadOnlyView::open(ns_).reset();
    EXPECT_EQ(env.get(env.ledraDbi(), keyOf(1)), valueOf(1, 0));
    // Nor does closing the environment take a view's snapshot.
    auto const view = QelSharedMem::ReadOnlyView::open(ns_);
    ASSERT_TRUE(view);
    QelSharedMem::closeEnvironment();
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt);
    rewriteElsewhere();
    expectFirstValues(*view);
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), std::logic_error);
    expectFirstValues(*view);
}

TEST_F(SharedHandle, ASnapshotTakenAwayIsReportedNotRead) {
    makeStore();
    auto const view = QelSharedMem::ReadOnlyView::open(ns_);
    expectFirstValues(*view);
    // Closing any descriptor of the lock file drops this process's record locks on it, its mark
    // as a live reader among them: the next opener takes the view's slot for a dead one's.
    ::close(::open(files_.lmdbLock.c_str(), O_RDONLY));
    rewriteElsewhere();
    EXPECT_THROW(view->checkSnapshot(), QelSharedMem::StorageError);
}

TEST_F(SharedHandle, NoFileOfTheStoreIsEverAStandardDescriptor) {
    auto const agentAndViews = [&] {
        std::string seen;
        // What descriptors 0-2 are now, and any file of the store open without close-on-exec.
        auto look = [&](char const* when) {
            for (int fd = 0; fd < 64; ++fd) {
                char target[512] = {};
                std::string const link = "/proc/self/fd/" + std::to_string(fd);
                if (::readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
                bool const store = std::string(target).find("vorn-tcam." + ns_) != std::string::npos;
                if (fd <= 2) seen += std::string(when) + ": descriptor " + std::to_string(fd) + " is " + target + "\n";
                if (store && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
                    seen += std::string(when) + ": " + target + " is not close-on-exec\n";
            }
        };
        for (int fd = 0; fd <= 2; ++fd) ::close(fd);
        QelSharedMem::NamespaceLock const lock(ns_);
        QelSharedMem::namespaceIs(ns_);
        auto const& env = QelSharedMem::processEnvironment();
        env->put(env->ledraDbi(), "key", "value");
        auto view = QelSharedMem::ReadOnlyView::open(ns_);
        look("agent and view");
        QelSharedMem::closeEnvironment();
        view.reset();
        if (QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize)) seen += "damaged\n";
        view = QelSharedMem::ReadOnlyView::open(ns_);  // a read-only handle of its own
        look("view alone");
        if (view->stateDatabaseValue("key") != "value") seen += "value lost\n";
        view.reset();
        if (::write(2, "x", 1) != -1) seen += "descriptor 2 was left open\n";
        return seen;
    };
    EXPECT_EQ(VornTest::inChild(agentAndViews).text, "");
}

}  // namespace
