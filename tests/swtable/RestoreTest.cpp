// Restore after an agent restart, the re-evaluation of one committed entry (updateEntry) and
// the removal of every committed entry of a unit (delAllEntries, clearTable), for the action
// table and, where it differs, the key table.
#include <set>

#include "contracts/qel/Trace.h"
#include "tests/support/ActionTableFixture.h"

namespace VornTest {
namespace {

using RestoreTest = ActionTableFixture;
using Asic::EntryState;

TEST_F(RestoreTest, RestoreAfterRestartRebindsLiveEntriesAndCatchesUpWithTheResource) {
    writeInLifUsers();
    commitAll();
    remove(3);
    commitAll();  // key 3's record stays in deletion
    auto const before = resTable_->handle(inLif(5));
    ASSERT_TRUE(before);
    std::uint32_t const oldInLif0 = before->inLif0Index();
    ASSERT_EQ(table_->entryRead(akey(1)).logEntry.inLif0Index, oldInLif0);

    // The agent goes down; meanwhile the resource of InLif 5 gets new indexes.
    stop();
    ASSERT_TRUE(resTable_->reindex(inLif(5)));
    shm_.restart();
    start();
    EXPECT_EQ(table_->entrys(), 3u);

    Qel::TraceCapture capture;
    table_->restoreEntries();
    EXPECT_TRUE(capture.has("key: TcamActionKey(1), refreshRsrcPtrs: true"));
    EXPECT_FALSE(capture.has("key: TcamActionKey(3), refreshRsrcPtrs: true"));
    ASSERT_EQ(linkage().entryUsageSms(), 1u);  // InLif 6 was released, entry 4 uses none
    auto const sm = linkage().entryUsageSm(inLif(5));
    EXPECT_EQ(sm->resPtr(), before);
    EXPECT_EQ(sm->entryUsage().size(), 2u);

    // Both users were brought up to the resource's current indexes and that was acknowledged once.
    std::uint32_t const newInLif0 = before->inLif0Index();
    ASSERT_NE(newInLif0, oldInLif0);
    EXPECT_EQ(table_->entryRead(akey(1)).logEntry.inLif0Index, newInLif0);
    EXPECT_EQ(table_->entryRead(akey(2)).logEntry.inLif0Index, newInLif0);
    ASSERT_EQ(client_->ackCount(), 1u);
    auto const& ack = client_->ackLog().back();
    EXPECT_EQ(ack.updateNumber, before->updateNumber());
    ASSERT_TRUE(ack.entryHandle);
    EXPECT_EQ(ack.entryHandle->logVersion(), log_->entryLogVersion(helper_->updated.back()->key(), kTestUnit));
    EXPECT_EQ(ack.entryHandle->entryState(), EntryState::logged);
    // Restore changes no transient state.
    EXPECT_TRUE(table_->transientAddEntryColl().empty());
    EXPECT_EQ(table_->entryHandleInLogSize(), 0u);

    // A second restart with nothing changed logs nothing and still acknowledges.
    auto const version = log_->tableVersion();
    restart();
    table_->restoreEntries();
    EXPECT_EQ(log_->tableVersion(), version);
    EXPECT_EQ(client_->ackCount(), 1u);
}

TEST_F(RestoreTest, UpdateEntryLogsOnlyAChangeTheHookAccepts) {
    write(1, 1, 5);
    commitAll();
    auto const res = resTable_->handle(inLif(5));

    EXPECT_FALSE(table_->updateEntry(akey(99)));

    // Unchanged: nothing logged; the handle carries the entry's current version, state 1.
    auto const version = log_->tableVersion();
    auto same = table_->updateEntry(akey(1));
    ASSERT_TRUE(same);
    EXPECT_EQ(same->logVersion(), log_->entryLogVersion(akey(1), kTestUnit));
    EXPECT_EQ(same->entryState(), EntryState::logged);
    EXPECT_EQ(log_->tableVersion(), version);

    // Changed, but the hook declines: nothing logged.
    helper_->resourceAnswer = false;
    std::uint32_t const oldInLif0 = res->inLif0Index();
    ASSERT_TRUE(resTable_->reindex(inLif(5)));
    EXPECT_EQ(helper_->updated.size(), 2u);
    EXPECT_EQ(log_->tableVersion(), version);
    EXPECT_EQ(table_->entryRead(akey(1)).logEntry.inLif0Index, oldInLif0);

    // Changed and accepted: logged with the new indexes.
    helper_->resourceAnswer = true;
    auto changed = table_->updateEntry(akey(1));
    ASSERT_TRUE(changed);
    EXPECT_EQ(log_->tableVersion(), version + 1);
    EXPECT_EQ(changed->logVersion(), version + 1);
    EXPECT_EQ(table_->entryRead(akey(1)).logEntry.inLif0Index, res->inLif0Index());
    EXPECT_EQ(table_->stats()->updateWithFailedResourceCnt(), 0u);

    // A failed resource: the hook is told, the failure counted, and the cleared indexes logged.
    ASSERT_TRUE(resTable_->forceFailure(inLif(5)));
    EXPECT_TRUE(helper_->failedFlags.back());
    EXPECT_EQ(table_->stats()->updateWithFailedResourceCnt(), 1u);
    EXPECT_EQ(table_->entryRead(akey(1)).logEntry.inLif0Index, 0u);
    EXPECT_EQ(log_->tableVersion(), version + 2);
}

TEST_F(RestoreTest, DelAllEntriesWithoutReleasingLogsOneTableDeletion) {
    write(1, 1, 5);
    write(2, 1, 6);
    commitAll();
    Lumo::Ptr<TcamActionSwTable::EntryHandle> handle;
    table_->delAllEntries(false, nullptr, handle);
    EXPECT_FALSE(handle);
    EXPECT_EQ(table_->entrys(), 0u);
    EXPECT_EQ(client_->releaseCount(), 0u);
    EXPECT_EQ(linkage().entryUsageSms(), 2u);

    // Records in deletion still count as stored: a second clear logs again, with the given handle.
    auto given = TcamActionSwTable::entryHandleFactory(Asic::EntryVersion(0, 0), akey(0), table_.ptr());
    table_->delAllEntries(false, nullptr, given);
    EXPECT_EQ(given->logVersion(), log_->tableVersion());
    EXPECT_EQ(given->entryState(), EntryState::logged);
}

TEST_F(RestoreTest, ClearTableReleasesEveryLiveUseThenLogsOneDeletion) {
    writeInLifUsers();
    write(5, 1, 7);
    commitAll();
    remove(5);
    commitAll();  // in deletion: its use is already gone
    ASSERT_EQ(client_->releaseCount(), 1u);
    client_->logDelAll();
    auto const version = log_->tableVersion();

    table_->clearTable(true);
    EXPECT_EQ(log_->tableVersion(), version + 1);
    EXPECT_EQ(linkage().entryUsageSms(), 0u);
    ASSERT_EQ(client_->releaseLog().size(), 2u);  // InLif 5 once, InLif 6 once
    std::set<std::uint32_t> released;
    for (auto const& r : client_->releaseLog()) {
        released.insert(r.handle->resourceKey().intfId);
        ASSERT_TRUE(r.entryHandle);  // the handle made for the walk, which gets the deletion's version
        EXPECT_EQ(r.entryHandle->logVersion(), version + 1);
    }
    EXPECT_EQ(released, (std::set<std::uint32_t>{5, 6}));
}

TEST_F(RestoreTest, RemoveAllCommitGivesUpEveryLiveUse) {
    writeInLifUsers();
    commitAll();
    ASSERT_EQ(linkage().entryUsageSms(), 2u);
    auto const version = log_->tableVersion();
    auto const queued = table_->entryHandleInLogSize();  // the four writes

    table_->entryRemoveAll(nullptr);
    commitAll();
    EXPECT_EQ(log_->tableVersion(), version + 1);
    EXPECT_EQ(linkage().entryUsageSms(), 0u);
    // Each InLif key is given up once, with the remove-all's own handle, which ends logged
    // with the deletion's version and is not queued for the table status.
    ASSERT_EQ(client_->releaseLog().size(), 2u);
    auto const removeAll = client_->releaseLog().front().entryHandle;
    ASSERT_TRUE(removeAll);
    EXPECT_EQ(removeAll->entryState(), EntryState::logged);
    EXPECT_EQ(removeAll->logVersion(), version + 1);
    EXPECT_EQ(table_->entryHandleInLogSize(), queued);
    std::set<std::uint32_t> released;
    for (auto const& r : client_->releaseLog()) {
        released.insert(r.handle->resourceKey().intfId);
        EXPECT_EQ(r.entryHandle, removeAll);
    }
    EXPECT_EQ(released, (std::set<std::uint32_t>{5, 6}));
}

TEST_F(RestoreTest, CorruptRecordEndsTheRestoreAndClearWalks) {
    for (std::uint32_t id = 1; id <= 3; ++id) write(id, 1, id + 4);
    commitAll();
    restart();
    config().TEST_corruptRecord(akey(2));
    auto const corruptions = config().corruptionsDetected();
    table_->restoreEntries();
    EXPECT_GT(config().corruptionsDetected(), corruptions);
    EXPECT_EQ(linkage().entryUsageSms(), 1u);  // only entry 1, before the corrupt record
    ASSERT_TRUE(linkage().entryUsageSm(inLif(5)));

    // Clearing releases what the walk reached and still logs the table deletion.
    auto const version = log_->tableVersion();
    table_->clearTable(true);
    EXPECT_EQ(client_->releaseCount(), 1u);
    EXPECT_EQ(log_->tableVersion(), version + 1);
}

// The key table binds no resources: restore does nothing, the needed-entry set is always a new
// empty one, and resource binding leaves the wrapper alone.
using KeyTableRestore = SwTableFixture<VornTunnelTcamMgr::TcamSwTable>;

TEST_F(KeyTableRestore, KeyTableHasNoResourceBinding) {
    using namespace VornTunnelTcamMgr;
    TcamLogEntry e;
    e.key.vrfId = 7;
    e.priority = 3;
    log_->entryIs(e, TcamResourceKeys{}, Lumo::make<Asic::NeededEntry>(), kSwUnit, table_->stats(), false);
    auto const version = log_->tableVersion();
    table_->restoreEntries();
    EXPECT_EQ(log_->tableVersion(), version);
    EXPECT_EQ(table_->entryRead(e.key).logEntry.priority, 3u);

    Lumo::Ptr<TcamSwTable::EntryHandle> handle;
    auto wrapper = table_->entryWrapperFromConfig(e.key, true, handle);
    ASSERT_TRUE(handle);
    EXPECT_EQ(wrapper->entry().logEntry, e);
    EXPECT_TRUE(table_->getNeededEntrySet(wrapper)->empty());

    table_->clearTable(true);
    EXPECT_EQ(log_->tableVersion(), version + 1);
    EXPECT_EQ(table_->entrys(), 0u);
}

}  // namespace
}  // namespace VornTest
