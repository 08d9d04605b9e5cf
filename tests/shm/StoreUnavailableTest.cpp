// A sound store that cannot be used now (a full reader table, a lock file held, no descriptors or
// memory, another LMDB data version) is an error: the writer and the read-only view refuse it
// with the same words, the file stays byte for byte as it was and nothing is set aside. Readers
// left by killed processes are cleared at open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "contracts/shm/Environment.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "contracts/shm/StoreUnavailable.h"
#include "tests/support/StoreFaults.h"
#include "tests/support/TestSupport.h"

namespace {

using QelSharedMem::StoreUnavailableError;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// What `fn` threw: "unavailable: <message>", "error: <message>", or "opened".
std::string outcome(std::function<void()> const& fn) {
    try {
        fn();
        return "opened";
    } catch (StoreUnavailableError const& e) {
        return std::string("unavailable: ") + e.what();
    } catch (std::exception const& e) {
        return std::string("error: ") + e.what();
    }
}

class StoreUnavailable : public ::testing::Test {
  protected:
    StoreUnavailable() { QelSharedMem::closeEnvironment(); }
    ~StoreUnavailable() override {
        QelSharedMem::closeEnvironment();
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_)) ::unlink(f.c_str());
    }

    // A store holding "key" (and `fill` bytes more in the state database), closed.
    void makeStore(std::size_t fill = 0) {
        auto env = QelSharedMem::Environment::open(ns_);
        env->put(env->ledraDbi(), "key", "stored value");
        for (std::size_t i = 0; i * (1u << 20) < fill; ++i)
            env->put(env->ledraDbi(), "fill" + std::to_string(i), std::string(1u << 20, 'f'));
    }
    std::string openWriter() const {
        return outcome([&] { QelSharedMem::Environment::open(ns_); });
    }
    std::string openView() const {
        return outcome([&] { QelSharedMem::ReadOnlyView::open(ns_); });
    }
    // The store is as it was, and no copy of it was set aside.
    void expectUntouched(std::string const& before) const {
        EXPECT_EQ(VornTest::fileText(files_.data), before);
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_))
            EXPECT_NE(f.rfind(files_.damagedPrefix, 0), 0u) << "set aside: " << f;
    }
    void expectStillThere() const {
        auto env = QelSharedMem::Environment::open(ns_);
        EXPECT_FALSE(env->recreated());
        EXPECT_EQ(env->get(env->ledraDbi(), "key"), "stored value");
    }

    std::string const ns_ = VornTest::uniqueName("unavail");
    QelSharedMem::NamespaceFiles const files_ = QelSharedMem::namespaceFiles(ns_);
};

// Runs `fn` in a child process and returns what it wrote to the descriptor it is given.
std::string inChild(std::function<std::string()> const& fn) {
    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    pid_t const child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        std::string const text = fn();
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(got));
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return text;
}

TEST_F(StoreUnavailable, AFullReaderTableIsAnErrorAndDeadReadersAreCleared) {
    makeStore();
    std::string const before = VornTest::fileText(files_.data);
    {
        VornTest::HeldReaders readers(files_.data);
        ASSERT_GE(readers.held(), 100u) << "LMDB's default reader table holds 126";
        std::string const writer = openWriter();
        EXPECT_EQ(writer.rfind("unavailable: ", 0), 0u) << writer;
        EXPECT_NE(writer.find("reader table is full"), std::string::npos) << writer;
        EXPECT_NE(writer.find("process " + std::to_string(readers.pid()) + " holds"), std::string::npos) << writer;
        EXPECT_EQ(openView(), writer) << "the same words from the writer and a view";
        EXPECT_THROW(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), StoreUnavailableError);
        expectUntouched(before);
        readers.kill();
    }
    // The killed process's slots are still taken; they are freed when the store is opened.
    {
        auto const view = QelSharedMem::ReadOnlyView::open(ns_);
        ASSERT_TRUE(view);
        EXPECT_EQ(view->stateDatabaseValue("key"), "stored value");
        EXPECT_TRUE(view->otherReaders().empty());
    }
    expectStillThere();
}

