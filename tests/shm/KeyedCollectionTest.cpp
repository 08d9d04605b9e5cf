// Keyed collections: order, walks over changing collections, a full map, corruption, the
// collection control, write transactions and commit groups; and the data file's reservation: a
// store grows past it inside a commit group without losing any write, and a file system with no
// room for the growth fails that one write, rolled back alone, while the group's earlier writes
// are stored.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <optional>

#include "contracts/shm/Environment.h"
#include "contracts/shm/NamespaceLock.h"
#include "entrylog/EnvironmentCommitGroup.h"
#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

using ::testing::HasSubstr;
using VornTunnelTcamMgr::TcamConfigTesselEntry;
using VornTunnelTcamMgr::TcamEntryKey;

class ShmCollection : public ShmTest {};

// The keys of a configuration table in stored order.
std::vector<TcamEntryKey> keysInOrder(VornTunnelTcamMgr::TcamConfigTessel& table) {
    std::vector<TcamEntryKey> order;
    auto& entries = table.swTableEntries();
    for (auto cur = entries.first(); cur; cur = entries.after(cur->key())) order.push_back(cur->key());
    return order;
}

TEST_F(ShmCollection, WalkFollowsKeyOrderAndSeesEveryChangeMadeBetweenItsSteps) {
    auto log = mountLog();
    auto& changes = log->entryLogConfig();
    Asic::LogVersion const big = std::uint64_t(1) << 40;
    // Once as a process that asks LMDB whether its kept snapshot is the newest, once as the agent
    // holding the namespace's lock, which knows it from its own commits.
    for (bool const soleWriter : {false, true}) {
        std::optional<QelSharedMem::NamespaceLock> lock;
        if (soleWriter) lock.emplace(shm_.name());
        // Versions whose little-endian bytes would sort differently from their values.
        for (Asic::LogVersion v : {Asic::LogVersion{256}, Asic::LogVersion{1}, Asic::LogVersion{65536},
                                   Asic::LogVersion{255}, big, Asic::LogVersion{2}, Asic::LogVersion{257}})
            log->entryLogConfigIs(logRecord(v));
        EXPECT_EQ(changes.atOrAfter(3)->version, 255u);
        EXPECT_EQ(changes.atOrAfter(255)->version, 255u);
        EXPECT_EQ(changes.after(255)->version, 256u);
        EXPECT_FALSE(changes.after(big));

        // A walk's cursor stays where the last step left it only while nothing has committed
        // since: changes made between steps, inside a scope and while a read is open are all
        // seen, and the walk goes on from a removed key.
        std::vector<Asic::LogVersion> seen;
        for (auto cur = changes.first(); cur; cur = changes.after(cur->version)) {
            seen.push_back(cur->version);
            EXPECT_EQ(changes.atOrAfter(cur->version)->version, cur->version);
            EXPECT_TRUE(log->entryLogConfigDel(cur->version));
            if (cur->version == 2) log->entryLogConfigIs(logRecord(3));  // just ahead of the walk
            if (cur->version == 255) {
                EXPECT_TRUE(log->entryLogConfigDel(256));
            }
            if (cur->version == 257) {
                QelSharedMem::WriteTransaction txn;
                log->entryLogConfigIs(logRecord(258));
                EXPECT_EQ(changes.after(257)->version, 258u);  // the scope sees its own write
            }
            if (cur->version == 258) {
                // Written while a read of this process is open: the snapshot it keeps is behind.
                QelSharedMem::Environment::Read const open(*QelSharedMem::processEnvironment());
                log->entryLogConfigIs(logRecord(259));
            }
        }
        EXPECT_EQ(seen, (std::vector<Asic::LogVersion>{1, 2, 3, 255, 257, 258, 259, 65536, big})) << soleWriter;
        EXPECT_EQ(changes.size(), 0u);
        EXPECT_FALSE(changes.first());
    }
}

