// The writing and reading operations of both entry logs: versions, suppression of identical
// rewrites, deletion, table deletion and the all-or-nothing commit of one change; and the
// cleanup of the change log up to a table version, with the configuration records the removed
// changes deleted. Mounting: what a restart finds, the drop of applied deletions at a unit's
// mount, the choice of the shared-memory entity manager, wiped tables.
#include <cstdlib>

#include "contracts/asic/GenId.h"
#include "contracts/qel/Log.h"
#include "contracts/qel/Trace.h"
#include "entrylog/MountTessel.h"
#include "tests/entrylog/EntryLogFixture.h"

namespace VornTest {
namespace {

template <typename Log>
class EntryLogOps : public EntryLogFixture<Log> {};
TYPED_TEST_SUITE(EntryLogOps, EntryLogTypes);

TYPED_TEST(EntryLogOps, EveryChangeTakesTheNextVersionAndOneChangeLogRecord) {
    EXPECT_EQ(this->log_->tableVersion(), 0u);
    EXPECT_EQ(this->write(1, 5), 1u);
    EXPECT_EQ(this->write(2, 6), 2u);
    EXPECT_EQ(this->del(1), 3u);
    EXPECT_EQ(this->log_->tableDel(this->needed_, kUnit), 4u);
    EXPECT_EQ(this->scratchpad(), 4u);
    EXPECT_EQ(this->groupVersions(), (std::vector<Asic::LogVersion>{1, 2, 3, 4}));

    auto& changeLog = this->changeLog();
    ASSERT_EQ(changeLog.size(), 4u);
    auto const w = changeLog.find(2);
    EXPECT_EQ(w.unitId, kUnit);
    EXPECT_EQ(w.logEntry, this->entry(2, 6));
    EXPECT_FALSE(w.entryDeleted() || w.tableDeleted());
    auto const d = changeLog.find(3);
    EXPECT_TRUE(d.entryDeleted() && !d.tableDeleted());
    EXPECT_EQ(d.logEntry, this->entry(1, 5));  // the entry deleted
    auto const t = changeLog.find(4);
    EXPECT_TRUE(t.tableDeleted() && !t.entryDeleted());
    EXPECT_EQ(t.logEntry, decltype(t.logEntry){});
}

TYPED_TEST(EntryLogOps, IdenticalRewriteIsAnsweredFromTheLogOnlyWhenAsked) {
    ASSERT_EQ(this->write(1, 5, true), 1u);  // absent key: written, nothing counted
    EXPECT_EQ(this->stats_->suppressedWriteCnt() + this->stats_->suppressCheckDiffCnt(), 0u);

    EXPECT_EQ(this->write(1, 5, true), 1u);
    EXPECT_EQ(this->stats_->suppressedWriteCnt(), 1u);
    EXPECT_EQ(this->log_->tableVersion(), 1u);
    auto const key = this->key(1);

    EXPECT_EQ(this->write(1, 5, false), 2u);  // not asked: a new version and both records
    EXPECT_EQ(this->changeLog().size(), 2u);
    EXPECT_EQ(this->log_->entryLogVersion(key, kUnit), 2u);

    EXPECT_EQ(this->write(1, 6, true), 3u);  // a different entry is written
    EXPECT_EQ(this->stats_->suppressCheckDiffCnt(), 1u);

    EXPECT_EQ(this->del(1), 4u);
    EXPECT_EQ(this->write(1, 6, true), 5u);  // a key in deletion is revived, never suppressed
    EXPECT_EQ(this->stats_->suppressedWriteCnt(), 1u);
    EXPECT_EQ(this->stats_->suppressCheckDiffCnt(), 1u);
    EXPECT_TRUE(this->log_->entryHas(key, kUnit));
}

TYPED_TEST(EntryLogOps, DeletionKeepsTheRecordUnderTheDeletionsVersion) {
    auto const key = this->key(9);
    EXPECT_EQ(this->del(9), 0u);  // never written: nothing happens

    this->write(9, 4, false, 77);
    this->write(8);
    EXPECT_EQ(this->log_->entrys(kUnit), 2u);
    EXPECT_EQ(this->del(9), 3u);
    EXPECT_FALSE(this->log_->entryHas(key, kUnit));
    EXPECT_EQ(this->log_->entry(key, kUnit), typename TestFixture::LogEntry{});
    EXPECT_EQ(this->log_->entryLogVersion(key, kUnit), 3u);
    EXPECT_EQ(this->log_->entryRsrcKeys(key, kUnit), TestFixture::F::rsrcKeys(77));  // kept while in deletion
    EXPECT_EQ(this->log_->entrys(kUnit), 1u);
    EXPECT_EQ(this->log_->entrysInDeletion(kUnit), 1u);
    EXPECT_EQ(this->del(9), 4u);  // deleted again: a new version and record
    EXPECT_EQ(this->changeLog().size(), 4u);
    EXPECT_EQ(this->log_->entryLogVersion(key, kUnit), 4u);
}

TYPED_TEST(EntryLogOps, TableDelMarksOnlyLiveRecordsUnderOneVersion) {
    for (std::uint32_t k = 1; k <= 4; ++k) this->write(k);     // 1..4
    this->del(4);                                              // 5
    for (std::uint32_t k = 1; k <= 3; ++k) this->write(k, 2);  // 6..8
    this->write(1, 3);                                         // 9
    ASSERT_EQ(this->log_->tableVersion(), 9u);
    EXPECT_EQ(this->log_->tableDel(this->needed_, kUnit), 10u);
    for (std::uint32_t k = 1; k <= 3; ++k) {
        auto const record = this->config().find(this->key(k));
        EXPECT_EQ(record.logVersion, 10u);
        EXPECT_TRUE(record.inDeletion);
    }
    EXPECT_EQ(this->config().find(this->key(4)).logVersion, 5u);
    EXPECT_EQ(this->changeLog().size(), 10u);
    EXPECT_TRUE(this->changeLog().find(10).tableDeleted());
    EXPECT_EQ(this->log_->entrys(kUnit), 0u);
    EXPECT_EQ(this->log_->entrysInDeletion(kUnit), 4u);

    this->log_->mountTesselConfig(7, 0);  // an empty unit still takes a version and a record
    EXPECT_EQ(this->log_->tableDel(this->needed_, 7), 11u);
    EXPECT_EQ(this->changeLog().find(11).unitId, 7u);
    EXPECT_EQ(this->groupVersions().back(), 11u);
}

// A change whose configuration write fails leaves nothing behind and gives its version back.
TYPED_TEST(EntryLogOps, FailedChangeStoresNothing) {
    std::uint32_t const capacity = this->config().capacity();
    for (std::uint32_t k = 0; k < capacity; ++k) this->write(k);
    EXPECT_THROW(this->write(capacity), Lumo::CapacityExceededException);
    EXPECT_EQ(this->log_->tableVersion(), capacity);
    EXPECT_EQ(this->scratchpad(), capacity);
    EXPECT_EQ(this->write(0, 9), capacity + 1);
}

using ActionEntryLogOps = EntryLogFixture<VornTunnelTcamMgr::TcamActionEntryLog>;

TEST_F(ActionEntryLogOps, ResourceKeysAreStoredAndTakePartInSuppression) {
    EXPECT_EQ(write(1, 5, false, 7), 1u);
    EXPECT_EQ(write(1, 5, true, 8), 2u);  // same entry, other InLif key
    EXPECT_EQ(stats_->suppressCheckDiffCnt(), 1u);
    EXPECT_EQ(log_->entryRsrcKeys(key(1), kUnit), F::rsrcKeys(8));
    EXPECT_EQ(write(1, 5, true, 8), 2u);
    EXPECT_EQ(stats_->suppressedWriteCnt(), 1u);
    log_->tableDel(needed_, kUnit);
    EXPECT_EQ(log_->entryRsrcKeys(key(1), kUnit), F::rsrcKeys(8));
}

template <typename Log>
class EntryLogCleanup : public EntryLogFixture<Log> {
  protected:
    std::vector<Asic::LogVersion> changeLogVersions() const {
        std::vector<Asic::LogVersion> v;
        for (auto r = this->changeLog().first(); r; r = this->changeLog().after(r->version)) v.push_back(r->version);
        return v;
    }
};
TYPED_TEST_SUITE(EntryLogCleanup, EntryLogTypes);

TYPED_TEST(EntryLogCleanup, FirstCleanupScansTheLogLaterOnesVisitNewVersionsOnly) {
    for (std::uint32_t k = 1; k <= 8; ++k) this->write(k);
    this->log_->cleanupEntryLog(0);  // nothing up to 0: the next call scans again
    EXPECT_EQ(this->log_->cleanedVersion(), 0u);
    this->log_->cleanupEntryLog(5);
    EXPECT_EQ(this->changeLogVersions(), (std::vector<Asic::LogVersion>{6, 7, 8}));
    EXPECT_EQ(this->log_->cleanedVersion(), 5u);

    // A record below the cleaned version is not visited again.
    auto stray = this->changeLog().find(6);
    stray.version = 2;
    this->log_->tableEntryLog()->entryLogConfigIs(stray);
    this->log_->cleanupEntryLog(8);
    EXPECT_EQ(this->changeLogVersions(), (std::vector<Asic::LogVersion>{2}));
    EXPECT_EQ(this->log_->entrys(kUnit), 8u);  // plain writes leave the configuration alone

    this->log_->cleanupEntryLog(1);  // below: nothing removed, the cleaned version goes down
    EXPECT_EQ(this->log_->cleanedVersion(), 1u);
    EXPECT_EQ(this->changeLogVersions().size(), 1u);
}

TYPED_TEST(EntryLogCleanup, DeletionsAreCleanedUnlessTheKeyWasWrittenAgain) {
    this->write(1);  // 1
    this->write(2);  // 2
    this->write(3);  // 3
    this->del(1);    // 4
    this->del(2);    // 5
    this->write(1);  // 6: written again after its deletion
    this->log_->cleanupEntryLog(5);
    EXPECT_EQ(this->config().find(this->key(1)).logVersion, 6u);
    EXPECT_FALSE(this->config().has(this->key(2)));
    EXPECT_EQ(this->config().size(), 2u);
}

// C deleted at 3, then A, B and X marked by the table deletion at 7.
TYPED_TEST(EntryLogCleanup, TableDeletionIsCleanedWithEarlierDeletions) {
    this->write(30);     // 1: C
    this->write(10);     // 2: A
    this->del(30);       // 3
    this->write(20);     // 4: B
    this->write(40);     // 5: X
    this->write(40, 2);  // 6
    EXPECT_EQ(this->log_->tableDel(this->needed_, kUnit), 7u);
    this->log_->cleanupEntryLog(6);
    EXPECT_FALSE(this->config().has(this->key(30)));
    EXPECT_EQ(this->config().size(), 3u);
    this->log_->cleanupEntryLog(7);
    EXPECT_EQ(this->config().size(), 0u);
    EXPECT_EQ(this->changeLog().size(), 0u);
}

TYPED_TEST(EntryLogCleanup, RecordOfAnUnmountedUnitIsRemovedAlone) {
    this->log_->mountTesselConfig(5, 0);
    this->write(1, 1, false, 0, 5);
    this->del(1, 5);
    this->stop();
    this->start();
    this->log_->cleanupEntryLog(2);
    EXPECT_EQ(this->changeLog().size(), 0u);
    this->log_->mountTesselConfig(5, 0);
    EXPECT_EQ(this->log_->entrysInDeletion(5), 1u);  // stays until a mount with a version
}

using VornTunnelTcamMgr::TcamActionEntryLog;
using VornTunnelTcamMgr::TcamEntryLog;

template <typename Log>
class EntryLogMount : public EntryLogFixture<Log> {
  protected:
    void restart() {
        this->stop();
        this->start();
    }
};
TYPED_TEST_SUITE(EntryLogMount, EntryLogTypes);

TYPED_TEST(EntryLogMount, RestartFindsEveryCommittedChange) {
    this->write(1, 5);
    this->write(2);
    this->write(3);
    this->del(2);
    this->restart();
    EXPECT_EQ(this->log_->tableVersion(), 4u);
    EXPECT_FALSE(this->log_->tableConfigTessel(kUnit));
    this->log_->mountTesselConfig(kUnit, 0);
    EXPECT_EQ(this->log_->entry(this->key(1), kUnit), this->entry(1, 5));
    EXPECT_FALSE(this->log_->entryHas(this->key(2), kUnit));
    EXPECT_EQ(this->log_->entryLogVersion(this->key(2), kUnit), 4u);
    EXPECT_EQ(this->write(4), 5u);  // versions go on from the restored one

    this->log_->tableEntryLog()->collectionControl()->scratchpadIs(41);
    this->restart();
    EXPECT_EQ(this->log_->tableVersion(), 41u);
}

// Records in deletion: k1 at 3, k3 at 7, k4 at 8; live: k2 at 2, k5 at 6.
TYPED_TEST(EntryLogMount, MountWithVersionDropsOnlyAppliedDeletions) {
    this->write(1);
    this->write(2);
    this->del(1);
    for (std::uint32_t k = 3; k <= 5; ++k) this->write(k);
    this->del(3);
    this->del(4);
    this->restart();
    this->log_->mountTesselConfig(kUnit, 0);
    EXPECT_EQ(this->config().size(), 5u);
    EXPECT_EQ(this->log_->entrysInDeletion(kUnit), 3u);

    this->restart();
    this->log_->mountTesselConfig(kUnit, 7);
    EXPECT_FALSE(this->config().has(this->key(1)));
    EXPECT_FALSE(this->config().has(this->key(3)));
    EXPECT_EQ(this->config().find(this->key(4)).logVersion, 8u);
    EXPECT_EQ(this->config().find(this->key(2)).logVersion, 2u);
    EXPECT_TRUE(this->log_->entryHas(this->key(5), kUnit));
    EXPECT_EQ(this->config().size(), 3u);
}

TYPED_TEST(EntryLogMount, WipedTableIsReportedOnceAndAdvancesTheRelaunchGeneration) {
    using Constants = typename TestFixture::F::Constants;
    std::string const table = TestFixture::F::kTableName;
    auto const genIdPath = std::string(VornTunnelTcamMgr::kRelaunchConfigPathPrefix) + kAgent;
    auto const raised = [] {
        std::vector<std::string> texts;
        for (auto const& m : Qel::loggedMessages()) texts.push_back(m.name + ": " + m.text);
        Qel::loggedMessagesDelAll();
        return texts;
    };
    this->write(1);
    this->log_->mountTesselConfig(5, 0);
    this->stop();
    this->start();
    raised();

    // Without a relaunch entity nothing is advanced, and the flag is cleared all the same.
    this->shm_.faults().wipedAtMountIs(Constants::configTesselPath(5));
    this->log_->mountTesselConfig(5, 0);
    EXPECT_EQ(raised(),
              std::vector<std::string>{
                  "HW_ABSTRACTION_ERROR: Hardware abstraction error: unable to load item: entryCfg::" + table});
    EXPECT_FALSE(this->log_->tableConfigTessel(5)->collectionControl()->wiped());
    EXPECT_FALSE(this->entityManager_->getEntity(genIdPath));

    this->entityManager_->template entityIs<Asic::GenId>(genIdPath);
    this->stop();
    this->shm_.faults().wipedAtMountIs(Constants::tableEntryLogTesselPath());
    this->start();
    EXPECT_EQ(raised(),
              std::vector<std::string>{
                  "HW_ABSTRACTION_ERROR: Hardware abstraction error: unable to load item: entryLog::" + table});
    auto genId = Lumo::ptr_cast<Asic::GenId>(this->entityManager_->getEntity(genIdPath));
    ASSERT_TRUE(genId);
    EXPECT_EQ(genId->majorId(), 1u);
    EXPECT_FALSE(this->log_->tableEntryLog()->collectionControl()->wiped());
    EXPECT_EQ(this->log_->tableVersion(), 0u);  // the table as the service left it: empty
    EXPECT_EQ(this->changeLog().size(), 0u);

    genId = nullptr;
    this->stop();
    this->start();
    EXPECT_TRUE(raised().empty());
    genId = Lumo::ptr_cast<Asic::GenId>(this->entityManager_->getEntity(genIdPath));
    EXPECT_EQ(genId->majorId(), 1u);
}

using KeyEntryLogMount = EntryLogMount<TcamEntryLog>;

TEST_F(KeyEntryLogMount, NotLocalEmChoosesTheNonLocalManager) {
    auto const path = VornTunnelTcamMgr::TcamConstants::configTesselPath(11);
    auto const name = entityManager_->name();
    ASSERT_TRUE(entityManager_->local());
    log_->mountTesselConfig(10, 0);
    EXPECT_TRUE(QelSharedMem::EntityManager::getEntityManager(name, true)
                    ->getEntity(VornTunnelTcamMgr::TcamConstants::configTesselPath(10)));

    ::setenv("NOT_LOCAL_EM", "", 1);
    log_->mountTesselConfig(11, 0);
    ::unsetenv("NOT_LOCAL_EM");
    EXPECT_TRUE(QelSharedMem::EntityManager::getEntityManager(name, false)->getEntity(path));
    EXPECT_FALSE(QelSharedMem::EntityManager::getEntityManager(name, true)->getEntity(path));
}

}  // namespace
}  // namespace VornTest
