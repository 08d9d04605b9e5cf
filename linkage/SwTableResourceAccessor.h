#pragma once
// Asic::SwTableResourceAccessor<ResourceLinkage>: the generic resource algorithms of a
// software table's linkage: resolution state, needed-entry set, per-key usage mapping,
// local usage tracking and the reaction to a resource change. The linkage supplies the
// resource client, the key and handle accessors and the usage collection.
#include "contracts/asic/NeededEntry.h"
#include "contracts/asic/OrderedSwTable.h"
#include "contracts/asic/Types.h"
#include "contracts/lumo/Node.h"
#include "contracts/qel/Assert.h"
#include "contracts/qel/Trace.h"

namespace VornTunnelTcamMgr {
// The "TcamActionInLifIndexLinkage" trace handle.
Qel::TraceHandle& inLifLinkageTrace();
}  // namespace VornTunnelTcamMgr

namespace Asic {

template <typename ResourceLinkage>
struct SwTableResourceAccessor {
    using L = ResourceLinkage;
    using Sm = typename L::LocalUsageUpdateSm;

    // Traces name the linkage class the algorithms run for.
    static constexpr char const* qelTraceClassName() { return L::kTypeName; }

    template <typename WrapperPtr>
    static EntryState entryResolutionState(L const&, WrapperPtr const& entry) {
        if (!entry || !L::resourceHandle(*entry)) return EntryState::done;
        switch (L::resourceHandle(*entry)->entryState()) {
            case EntryState::pending:
            case EntryState::logged:
                return EntryState::pending;
            case EntryState::done:
                return EntryState::done;
            case EntryState::failedOther:
            case EntryState::failed:
            case EntryState::resolutionFailed:
                return EntryState::resolutionFailed;
            default:
                QEL_ASSERT(false, "false && \"Unhandled resHandle entryState\"");
        }
        return EntryState::resolutionFailed;
    }

    template <typename WrapperPtr>
    static Lumo::Ptr<NeededEntry> getNeededEntrySet(L const&, WrapperPtr const& entry) {
        auto needed = Lumo::make<NeededEntry>();
        if (!entry || !L::resourceHandle(*entry)) return needed;
        for (auto [id, tv] : L::resourceHandle(*entry)->neededEntry()->neededEntry()) needed->add(tv);
        for (auto [id, tv] : needed->neededEntry())
            QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 9, "neededVersion: {}", tv);
        return needed;
    }

    template <typename WrapperPtr>
    static void addResKeyMapping(L& linkage, typename L::ResKey const& resKey, WrapperPtr const& entry, bool ack) {
        QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 8, "resKey: {}, swKey: {}", resKey, entry->key());
        if (resKey == typename L::ResKey{}) {
            QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 3, "Null resKey: {}", resKey);
            return;
        }
        if (!linkage.entryUsageSm(resKey)) {
            auto sm = linkage.entryUsageSmIs(L::resourceHandle(*entry));
            if (ack)
                linkage.resTblClient()->ackUpdate(sm->resPtr(), sm->resPtr()->updateNumber(), entry->entryHandle());
        }
        linkage.entryUsageSm(resKey)->entryUsageIs(entry->key());
    }

    template <typename SwKey, typename HandlePtr>
    static void deleteResKeyMapping(L& linkage, typename L::ResKey const& resKey, SwKey const& swKey,
                                    HandlePtr const& entryHandle) {
        QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 8, "resKey: {}, swKey: {}", resKey, swKey);
        auto sm = linkage.entryUsageSm(resKey);
        if (!sm) return;
        sm->entryUsageDel(swKey);
        if (sm->entryUsage().empty()) {
            linkage.resTblClient()->release(sm->resPtr(), entryHandle);
            linkage.entryUsageSmDel(resKey);
        }
    }

    template <typename WrapperPtr, typename Entry>
    static void updateLocalUsage(L& linkage, WrapperPtr const& swEntry, Entry const& oldEntry, bool isDeleted) {
        auto const& swKey = swEntry->key();
        QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 8, "key: {}, isDeleted: {}, oldEntry:{}", swKey, isDeleted,
                     oldEntry);
        bool const hadEntry = !(oldEntry == Entry{});
        if (isDeleted) {
            if (hadEntry)
                deleteResKeyMapping(linkage, L::resourceKeyFromEntry(oldEntry), swKey, swEntry->entryHandle());
            return;
        }
        typename L::ResKey const newKey = swEntry ? L::resourceKey(*swEntry) : typename L::ResKey{};
        if (!hadEntry) {
            addResKeyMapping(linkage, newKey, swEntry, true);
        } else if (!(L::resourceKeyFromEntry(oldEntry) == newKey)) {
            deleteResKeyMapping(linkage, L::resourceKeyFromEntry(oldEntry), swKey, swEntry->entryHandle());
            addResKeyMapping(linkage, newKey, swEntry, true);
        }
    }

    // Re-writes every entry that uses the resource, then acknowledges the resource's current
    // update behind the last re-written entry.
    static void handleResourceChange(Sm& sm) {
        QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 8, "");
        auto const resPtr = sm.resPtr();
        if (resPtr->isPostReleaseProtoState()) {
            QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 3, "Ignoring change for resourceKey: {} ",
                         resPtr->resourceKey());
            return;
        }
        Lumo::Ptr<OrderedSwTable::EntryHandle const> last;
        sm.entryUsage().forEach([&](auto const& key) {
            QEL_TRACE_AT(VornTunnelTcamMgr::inLifLinkageTrace(), 3, "Updating sw table entry for key: {}", key);
            if (auto handle = sm.swTable()->updateEntry(key)) last = handle;
        });
        sm.parent()->resTblClient()->ackUpdate(resPtr, resPtr->updateNumber(), last);
    }
};

}  // namespace Asic
