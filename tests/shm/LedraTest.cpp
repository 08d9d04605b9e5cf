// The state database: values persist in the namespace across restarts and take part in write
// transactions, and a damaged value is reported and removed. (Entities persisting across a
// restart: the relaunch generation of the entry-log mount tests.)
#include "contracts/ledra/EntityManager.h"
#include "contracts/shm/Environment.h"
#include "tests/shm/ShmTestSupport.h"

namespace VornTest {
namespace {

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
