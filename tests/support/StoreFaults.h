#pragma once
// The store-safety tests' support: a test with a namespace of its own that it opens itself
// (no environment is open when it starts) and whose files, whatever they have become, are all
// removed at the end; and ways to make a sound store unusable for a while without damaging it:
// readers of another process that fill LMDB's reader table, and the data version of another
// LMDB in both meta pages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lmdb.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "contracts/shm/SharedMem.h"
#include "contracts/shm/StoreFiles.h"
#include "tests/support/TestSupport.h"

namespace VornTest {

// A test with a namespace of its own (see above).
class PrivateStoreTest : public ::testing::Test {
  protected:
    explicit PrivateStoreTest(std::string const& prefix)
        : ns_(uniqueName(prefix)), files_(QelSharedMem::namespaceFiles(ns_)) {
        QelSharedMem::closeEnvironment();
    }
    ~PrivateStoreTest() override {
        QelSharedMem::closeEnvironment();
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_)) ::unlink(f.c_str());
    }

    // The data file holds `before` still, and no copy of the store was set aside.
    void expectUntouched(std::string const& before) const {
        EXPECT_EQ(fileText(files_.data), before);
        for (auto const& f : QelSharedMem::existingNamespaceFiles(ns_))
            EXPECT_NE(f.rfind(files_.damagedPrefix, 0), 0u) << "set aside: " << f;
    }

    std::string const ns_;
    QelSharedMem::NamespaceFiles const files_;
};

// A child process holding `count` read transactions on the store at `dataPath` (0: until LMDB's
// reader table is full) until it is killed. Killed, its slots stay in the table as dead readers.
class HeldReaders : public PausedChild {
  public:
    explicit HeldReaders(std::string const& dataPath, std::uint32_t count = 0)
        : PausedChild([&] {
              std::uint32_t held = 0;
              MDB_env* env = nullptr;
              if (mdb_env_create(&env) == 0 &&
                  mdb_env_open(env, dataPath.c_str(), MDB_NOSUBDIR | MDB_RDONLY | MDB_NOTLS, 0600) == 0) {
                  MDB_txn* txn = nullptr;
                  while ((count == 0 || held < count) && mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn) == 0) ++held;
              }
              return std::to_string(held);
          }) {}
    std::uint32_t held() const { return static_cast<std::uint32_t>(std::stoul("0" + answer())); }
};

// Writes `version` as the data version of both meta pages of the LMDB data file at `path` (its
// magic and everything else kept), as an LMDB of another data version would have written it.
inline void patchDataVersion(std::string const& path, std::uint32_t version) {
    // A meta page: the page header (page number and four 16-bit words), then the magic, the
    // version, the map address and size, and the free-page database record, which starts with
    // the page size.
    std::size_t const header = sizeof(std::size_t) + 8;
    std::size_t const pageSizeAt = header + 8 + 2 * sizeof(void*);
    int const fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    std::uint32_t pageSize = 0;
    bool ok = ::pread(fd, &pageSize, sizeof pageSize, static_cast<off_t>(pageSizeAt)) == sizeof pageSize;
    for (std::size_t page = 0; ok && page < 2; ++page)
        ok = ::pwrite(fd, &version, sizeof version, static_cast<off_t>(page * pageSize + header + 4)) == sizeof version;
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot patch " + path);
}

// The part of a tool's stderr after `prefix` on the line that starts with it, without the newline.
inline std::string messageAfter(std::string const& err, std::string const& prefix) {
    std::size_t at = err.rfind("\n" + prefix);
    at = err.rfind(prefix, 0) == 0 ? 0 : (at == std::string::npos ? at : at + 1);
    if (at == std::string::npos) return "<no line starting with \"" + prefix + "\" in: " + err + ">";
    std::size_t const end = err.find('\n', at);
    return err.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
}

}  // namespace VornTest