TEST_F(ShmCollection, FullMapRefusesTheWriteAndRollsBackItsWholeTransaction) {
    shm_.mapSizeIs(std::size_t(1) << 20);
    auto log = mountLog();
    auto table = mountConfig();

    Asic::LogVersion v = 1;
    EXPECT_THROW(
        {
            QelSharedMem::WriteTransaction txn;
            table->swTableEntriesIs(configRecord(1, 1));
            for (;; ++v) log->entryLogConfigIs(logRecord(v));
        },
        Lumo::CapacityExceededException);
    EXPECT_GT(v, 100u);
    EXPECT_EQ(log->entryLogConfig().size(), 0u);
    EXPECT_FALSE(table->swTableEntries().has(tcamKey(1)));
}

TEST_F(ShmCollection, LongWalkIsServedAheadYetMeetsADamagedRecordWhereItLies) {
    // Walks longer than what is read ahead at once: every record once and in order; a damaged
    // record deep in the walk is reported at its own step, and a write starts a fresh snapshot.
    auto log = mountLog();
    for (Asic::LogVersion v = 1; v <= 300; ++v) log->entryLogConfigIs(logRecord(v));
    auto& changes = log->entryLogConfig();
    auto walk = [&](Asic::LogVersion& last) {
        std::uint64_t steps = 0;
        for (auto cur = changes.first(); cur; cur = changes.after(cur->version)) {
            EXPECT_EQ(cur->version, last + 1);
            EXPECT_EQ(changes.atOrAfter(cur->version)->version, cur->version);
            last = cur->version;
            ++steps;
        }
        return steps;
    };
    Asic::LogVersion last = 0;
    EXPECT_EQ(walk(last), 300u);

    changes.TEST_corruptRecord(150);
    last = 0;
    EXPECT_THROW(walk(last), Lumo::CorruptionDetectedException);
    EXPECT_EQ(last, 149u);
    EXPECT_EQ(changes.after(150)->version, 151u);

    std::vector<Asic::LogVersion> seen;
    for (auto cur = changes.atOrAfter(200); cur && cur->version < 215; cur = changes.after(cur->version)) {
        seen.push_back(cur->version);
        if (cur->version == 210) log->entryLogConfigDel(211);  // just ahead of the walk
    }
    EXPECT_EQ(seen,
              (std::vector<Asic::LogVersion>{200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 212, 213, 214}));
}

TEST_F(ShmCollection, WalkInsideOneWriteScopeSeesEachOfTheScopesWritesAtTheNextStep) {
    // Inside a scope the reads keep their cursor and read ahead as outside it; every write of
    // the scope starts a fresh view, so no step or lookup hands out what the scope has changed.
    auto log = mountLog();
    for (Asic::LogVersion v = 1; v <= 200; ++v) log->entryLogConfigIs(logRecord(v));
    auto& changes = log->entryLogConfig();
    QelSharedMem::WriteTransaction txn;
    std::vector<Asic::LogVersion> seen;
    for (auto cur = changes.first(); cur; cur = changes.after(cur->version)) {
        seen.push_back(cur->version);
        EXPECT_EQ(changes.find(cur->version).logEntry.key, tcamKey(cur->version == 151 ? 7 : 0));
        if (cur->version == 100) {  // deep inside a window read ahead
            log->entryLogConfigDel(101);
            log->entryLogConfigDel(100);  // the record the walk stands on
            log->entryLogConfigIs(logRecord(250));
        }
        if (cur->version == 150) log->entryLogConfigIs(logRecord(151, 7));  // rewritten just ahead
    }
    std::vector<Asic::LogVersion> expected;
    for (Asic::LogVersion v = 1; v <= 200; ++v)
        if (v != 101) expected.push_back(v);
    expected.push_back(250);
    EXPECT_EQ(seen, expected);
}

