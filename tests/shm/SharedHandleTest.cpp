// One LMDB handle per store per process: views of one namespace, a view beside the process's own
// environment and the check at open share it, so closing one never takes another's snapshot away
// (a writer of another process would then reuse its pages); a snapshot that was taken away anyway
// is reported. And no file of the store is ever a standard descriptor, LMDB's own included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kKeys = 64;

std::string keyOf(int i) { return "key" + std::to_string(i); }
std::string valueOf(int i, int round) { return std::string(2000, char('a' + round % 26)) + std::to_string(i); }

// Runs `fn` in a child process; its exit status.
int inChild(std::function<int()> const& fn) {
    pid_t const child = ::fork();
    if (child == 0) ::_exit(fn());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SharedHandle : public ::testing::Test {
  protected:
    SharedHandle() { QelSharedMem::closeEnvironment(); }
    ~SharedHandle() override {
        QelSharedMem::closeEnvironment();
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_)) ::unlink(f.c_str());
    }

    void write(QelSharedMem::Environment& env, int round) const {
        for (int i = 0; i < kKeys; ++i) env.put(env.ledraDbi(), keyOf(i), valueOf(i, round));
    }
    void makeStore() const { write(*QelSharedMem::Environment::open(ns_), 0); }
    // Another process opens the store (freeing the reader slots of processes it finds dead) and
    // rewrites every value many times, reusing every page no reader holds.
    void rewriteElsewhere() const {
        EXPECT_EQ(inChild([&] {
                      auto env = QelSharedMem::Environment::open(ns_);
                      for (int round = 1; round < 40; ++round) write(*env, round);
                      return 0;
                  }),
                  0);
    }
    // The view still answers from the snapshot it took: the first values.
    static void expectFirstValues(QelSharedMem::ReadOnlyView const& view) {
        view.checkSnapshot();
        for (int i = 0; i < kKeys; ++i) ASSERT_EQ(view.stateDatabaseValue(keyOf(i)), valueOf(i, 0)) << i;
    }

    std::string const ns_ = VornTest::uniqueName("shared");
    QelSharedMem::NamespaceFiles const files_ = QelSharedMem::namespaceFiles(ns_);
};

TEST_F(SharedHandle, ClosingOneViewKeepsTheOthersSnapshot) {
    makeStore();
    auto kept = QelSharedMem::ReadOnlyView::open(ns_);
    auto closed = QelSharedMem::ReadOnlyView::open(ns_);
    ASSERT_TRUE(kept && closed);
    expectFirstValues(*closed);
    closed.reset();
    rewriteElsewhere();
    expectFirstValues(*kept);
    // A new view sees the newest values.
    auto const fresh = QelSharedMem::ReadOnlyView::open(ns_);
    EXPECT_EQ(fresh->stateDatabaseValue(keyOf(3)), valueOf(3, 39));
}

TEST_F(SharedHandle, AViewBesideTheProcesssEnvironmentAndItsCheck) {
    QelSharedMem::namespaceIs(ns_);
    write(*QelSharedMem::processEnvironment(), 0);
    auto const view = QelSharedMem::ReadOnlyView::open(ns_);  // shares the environment's handle
    ASSERT_TRUE(view);
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt);
    QelSharedMem::closeEnvironment();
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt);
    rewriteElsewhere();
    expectFirstValues(*view);
    // LMDB must not hold the file twice: a writer beside the view is refused, before it touches
    // any file, until the view is closed.
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), std::logic_error);
    expectFirstValues(*view);
}

TEST_F(SharedHandle, AWriterBesideAViewIsRefusedUntilTheViewCloses) {
    makeStore();
    auto view = QelSharedMem::ReadOnlyView::open(ns_);
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), std::logic_error);
    rewriteElsewhere();
    expectFirstValues(*view);
    view.reset();
    auto const env = QelSharedMem::Environment::open(ns_);
    EXPECT_EQ(env->get(env->ledraDbi(), keyOf(3)), valueOf(3, 39));
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

TEST(StoreDescriptors, NoFileOfTheStoreIsEverAStandardDescriptor) {
    std::string const ns = VornTest::uniqueName("fds");
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string seen;
        // What descriptors 0-2 are now, and any file of the store open without close-on-exec.
        auto look = [&](char const* when) {
            for (int fd = 0; fd < 64; ++fd) {
                char target[512] = {};
                std::string const link = "/proc/self/fd/" + std::to_string(fd);
                if (::readlink(link.c_str(), target, sizeof target - 1) < 0) continue;
                bool const store = std::string(target).find("vorn-tcam." + ns) != std::string::npos;
                if (fd <= 2) seen += std::string(when) + ": descriptor " + std::to_string(fd) + " is " + target + "\n";
                if (store && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
                    seen += std::string(when) + ": " + target + " is not close-on-exec\n";
            }
        };
        ::close(0);
        ::close(1);
        ::close(2);
        try {
            QelSharedMem::NamespaceLock const lock(ns);
            QelSharedMem::namespaceIs(ns);
            auto const& env = QelSharedMem::processEnvironment();
            env->put(env->ledraDbi(), "key", "value");
            auto view = QelSharedMem::ReadOnlyView::open(ns);
            look("agent and view");
            QelSharedMem::closeEnvironment();
            view.reset();
            if (QelSharedMem::environmentFileDamage(QelSharedMem::environmentPath(ns), QelSharedMem::kMapSize))
                seen += "damaged\n";
            view = QelSharedMem::ReadOnlyView::open(ns);  // a read-only handle of its own
            look("view alone");
            if (view->stateDatabaseValue("key") != "value") seen += "value lost\n";
            view.reset();
            QelSharedMem::removeNamespace(ns);
        } catch (std::exception const& e) {
            seen += std::string("threw: ") + e.what() + "\n";
        }
        if (::write(2, "x", 1) != -1) seen += "descriptor 2 was left open\n";
        (void)!::write(report[1], seen.data(), seen.size());
        ::_exit(0);
    }
    ::close(report[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) seen.append(buffer, std::size_t(got));
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(seen, "");
    for (auto const& f : QelSharedMem::existingNamespaceFiles(ns)) ::unlink(f.c_str());
}

}  // namespace
