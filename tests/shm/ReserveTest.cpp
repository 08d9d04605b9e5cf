// The data file's reservation: a store grows past its reservation inside a commit group without
// losing any write, and a file system with no room for the growth fails that one write, rolled
// back alone, while the group's earlier writes are stored.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "entrylog/EnvironmentCommitGroup.h"
#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

class ShmReserve : public ShmTest {
  protected:
    static std::uint64_t fileBytes() {
        struct stat st {};
        EXPECT_EQ(::stat(QelSharedMem::environmentPath(QelSharedMem::namespaceName()).c_str(), &st), 0);
        return static_cast<std::uint64_t>(st.st_size);
    }
};

// Writes records 1..n into `table` as one group, n a few megabytes' worth.
void writeGroup(VornTunnelTcamMgr::TcamConfigTessel& table, std::uint32_t from, std::uint32_t to) {
    auto group = VornTunnelTcamMgr::environmentCommitGroup();
    ASSERT_TRUE(group->begin());
    for (std::uint32_t n = from; n <= to; ++n) table.swTableEntriesIs(configRecord(n, n));
    group->end(false);
}

TEST_F(ShmReserve, GroupGrowsPastItsReservationAndKeepsEveryWrite) {
    auto table = mountConfig(1, 65536);
    std::uint64_t const reserved = fileBytes();
    writeGroup(*table, 1, 40000);  // several growth steps inside one transaction
    EXPECT_GT(fileBytes(), reserved);
    restart();
    table = mountConfig(1, 65536);
    EXPECT_EQ(table->swTableEntries().size(), 40000u);
    for (std::uint32_t n : {1u, 20000u, 40000u}) EXPECT_EQ(table->swTableEntries().find(tcamKey(n)).logVersion, n);
}

TEST_F(ShmReserve, NoRoomToGrowFailsOneWriteAndKeepsTheGroupsEarlierWrites) {
    auto table = mountConfig(1, 65536);
    // The file may not grow: its reservation is all the room the store has.
    struct sigaction ignore {
    }, before{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &before), 0);
    rlimit limit{}, saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = fileBytes();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);

    auto group = VornTunnelTcamMgr::environmentCommitGroup();
    ASSERT_TRUE(group->begin());
    std::uint32_t n = 1;
    std::string error;
    for (; n <= 200000; ++n) {
        try {
            table->swTableEntriesIs(configRecord(n, n));
        } catch (QelSharedMem::StorageError const& e) {
            error = e.what();
            break;
        }
    }
    ASSERT_LE(n, 200000u) << "the store grew past the file size limit";
    table->swTableEntriesIs(configRecord(1, 77));  // the group goes on after the failed write
    group->end(false);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(::sigaction(SIGXFSZ, &before, nullptr), 0);
    EXPECT_NE(error.find("File too large"), std::string::npos) << error;

    restart();
    table = mountConfig(1, 65536);
    EXPECT_EQ(table->swTableEntries().size(), n - 1);
    EXPECT_FALSE(table->swTableEntries().has(tcamKey(n)));
    EXPECT_EQ(table->swTableEntries().find(tcamKey(1)).logVersion, 77u);
    EXPECT_EQ(table->swTableEntries().find(tcamKey(n - 1)).logVersion, n - 1);
}

}  // namespace
}  // namespace VornTest