TEST_F(ShmCollection, CorruptRecordIsReportedByEveryReadThatMeetsIt) {
    auto table = mountConfig();
    auto& entries = table->swTableEntries();
    for (std::uint32_t n = 1; n <= 3; ++n) table->swTableEntriesIs(configRecord(n, n));
    auto const order = keysInOrder(*table);
    TcamEntryKey const bad = order[1];
    entries.TEST_corruptRecord(bad);

    try {
        entries.find(bad);
        FAIL() << "a corrupt record was returned";
    } catch (Lumo::CorruptionDetectedException const& e) {
        EXPECT_THAT(e.what(), HasSubstr(std::string(kConfigBase) + "unit1"));
        EXPECT_THAT(e.what(), HasSubstr(fmt::format("{}", bad)));
    }
    EXPECT_THROW(entries.has(bad), Lumo::CorruptionDetectedException);
    EXPECT_THROW(entries.after(order[0]), Lumo::CorruptionDetectedException);
    EXPECT_EQ(entries.first()->key(), order[0]);
    EXPECT_EQ(entries.after(bad)->key(), order[2]);

    // The report removes the damaged record, so a walk goes past its place.
    entries.doCorruptionDetected("lost one");
    EXPECT_EQ(entries.corruptionsDetected(), 1u);
    EXPECT_FALSE(entries.has(bad));
    EXPECT_EQ(entries.after(order[0])->key(), order[2]);
}

TEST_F(ShmCollection, OneReportRemovesEveryDamagedRecordOfTheCollection) {
    // A damaged leaf page damages every record on it at once: the first report removes them all,
    // not only the one read, so the next walk goes past every one of them.
    auto table = mountConfig();
    auto& entries = table->swTableEntries();
    for (std::uint32_t n = 0; n < 400; ++n) table->swTableEntriesIs(configRecord(n, n + 1));
    auto const order = keysInOrder(*table);
    for (std::size_t i = 100; i < 250; ++i) entries.TEST_corruptRecord(order[i]);

    // The audit's read counts them and changes nothing.
    std::uint32_t intact = 0;
    EXPECT_EQ(entries.scan([&](TcamConfigTesselEntry const&) { ++intact; }), 150u);
    EXPECT_EQ(intact, 250u);
    EXPECT_EQ(entries.size(), 400u);

    std::size_t walked = 0;
    try {
        for (auto cur = entries.first(); cur; cur = entries.after(cur->key())) ++walked;
        FAIL() << "the walk went past a damaged record";
    } catch (Lumo::CorruptionDetectedException const& e) {
        entries.doCorruptionDetected(e.what());
    }
    EXPECT_EQ(walked, 100u);
    EXPECT_EQ(entries.quarantined(), 150u);
    EXPECT_EQ(entries.size(), 250u);
    walked = 0;
    for (auto cur = entries.first(); cur; cur = entries.after(cur->key())) ++walked;
    EXPECT_EQ(walked, 250u);

    // Inside a scope: all of them when the scope ends (not in the scope's transaction, whose
    // writes commit as they would), and a record rewritten meanwhile stays.
    for (std::size_t i = 300; i < 340; ++i) entries.TEST_corruptRecord(order[i]);
    {
        QelSharedMem::WriteTransaction txn;
        EXPECT_THROW(entries.find(order[339]), Lumo::CorruptionDetectedException);
        entries.doCorruptionDetected("damaged");
        TcamConfigTesselEntry rewritten = configRecord(999, 999);
        rewritten.logEntry.key = order[300];
        table->swTableEntriesIs(rewritten);
        EXPECT_EQ(entries.size(), 250u);
        EXPECT_THROW(entries.has(order[339]), Lumo::CorruptionDetectedException);
    }
    EXPECT_EQ(entries.quarantined(), 189u);
    EXPECT_EQ(entries.find(order[300]).logVersion, 999u);
    EXPECT_EQ(entries.scan([](TcamConfigTesselEntry const&) {}), 0u);
    EXPECT_EQ(entries.size(), 211u);
}

