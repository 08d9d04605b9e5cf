// Mounting: what a restart finds, the drop of applied deletions at a unit's mount, the choice
// of the shared-memory entity manager, wiped tables, and the unit collection.
#include <cstdlib>

#include "contracts/asic/GenId.h"
#include "contracts/qel/Log.h"
#include "contracts/qel/Trace.h"
#include "entrylog/MountTessel.h"
#include "tests/entrylog/EntryLogFixture.h"

namespace VornTest {
namespace {

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
