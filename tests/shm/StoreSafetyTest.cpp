// The store in a shared /dev/shm: namespace names that cannot alias, files planted by others that
// are refused with nothing touched, errors that are not damage and never delete data, damage that
// keeps the damaged file aside, and the one-writer lock that dies with its process. One LMDB
// handle per store per process: views of one namespace, a view beside the process's own
// environment and the check at open share it, so closing one never takes another's snapshot away
// (a writer of another process would then reuse its pages); a snapshot that was taken away anyway
// is reported. And no file of the store is ever a standard descriptor, LMDB's own included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "tests/support/StoreFaults.h"

namespace {

using QelSharedMem::NamespaceBusyError;
using QelSharedMem::UnsafeFileError;

void writeFile(std::string const& path, std::string const& bytes, mode_t mode = 0600) {
    int const fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::fchmod(fd, mode);
    ::close(fd);
}

class StoreSafety : public VornTest::PrivateStoreTest {
  protected:
    StoreSafety() : PrivateStoreTest("safe") {}
    ~StoreSafety() override { ::unlink(outside_.c_str()); }
    std::string const outside_ = "/tmp/" + VornTest::uniqueName("outside");
};

TEST(StoreNames, NamesAreCheckedAndNoTwoNamespacesShareAFile) {
    for (std::string bad : {std::string(), std::string(129, 'a'), std::string("a\nb"), std::string("-a"),
                            std::string("a.b"), std::string("a/b"), std::string("a\0b", 3)}) {
        EXPECT_TRUE(QelSharedMem::namespaceProblem(bad)) << bad;
        EXPECT_THROW(QelSharedMem::namespaceFiles(bad), std::invalid_argument);
        EXPECT_THROW(QelSharedMem::namespaceIs(bad), std::invalid_argument);
    }
    EXPECT_FALSE(QelSharedMem::namespaceProblem(std::string(128, 'z')));
    EXPECT_FALSE(QelSharedMem::namespaceProblem("a-b_C9"));

    // The names that aliased before (a lock file that was another namespace's data file) and a
    // few of the same kind: every file of every namespace is distinct.
    std::set<std::string> seen;
    for (std::string ns : {"X", "X-lock", "X-lock-lock", "Xmdb", "X-mdb", "X_agent", "Xagent", "X-damaged-1"}) {
        auto const f = QelSharedMem::namespaceFiles(ns);
        for (auto const& path : {f.data, f.lmdbLock, f.agentLock}) EXPECT_TRUE(seen.insert(path).second) << path;
        EXPECT_EQ(f.data.rfind("/dev/shm/vorn-tcam." + ns + ".", 0), 0u);
    }
}

TEST_F(StoreSafety, PlantedFilesAreRefusedAndNothingIsTouched) {
    // Each case plants one file of the namespace, tries to open the store, and checks what is
    // left: a refused file is kept as it was and nothing is created beside it.
    struct Case {
        char const* what;
        std::string const* planted;
        bool link;                  // a link to a file outside the namespace, else a file of ours
        mode_t mode;                // of the planted file
        std::string const* absent;  // a file the refusal must not have created
    };
    writeFile(outside_, "not yours");
    Case const cases[] = {
        {"link as data file", &files_.data, true, 0600, &files_.lmdbLock},
        {"link as lock file", &files_.lmdbLock, true, 0600, &files_.data},
        {"data file others may write", &files_.data, false, 0666, &files_.lmdbLock},
    };
    QelSharedMem::namespaceIs(ns_);
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.link)
            ASSERT_EQ(::symlink(outside_.c_str(), c.planted->c_str()), 0);
        else
            writeFile(*c.planted, std::string(8192, '\0'), c.mode);
        EXPECT_THROW(QelSharedMem::Environment::open(ns_), UnsafeFileError);
        if (c.link && c.planted == &files_.data) {  // the damage check refuses it too
            EXPECT_THROW(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), UnsafeFileError);
        }
        EXPECT_FALSE(VornTest::pathExists(*c.absent));
        struct stat st {};
        ASSERT_EQ(::lstat(c.planted->c_str(), &st), 0);
        if (!c.link) {
            EXPECT_EQ(st.st_mode & 0777, c.mode);
        }
        ::unlink(c.planted->c_str());
    }
    EXPECT_EQ(VornTest::fileText(outside_), "not yours");

    // A file of another user (only root can make one here).
    if (::geteuid() == 0) {
        writeFile(files_.data, "theirs");
        ASSERT_EQ(::chown(files_.data.c_str(), 65534, 65534), 0);
        EXPECT_THROW(QelSharedMem::Environment::open(ns_), UnsafeFileError);
        EXPECT_EQ(VornTest::fileText(files_.data), "theirs");
        ::unlink(files_.data.c_str());
    }

    // The agent lock file is held to the same rules.
    ASSERT_EQ(::symlink(outside_.c_str(), files_.agentLock.c_str()), 0);
    EXPECT_THROW(QelSharedMem::NamespaceLock{ns_}, UnsafeFileError);
    EXPECT_EQ(VornTest::fileText(outside_), "not yours");
}