TEST_F(ShmCollection, WriteTransactionCommitsAllOrNothing) {
    auto log = mountLog();
    auto table = mountConfig();
    auto control = log->collectionControl();
    auto writeChange = [&](Asic::LogVersion v) {
        table->swTableEntriesIs(configRecord(v, v));
        log->entryLogConfigIs(logRecord(v, v));
        control->scratchpadIs(v);
    };

    {
        QelSharedMem::WriteTransaction outer;
        {
            QelSharedMem::WriteTransaction inner;
            writeChange(1);
        }
        EXPECT_TRUE(log->entryLogConfig().has(1));  // the scope reads its own writes
        EXPECT_EQ(control->scratchpad(), 1u);
    }
    EXPECT_EQ(control->scratchpad(), 1u);

    // An inner scope that failed dooms the outer one, even when its exception was caught.
    EXPECT_THROW(
        {
            QelSharedMem::WriteTransaction outer;
            writeChange(3);
            try {
                QelSharedMem::WriteTransaction inner;
                throw std::runtime_error("inner failure");
            } catch (std::runtime_error const&) {
            }
        },
        QelSharedMem::StorageError);

    EXPECT_FALSE(table->swTableEntries().has(tcamKey(3)));
    EXPECT_EQ(control->scratchpad(), 1u);
    EXPECT_EQ(log->entryLogConfig().size(), 1u);
    writeChange(5);  // and the service is usable afterwards
    EXPECT_EQ(control->scratchpad(), 5u);
}

TEST_F(ShmCollection, CommitGroupKeepsEveryUnitThatSucceededAndUndoesOnlyAFailedOne) {
    auto log = mountLog();
    auto table = mountConfig(1, 4);
    auto control = log->collectionControl();
    auto writeChange = [&](Asic::LogVersion v) {
        QelSharedMem::WriteTransaction txn;
        table->swTableEntriesIs(configRecord(static_cast<std::uint32_t>(v), v));
        log->entryLogConfigIs(logRecord(v, static_cast<std::uint32_t>(v)));
        control->scratchpadIs(v);
    };
    auto group = VornTunnelTcamMgr::environmentCommitGroup();
    ASSERT_TRUE(group->begin());
    EXPECT_FALSE(VornTunnelTcamMgr::environmentCommitGroup()->begin());  // a second group joins the first
    writeChange(1);
    table->swTableEntriesIs(configRecord(2, 2));  // a single write is a unit of its own
    EXPECT_TRUE(log->entryLogConfig().has(1));    // reads see the group's writes
    EXPECT_EQ(control->scratchpad(), 1u);

    // A unit whose second write fails: its first write is undone, the units before it stay.
    EXPECT_THROW(
        {
            QelSharedMem::WriteTransaction txn;
            table->swTableEntriesIs(configRecord(3, 3));
            shm_.faults().failWriteAtIs(1);
            log->entryLogConfigIs(logRecord(3));
        },
        QelSharedMem::StorageError);
    EXPECT_FALSE(table->swTableEntries().has(tcamKey(3)));
    EXPECT_TRUE(table->swTableEntries().has(tcamKey(2)));
    // A single write that fails undoes nothing else.
    shm_.faults().failWriteAtIs(1);
    EXPECT_THROW(log->entryLogConfigIs(logRecord(9)), QelSharedMem::StorageError);
    // A full table refuses a new key without writing: the group goes on.
    table->swTableEntriesIs(configRecord(4, 4));
    table->swTableEntriesIs(configRecord(5, 5));
    EXPECT_THROW(writeChange(6), Lumo::CapacityExceededException);
    EXPECT_EQ(table->swTableEntries().size(), 4u);
    group->commit();
    writeChange(4);
    // A mount commits the group's writes so far and takes a transaction of its own.
    auto other = mountConfig(2);
    other->swTableEntriesIs(configRecord(7, 7));
    group->end(false);

    restart();
    log = mountLog();
    table = mountConfig(1, 4);
    other = mountConfig(2);
    EXPECT_EQ(log->collectionControl()->scratchpad(), 4u);
    std::vector<Asic::LogVersion> versions;
    for (auto r = log->entryLogConfig().first(); r; r = log->entryLogConfig().after(r->version))
        versions.push_back(r->version);
    EXPECT_EQ(versions, (std::vector<Asic::LogVersion>{1, 4}));
    for (std::uint32_t n : {1, 2, 4, 5}) EXPECT_TRUE(table->swTableEntries().has(tcamKey(n))) << n;
    EXPECT_FALSE(table->swTableEntries().has(tcamKey(3)));
    EXPECT_EQ(table->swTableEntries().find(tcamKey(4)).logVersion, 4u);
    EXPECT_TRUE(other->swTableEntries().has(tcamKey(7)));
}

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
