// Cleanup of the change log up to a table version, with the configuration records the
// removed changes deleted.
#include "tests/entrylog/EntryLogFixture.h"

namespace VornTest {
namespace {

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

}  // namespace
}  // namespace VornTest
