// Mounting: entity managers, stored entity lists, and tables that come up wiped because what
// is stored cannot be trusted. The state database: values persist across restarts and take part
// in write transactions, and a damaged value is reported and removed (entities persisting
// across a restart: the relaunch generation of the entry-log mount tests).
#include <gmock/gmock.h>

#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/Environment.h"
#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

using ::testing::ElementsAre;
using VornTunnelTcamMgr::TcamActionConfigTessel;
using VornTunnelTcamMgr::TcamConfigTessel;

class ShmMount : public ShmTest {};

struct NarrowRecord {
    std::uint64_t id = 0;
    std::uint64_t value = 0;
    std::uint64_t key() const { return id; }
};
struct WideRecord {
    std::uint64_t id = 0;
    std::uint64_t value[2] = {};
    std::uint64_t key() const { return id; }
};

TEST_F(ShmMount, TablesAreFoundAgainAndKeptApartPerManager) {
    {
        auto unit1 = mountConfig(1);
        EXPECT_EQ(unit1, mountConfig(1));  // a second mount returns the mounted table
        mountConfig(2);
        mountLog();
        unit1->swTableEntriesIs(configRecord(1, 7));
    }
    restart();
    auto const local = shmManager(true);
    EXPECT_FALSE(local->getEntity(std::string(kConfigBase) + "unit1"));  // stored, not mounted
    auto const stored = ElementsAre(std::string(kConfigBase) + "unit1", std::string(kConfigBase) + "unit2");
    EXPECT_THAT(local->findEntities(kConfigBase, QelSharedMem::QelSharedMemType::tessel), stored);
    // The local flag hides no stored table; another name sees none of them.
    EXPECT_THAT(shmManager(false)->findEntities(kConfigBase, QelSharedMem::QelSharedMemType::tessel), stored);
    auto const otherName = QelSharedMem::EntityManager::getEntityManager("OtherEm", true);
    EXPECT_TRUE(otherName->findEntities("", QelSharedMem::QelSharedMemType::tessel).empty());
}

TEST_F(ShmMount, StoredTableInAnotherFormatComesUpWipedAndEmpty) {
    Tessel::detail::CollectionDefinition definition{"test:layout", "test/layout", "Test::Table", "records", 10, 0, 1};
    auto env = []() -> QelSharedMem::Environment& { return shmManager()->environment(); };
    {
        Tessel::KeyedCollection<NarrowRecord> c(env(), definition);
        c.set({1, 2});
        c.control().scratchpadIs(9);
    }
    definition.recordLayout = 2;
    restart();
    {
        Tessel::KeyedCollection<NarrowRecord> c(env(), definition);
        EXPECT_TRUE(c.control().wiped());
        EXPECT_EQ(c.size(), 0u);
        EXPECT_EQ(c.control().scratchpad(), 0u);
        c.set({3, 4});
        c.control().clearWiped();
    }
    restart();
    {
        Tessel::KeyedCollection<NarrowRecord> c(env(), definition);  // the cleared flag was stored
        EXPECT_FALSE(c.control().wiped());
        EXPECT_TRUE(c.has(3));
    }
    restart();
    Tessel::KeyedCollection<WideRecord> wide(env(), definition);  // another record size
    EXPECT_TRUE(wide.control().wiped());
    EXPECT_EQ(wide.size(), 0u);
}

TEST_F(ShmMount, StoredTableOfAnotherTypeOrWithDamagedMetadataComesUpWiped) {
    Lumo::String const unit1 = std::string(kConfigBase) + "unit1";
    Lumo::String const unit2 = std::string(kConfigBase) + "unit2";
    Lumo::String const unit3 = std::string(kConfigBase) + "unit3";
    for (unsigned unit = 1; unit <= 3; ++unit) mountConfig(unit)->swTableEntriesIs(configRecord(1, 1));
    restart();

    // unit1 is mounted as the action table's configuration: recreated for the new type.
    auto const action = mountTable<TcamActionConfigTessel>(unit1, 65536);
    ASSERT_TRUE(action);
    EXPECT_TRUE(action->collectionControl()->wiped());
    EXPECT_EQ(action->swTableEntries().size(), 0u);
    EXPECT_FALSE(Lumo::ptr_cast<TcamConfigTessel>(shmManager()->getEntity(unit1)));

    shmManager()->TEST_damageStoredMetadata(unit2);
    shm_.faults().wipedAtMountIs(unit3);
    for (unsigned unit : {2u, 3u}) {
        auto const table = mountConfig(unit);
        EXPECT_TRUE(table->collectionControl()->wiped()) << unit;
        EXPECT_FALSE(table->swTableEntries().has(tcamKey(1))) << unit;
        table->collectionControl()->clearWiped();
    }
    restart();
    EXPECT_FALSE(mountConfig(3)->collectionControl()->wiped());  // the seam acts once
}

constexpr char kEmName[] = "VornTunnelNiEm";

class ShmLedra : public ShmTest {};

TEST_F(ShmLedra, ValuesPersistAndTakePartInWriteTransactions) {
    auto em = Lumo::make<Ledra::EntityManager>(kEmName, true);
    EXPECT_FALSE(em->value("group/tableVersion/1", "version"));
    em->valueIs("group/tableVersion/1", "version", 0xFFFFFFFFFFFFFFF0ull);
    em->valueIs("group/tableVersion/1", "other", 3);
    EXPECT_THROW(
        {
            QelSharedMem::WriteTransaction txn;
            em->valueIs("group/tableVersion/1", "version", 7);
            mountLog();  // a mount is refused inside the scope, rolling everything back
        },
        std::logic_error);
    restart();
    em = Lumo::make<Ledra::EntityManager>(kEmName, true);
    EXPECT_EQ(em->value("group/tableVersion/1", "version"), 0xFFFFFFFFFFFFFFF0ull);
    em->valueDel("group/tableVersion/1", "version");
    EXPECT_FALSE(em->value("group/tableVersion/1", "version"));
    EXPECT_EQ(em->value("group/tableVersion/1", "other"), 3u);
}

TEST_F(ShmLedra, ADamagedValueIsReportedReadsAsAbsentAndIsRemoved) {
    auto em = Lumo::make<Ledra::EntityManager>(kEmName, true);
    em->valueIs("group/tableVersion/1", "version", 41);
    QelSharedMem::Environment& env = *QelSharedMem::processEnvironment();
    std::string key = 'V' + QelSharedMem::managerKey(kEmName, true) + "group/tableVersion/1";
    key += '\0';
    key += "version";
    std::string stored = *env.get(env.ledraDbi(), key);
    stored[0] ^= 0x04;  // 41 becomes 45: only the checksum can tell
    env.put(env.ledraDbi(), key, stored);

    EXPECT_FALSE(em->value("group/tableVersion/1", "version"));
    EXPECT_FALSE(env.get(env.ledraDbi(), key));
    em->valueIs("group/tableVersion/1", "version", 42);
    EXPECT_EQ(em->value("group/tableVersion/1", "version"), 42u);
}

}  // namespace
}  // namespace VornTest
