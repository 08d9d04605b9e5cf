// A sound store that cannot be used now (a full reader table, a lock file held, no descriptors or
// memory, another LMDB data version) is an error: the writer and the read-only view refuse it
// with the same words, the file stays byte for byte as it was and nothing is set aside. Readers
// left by killed processes are cleared at open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "contracts/shm/Environment.h"
#include "contracts/shm/ReadOnlyView.h"
#include "contracts/shm/StoreUnavailable.h"
#include "tests/support/StoreFaults.h"

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

bool damageCheckUnavailable(std::string const& path) {
    return outcome([&] {
               QelSharedMem::environmentFileDamage(path, QelSharedMem::kMapSize);
           }).rfind("unavailable: ", 0) == 0;
}

class StoreUnavailable : public VornTest::PrivateStoreTest {
  protected:
    StoreUnavailable() : PrivateStoreTest("unavail") {}

    // A store holding "key" (and `fill` bytes more in the state database), closed; its bytes.
    std::string makeStore(std::size_t fill = 0) {
        {
            auto env = QelSharedMem::Environment::open(ns_);
            env->put(env->ledraDbi(), "key", "stored value");
            for (std::size_t i = 0; i * (1u << 20) < fill; ++i)
                env->put(env->ledraDbi(), "fill" + std::to_string(i), std::string(1u << 20, 'f'));
        }
        return VornTest::fileText(files_.data);
    }
    std::string openWriter() const {
        return outcome([&] { QelSharedMem::Environment::open(ns_); });
    }
    std::string openView() const {
        return outcome([&] { QelSharedMem::ReadOnlyView::open(ns_); });
    }
    // The writer and a view refuse the store with the same words, which name `cause`, and the
    // store is left as it was (`before`).
    void expectRefusedAlike(std::string const& cause, std::string const& before) const {
        std::string const writer = openWriter();
        EXPECT_EQ(writer.rfind("unavailable: ", 0), 0u) << writer;
        EXPECT_NE(writer.find(cause), std::string::npos) << writer;
        EXPECT_EQ(openView(), writer) << "the same words from the writer and a view";
        expectUntouched(before);
    }
    void expectStillThere() const {
        auto env = QelSharedMem::Environment::open(ns_);
        EXPECT_FALSE(env->recreated());
        EXPECT_EQ(env->get(env->ledraDbi(), "key"), "stored value");
    }
};

TEST_F(StoreUnavailable, AFullReaderTableIsAnErrorAndDeadReadersAreCleared) {
    std::string const before = makeStore();
    {
        VornTest::HeldReaders readers(files_.data);
        ASSERT_GE(readers.held(), 100u) << "LMDB's default reader table holds 126";
        expectRefusedAlike("process " + std::to_string(readers.pid()) + " holds", before);
        EXPECT_NE(openWriter().find("reader table is full"), std::string::npos);
        EXPECT_TRUE(damageCheckUnavailable(files_.data));
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
    expectRefusedAlike("data version 7", VornTest::fileText(files_.data));
    EXPECT_TRUE(damageCheckUnavailable(files_.data));
    // Given this build's version again, the store opens with what it held.
    VornTest::patchDataVersion(files_.data, 1);
    expectStillThere();
}

TEST_F(StoreUnavailable, ALockFileHeldExclusivelyIsAnError) {
    std::string const before = makeStore();
    // Holds what LMDB holds while it sets a lock file up, and never lets go.
    VornTest::PausedChild holder([&] {
        int const fd = ::open(files_.lmdbLock.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_len = 1;
        return std::string(fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? "held" : "not held");
    });
    ASSERT_EQ(holder.answer(), "held");
    ::alarm(120);  // LMDB alone would wait for the lock without end
    expectRefusedAlike("held exclusively by process " + std::to_string(holder.pid()), before);
    ::alarm(0);
    holder.kill();
    expectStillThere();
}

TEST_F(StoreUnavailable, RunningOutOfDescriptorsOrMemoryIsAnError) {
    std::string const before = makeStore(40u << 20);  // 40 MiB, so that the check's copy of the pages is large
    // The sanitizers' own runtime needs descriptors and address space of its own: with either
    // limited it reports errors of its own instead of the store's.
    if (kAddressSanitizer) GTEST_SKIP() << "descriptor and address-space limits and the sanitizers do not mix";

    // No descriptor left, or only a few: whichever open meets the limit (a file of the store,
    // /dev/null, or one of LMDB's own), the store is reported unavailable or opens.
    std::string const descriptors = VornTest::inChild([&] {
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
                                    }).text;
    EXPECT_EQ(descriptors.find("error: "), std::string::npos) << descriptors;
    EXPECT_EQ(descriptors.rfind("unavailable: ", 0), 0u) << descriptors;
    EXPECT_NE(descriptors.find("too many open files"), std::string::npos) << descriptors;
    expectUntouched(before);

#if defined(VORN_TEST_EMULATED)
    // A user-mode emulator keeps the address-space limit to itself: it never reaches the host.
    GTEST_SKIP() << "an emulator does not pass an address-space limit on";
#endif
    // Memory for the map fits, memory for the check's copy of the pages does not.
    std::string const memory =
        VornTest::inChild([&] {
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
            // A first check, unlimited, so that what it sets up once is in
            // place before measuring.
            if (QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize)) return std::string("damaged");
            struct rlimit limit {};
            ::getrlimit(RLIMIT_AS, &limit);
            limit.rlim_cur = addressSpace() + static_cast<rlim_t>(st.st_size) + (8u << 20);
            ::setrlimit(RLIMIT_AS, &limit);
            return outcome([&] { QelSharedMem::environmentFileDamage(files_.data, QelSharedMem::kMapSize); }) + "\n" +
                   openWriter();
        }).text;
    EXPECT_EQ(memory.find("error: "), std::string::npos) << memory;
    EXPECT_EQ(memory.find("opened"), std::string::npos) << memory;
    EXPECT_NE(memory.find("out of memory"), std::string::npos) << memory;
    expectUntouched(before);
    expectStillThere();
}

}  // namespace