TEST_F(StoreUnavailable, AStoreOfAnotherLmdbDataVersionIsLeftAlone) {
    makeStore();
    VornTest::patchDataVersion(files_.data, 7);
    std::string const before = VornTest::fileText(files_.data);
    std::string const writer = openWriter();
    EXPECT_EQ(writer.rfind("unavailable: ", 0), 0u) << writer;
    EXPECT_NE(writer.find("data version 7"), std::string::npos) << writer;
    EXPECT_EQ(openView(), writer);
    EXPECT_THROW(QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize), StoreUnavailableError);
    expectUntouched(before);

    // Given this build's version again, the store opens with what it held.
    VornTest::patchDataVersion(files_.data, 1);
    expectStillThere();
}

TEST_F(StoreUnavailable, ALockFileHeldExclusivelyIsAnError) {
    makeStore();
    std::string const before = VornTest::fileText(files_.data);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t const holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Holds what LMDB holds while it sets a lock file up, and never lets go.
        int const fd = ::open(files_.lmdbLock.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        char const held = (fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0) ? 1 : 0;
        (void)!::write(ready[1], &held, 1);
        for (;;) ::pause();
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    ASSERT_EQ(held, 1);
    ::alarm(120);  // LMDB alone would wait for the lock without end
    std::string const writer = openWriter();
    std::string const view = openView();
    ::alarm(0);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(writer.rfind("unavailable: ", 0), 0u) << writer;
    EXPECT_NE(writer.find("held exclusively by process " + std::to_string(holder)), std::string::npos) << writer;
    EXPECT_EQ(view, writer);
    expectUntouched(before);
    expectStillThere();
}

TEST_F(StoreUnavailable, RunningOutOfDescriptorsOrMemoryIsAnError) {
    makeStore(40u << 20);  // 40 MiB, so that the check's copy of the pages is large
    std::string const before = VornTest::fileText(files_.data);
    // The sanitizers' own runtime needs descriptors and address space of its own: with either
    // limited it reports errors of its own instead of the store's.
    if (kAddressSanitizer) GTEST_SKIP() << "descriptor and address-space limits and the sanitizers do not mix";

    // No descriptor left, or only a few: whichever open meets the limit (a file of the store,
    // /dev/null, or one of LMDB's own), the store is reported unavailable or opens.
    std::string const descriptors = inChild([&] {
        std::string seen;
        int const lowest = ::open("/dev/null", O_RDONLY);
        ::close(lowest);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        for (int spare = 0; spare < 6; ++spare) {
            limit.rlim_cur = static_cast<rlim_t>(lowest + spare);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            seen += openWriter() + "\n" + openView() + "\n";
        }
        return seen;
    });
    EXPECT_EQ(descriptors.find("error: "), std::string::npos) << descriptors;
    EXPECT_EQ(descriptors.rfind("unavailable: ", 0), 0u) << descriptors;
    EXPECT_NE(descriptors.find("too many open files"), std::string::npos) << descriptors;
    expectUntouched(before);

#if defined(VORN_TEST_EMULATED)
    // A user-mode emulator keeps the address-space limit to itself: it never reaches the host.
    GTEST_SKIP() << "an emulator does not pass an address-space limit on";
#endif
    // Memory for the map fits, memory for the check's copy of the pages does not.
    std::string const memory = inChild([&] {
        auto addressSpace = [] {
            long pages = 0;
            if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
                std::fclose(statm);
            }
            return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
        };
        struct stat st {};
        ::stat(files_.data.c_str(), &st);
        // A first check, unlimited, so that what it sets up once is in place before measuring.
        if (QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize)) return std::string("damaged");
        std::string const before = "address space " + std::to_string(addressSpace() >> 20) + " MiB\n";
        struct rlimit limit {};
        ::getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = addressSpace() + static_cast<rlim_t>(st.st_size) + (8u << 20);
        ::setrlimit(RLIMIT_AS, &limit);
        std::string const check =
            outcome([&] { QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize); });
        return before + check + "\n" + openWriter();
    });
    EXPECT_EQ(memory.find("error: "), std::string::npos) << memory;
    EXPECT_EQ(memory.find("opened"), std::string::npos) << memory;
    EXPECT_NE(memory.find("out of memory"), std::string::npos) << memory;
    expectUntouched(before);
    expectStillThere();
}

}  // namespace