TEST_F(StoreSafety, ErrorsThatAreNotDamageLeaveTheStoreAndDamageIsKeptAside) {
    QelSharedMem::namespaceIs(ns_);
    // Something that is not a file where the data file goes: an error, not damage.
    ASSERT_EQ(::mkdir(files_.data.c_str(), 0700), 0);
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), QelSharedMem::StorageError);
    EXPECT_TRUE(VornTest::pathExists(files_.data));
    ::rmdir(files_.data.c_str());

    // A sound store survives an open that fails for another reason (the lock file is not ours).
    {
        auto env = QelSharedMem::Environment::open(ns_);
        env->put(env->ledraDbi(), "key", "stored value");
        EXPECT_FALSE(env->recreated());
    }
    std::string const stored = VornTest::fileText(files_.data);
    ASSERT_EQ(::chmod(files_.lmdbLock.c_str(), 0644), 0);
    EXPECT_THROW(QelSharedMem::Environment::open(ns_), UnsafeFileError);
    EXPECT_EQ(VornTest::fileText(files_.data), stored);
    ASSERT_EQ(::chmod(files_.lmdbLock.c_str(), 0600), 0);
    {
        auto env = QelSharedMem::Environment::open(ns_);
        EXPECT_EQ(env->get(env->ledraDbi(), "key"), "stored value");
    }

    // Proven damage (the file is not an environment at all): kept aside, named, a new store made.
    std::string const garbage(20000, '\x5a');
    writeFile(files_.data, garbage);
    auto env = QelSharedMem::Environment::open(ns_);
    EXPECT_TRUE(env->recreated());
    ASSERT_FALSE(env->damagedCopy().empty());
    EXPECT_EQ(env->damagedCopy().rfind(files_.damagedPrefix, 0), 0u);
    EXPECT_EQ(VornTest::fileText(env->damagedCopy()), garbage);
    EXPECT_EQ(env->get(env->ledraDbi(), "key"), std::nullopt);
    struct stat st {};
    ASSERT_EQ(::stat(files_.data.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    env.reset();
    QelSharedMem::closeEnvironment();
    QelSharedMem::removeNamespace(ns_);
    EXPECT_TRUE(QelSharedMem::existingNamespaceFiles(ns_).empty()) << "clean removes damaged copies too";
}

TEST_F(StoreSafety, AnEmptyDataFileLeftByAWriterKilledAtCreationHoldsNothingAndIsNotDamage) {
    // A writer killed after creating the data file and before LMDB wrote its metas leaves it
    // empty: the check and a view see nothing stored, and the next writer makes the store in it.
    int const fd = ::open(files_.data.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt);
    EXPECT_FALSE(QelSharedMem::ReadOnlyView::open(ns_));
    QelSharedMem::namespaceIs(ns_);
    auto const& env = QelSharedMem::processEnvironment();
    EXPECT_FALSE(env->recreated());
    env->put(env->ledraDbi(), "key", "value");
    QelSharedMem::closeEnvironment();
    auto const view = QelSharedMem::ReadOnlyView::open(ns_);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->stateDatabaseValue("key"), "value");
}

TEST_F(StoreSafety, OneHolderPerNamespaceAndALockDiesWithItsProcess) {
    VornTest::PausedChild holder([&] {
        static QelSharedMem::NamespaceLock const lock(ns_);  // held until the process is killed
        return std::string("held");
    });
    ASSERT_EQ(holder.answer(), "held");
    EXPECT_THROW(QelSharedMem::NamespaceLock{ns_}, NamespaceBusyError);
    EXPECT_THROW(QelSharedMem::removeNamespace(ns_), NamespaceBusyError);
    EXPECT_TRUE(VornTest::pathExists(files_.agentLock)) << "a refused removal removes nothing";
    EXPECT_EQ(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), std::nullopt)
        << "readers do not need the lock";
    holder.kill();
    {
        QelSharedMem::NamespaceLock const lock(ns_);
        QelSharedMem::NamespaceLock const again(ns_);  // counted within one process
        EXPECT_TRUE(QelSharedMem::NamespaceLock::heldHere(ns_));
        QelSharedMem::removeNamespace(ns_);  // the holder may remove its own namespace
    }
    EXPECT_FALSE(QelSharedMem::NamespaceLock::heldHere(ns_));
    EXPECT_FALSE(VornTest::pathExists(files_.agentLock));
}

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
