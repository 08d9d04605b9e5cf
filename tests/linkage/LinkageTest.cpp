// The action table's InLif linkage: requesting resources, the resolution state an entry gets
// from its handle, the needed-entry set, per-key usage tracking with its acknowledgements and
// releases, and the re-write of every user when a resource changes.
#include "contracts/lumo/Exception.h"
#include "contracts/qel/Trace.h"
#include "tests/support/ActionTableFixture.h"

namespace VornTest {
namespace {

using LinkageTest = ActionTableFixture;
using Wrapper = VornTunnelTcamMgr::TcamActionEntryWrapper;
using Asic::EntryState;

// Position of the first trace message of `handle` that starts with `prefix`, or -1.
long firstMessage(Qel::TraceCapture const& capture, std::string const& handle, std::string const& prefix) {
    auto const messages = capture.messages(handle);
    for (std::size_t i = 0; i < messages.size(); ++i)
        if (messages[i].rfind(prefix, 0) == 0) return static_cast<long>(i);
    return -1;
}

TEST_F(LinkageTest, ResolutionStateNeededEntrySetAndTheNullKey) {
    auto handle = TcamActionSwTable::entryHandleFactory(Asic::EntryVersion(0, 0), akey(1), table_.ptr());
    auto wrapper = Lumo::make<Wrapper>(aentry(1, 1, 5), handle);
    EXPECT_EQ(linkage().entryResolutionState(nullptr), EntryState::done);
    EXPECT_EQ(linkage().entryResolutionState(wrapper), EntryState::done);  // no handle yet

    linkage().resolveEntry(wrapper);
    auto const res = wrapper->inLifIndexKeyResPtr();
    ASSERT_TRUE(res);
    EXPECT_EQ(linkage().entryResolutionState(wrapper), EntryState::pending);
    linkage().resolveEntry(wrapper);  // the same handle again
    EXPECT_EQ(wrapper->inLifIndexKeyResPtr(), res);
    loop_.runUntilIdle();
    EXPECT_EQ(linkage().entryResolutionState(wrapper), EntryState::done);

    auto needed = Lumo::make<Asic::NeededEntry>();
    needed->add(Asic::TableVersion{Asic::SwTableId(0x1B080401), 17});
    ASSERT_TRUE(resTable_->neededEntryIs(inLif(5), needed));
    auto const set = table_->getNeededEntrySet(wrapper);
    ASSERT_EQ(set->size(), 1u);
    EXPECT_EQ(set->neededEntry().get(Asic::SwTableId(0x1B080401)).version, 17u);
    EXPECT_NE(table_->getNeededEntrySet(wrapper), set);  // a fresh set every time

    ASSERT_TRUE(resTable_->forceFailure(inLif(5)));
    EXPECT_EQ(linkage().entryResolutionState(wrapper), EntryState::resolutionFailed);

    // The released handle ends in state 3, which counts as failed.
    client_->release(res, nullptr);
    loop_.runUntilIdle();
    ASSERT_EQ(res->entryState(), EntryState::failedOther);
    EXPECT_EQ(linkage().entryResolutionState(wrapper), EntryState::resolutionFailed);
}

TEST_F(LinkageTest, ThreeUsersAreRewrittenAndAcknowledgedOnceWithTheLastHandle) {
    for (std::uint32_t id = 1; id <= 3; ++id) write(id, 1, 5);
    commitAll();
    ASSERT_EQ(linkage().entryUsageSms(), 1u);
    auto const sm = linkage().entryUsageSm(inLif(5));
    EXPECT_EQ(sm->entryUsage().size(), 3u);
    // The first user acknowledged the handle behind its own commit; the others did not.
    ASSERT_EQ(client_->ackCount(), 1u);
    auto const oldInLif0 = sm->resPtr()->inLif0Index();
    EXPECT_EQ(table_->entryRead(akey(2)).logEntry.inLif0Index, oldInLif0);
    ASSERT_TRUE(resTable_->reindex(inLif(5)));

    ASSERT_EQ(helper_->updated.size(), 3u);
    ASSERT_EQ(client_->ackCount(), 2u);
    auto const& ack = client_->ackLog().back();
    EXPECT_EQ(ack.updateNumber, sm->resPtr()->updateNumber());
    EXPECT_EQ(ack.entryHandle, helper_->updated.back()->entryHandle());
    EXPECT_EQ(ack.entryHandle->entryState(), EntryState::logged);
    auto const newInLif0 = sm->resPtr()->inLif0Index();
    EXPECT_NE(newInLif0, oldInLif0);
    for (std::uint32_t id = 1; id <= 3; ++id) EXPECT_EQ(table_->entryRead(akey(id)).logEntry.inLif0Index, newInLif0);
}

TEST_F(LinkageTest, ChangeWhoseUsersAreAllGoneFromTheLogAcknowledgesWithoutEntryHandle) {
    // A restored use whose committed entry is not in the configuration table.
    auto handle = TcamActionSwTable::entryHandleFactory(Asic::EntryVersion(), akey(4), table_.ptr());
    auto wrapper = Lumo::make<Wrapper>(aentry(4, 1, 5), handle);
    linkage().resolveEntry(wrapper);
    linkage().restoreEntry(wrapper);
    EXPECT_EQ(client_->ackCount(), 0u);  // a restored use acknowledges nothing
    loop_.runUntilIdle();                // resolution is a change of the resource
    ASSERT_EQ(client_->ackCount(), 1u);
    EXPECT_FALSE(client_->ackLog().back().entryHandle);
    EXPECT_EQ(client_->ackLog().back().updateNumber, 1u);
}

TEST_F(LinkageTest, MovingAnEntryReleasesTheOldKeyThenAcknowledgesTheNewOne) {
    write(1, 1, 5);
    commitAll();
    auto const a = linkage().entryUsageSm(inLif(5))->resPtr();
    client_->logDelAll();

    // The same key again: no usage change and nothing sent.
    write(1, 2, 5);
    commitAll();
    EXPECT_EQ(client_->ackCount(), 1u);
    EXPECT_EQ(client_->releaseCount(), 0u);

    Qel::TraceCapture capture;
    auto const moved = write(1, 3, 6);
    commitAll();
    EXPECT_EQ(linkage().entryUsageSm(inLif(5)), nullptr);
    ASSERT_EQ(client_->releaseLog().size(), 1u);
    EXPECT_EQ(client_->releaseLog().back().handle, a);
    EXPECT_EQ(client_->releaseLog().back().entryHandle, moved);
    ASSERT_EQ(client_->ackLog().size(), 1u);
    EXPECT_EQ(client_->ackLog().back().handle->resourceKey(), inLif(6));
    EXPECT_EQ(client_->ackLog().back().entryHandle, moved);
    long const release =
        firstMessage(capture, "InLifIndexResourceTable", "client: 1, key: InLif(intf=5, vlan=10), entryHandle");
    long const ack =
        firstMessage(capture, "InLifIndexResourceTable", "client: 1, key: InLif(intf=6, vlan=10), updateNumber");
    ASSERT_GE(release, 0);
    ASSERT_GE(ack, 0);
    EXPECT_LT(release, ack);

    // A move to no InLif only drops the use.
    write(1, 4, 0);
    commitAll();
    EXPECT_EQ(linkage().entryUsageSms(), 0u);
    EXPECT_EQ(client_->releaseCount(), 2u);
    EXPECT_EQ(client_->ackCount(), 2u);
}

TEST_F(LinkageTest, SharedKeyHasOneStateMachineAndOneReleaseByTheLastUser) {
    write(1, 1, 5);
    write(2, 1, 5);
    commitAll();
    ASSERT_EQ(linkage().entryUsageSms(), 1u);
    auto const sm = linkage().entryUsageSm(inLif(5));
    EXPECT_EQ(client_->ackCount(), 1u);
    auto const res = sm->resPtr();

    remove(1);
    commitAll();
    EXPECT_EQ(client_->releaseCount(), 0u);
    EXPECT_EQ(linkage().entryUsageSm(inLif(5)), sm);
    EXPECT_FALSE(sm->entryUsageHas(akey(1)));

    auto const last = remove(2);
    commitAll();
    ASSERT_EQ(client_->releaseCount(), 1u);
    EXPECT_EQ(client_->releaseLog().back().entryHandle, last);
    EXPECT_EQ(linkage().entryUsageSms(), 0u);
    EXPECT_FALSE(sm->hasNotificationActive());

    // Once the removal is done the table frees the indexes and notifies: nobody acts on it.
    auto const acks = client_->ackCount();
    table_->tableStatusVersion(log_->tableVersion());
    loop_.runUntilIdle();
    EXPECT_EQ(res->entryState(), EntryState::failedOther);
    EXPECT_EQ(client_->ackCount(), acks);

    // A new handle for the key under a tracked key is refused.
    write(3, 1, 5);
    commitAll();
    auto const tracked = linkage().entryUsageSm(inLif(5));
    ASSERT_TRUE(tracked);
    EXPECT_NE(tracked->resPtr(), res);
    EXPECT_THROW(linkage().entryUsageSmIs(res), Lumo::ReinstantiationException);
}

TEST_F(LinkageTest, DestroyingTheLinkageStopsNotificationsWithoutReleasing) {
    write(1, 1, 5);
    commitAll();
    auto const sm = linkage().entryUsageSm(inLif(5));
    table_->inLifIndexLinkageIs(nullptr);
    EXPECT_FALSE(sm->hasNotificationActive());
    EXPECT_EQ(client_->releaseCount(), 0u);
    auto const acks = client_->ackCount();
    ASSERT_TRUE(resTable_->reindex(inLif(5)));
    EXPECT_EQ(client_->ackCount(), acks);
}

}  // namespace
}  // namespace VornTest
