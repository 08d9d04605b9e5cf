#pragma once
// TcamActionInLifIndexLinkage: the action software table's agent towards the InLif index
// resource table. It requests the resource of an entry's InLif key, tells the table whether an
// entry's resource is ready, failed or pending, gives the entry's needed-entry set, and keeps
// per resource key one usage state machine that knows which committed entries use the
// resource, so that it can acknowledge, re-apply and release it.
//
// Invariant: entryUsageSm holds a state machine under key K exactly while at least one
// committed action entry with InLif key K is recorded; its resPtr is K's handle and its
// usage set is never empty outside addResKeyMapping/deleteResKeyMapping.
#include "api/Export.h"
#include "contracts/inlif/InLifIndexResourceTable.h"
#include "contracts/lumo/Publisher.h"
#include "contracts/qel/HashMap2018.h"
#include "swtable/TcamActionLinkageBase.h"
#include "swtable/TcamActionSwTable.h"

namespace VornTunnelTcamMgr {

class VORN_TCAMMGR_API TcamActionInLifIndexLinkage final : public TcamActionLinkageBase {
  public:
    using ResourceHandle = VornTunnelNiLib::InLifIndexResourceTable::ResourceHandle;
    using ClientInstance = VornTunnelNiLib::InLifIndexResourceTable::ClientInstance;
    using ResKey = VornTunnelNiLib::InLifIndexEntryKey;
    static constexpr Lumo::AttributeId kEntryUsageSmAttr = 3;

    // One resource key in use: its handle, the action-table keys whose committed entries use it,
    // and a subscription to the handle's change notifications.
    class LocalUsageUpdateSm : public Lumo::PublishingNode, private Lumo::Subscriber {
      public:
        static constexpr Lumo::AttributeId kEntryUsageAttr = 5;

        LocalUsageUpdateSm(Lumo::Ptr<ResourceHandle const> const& resPtr, TcamActionInLifIndexLinkage* parent);
        ~LocalUsageUpdateSm() override;
        char const* typeData() const override {
            return "VornTunnelTcamMgr::TcamActionInLifIndexLinkage::LocalUsageUpdateSm";
        }
        static Lumo::Ptr<LocalUsageUpdateSm> LocalUsageUpdateSmIs(Lumo::Ptr<ResourceHandle const> const& resPtr,
                                                                  TcamActionInLifIndexLinkage* parent);

        Lumo::Ptr<ResourceHandle const> const& resPtr() const { return resPtr_; }
        TcamActionInLifIndexLinkage* parent() const { return parent_; }
        TcamActionSwTable* swTable() const;
        ResKey resKey() const { return resPtr_->resourceKey(); }

        void entryUsageIs(TcamActionEntryKey const& key);
        void entryUsageDel(TcamActionEntryKey const& key);
        void entryUsageDelAll();
        bool entryUsageHas(TcamActionEntryKey const& key) const { return entryUsage_.has(key); }
        Qel::HashSet2018<TcamActionEntryKey> const& entryUsage() const { return entryUsage_; }

        bool hasNotificationActive() const { return hasNotificationActive_; }
        void hasNotificationActiveIs(bool active);
        // Reacts to a change of the resource (re-writes every user, then acknowledges).
        void handleResourceChange();
        // While true, notifications are ignored (set while the subscription changes and during
        // destruction).
        void qelDoZombieReactors(bool suppress) { zombieReactors_ = suppress; }
        bool zombieReactors() const { return zombieReactors_; }

      private:
        void onAttributeChange(Lumo::Node const* source, Lumo::AttributeId attribute, std::uint64_t index) override;
        void subscribedIs(bool subscribe);

        Lumo::Ptr<ResourceHandle const> resPtr_;
        TcamActionInLifIndexLinkage* parent_;  // not counted: the linkage owns its state machines
        Qel::HashSet2018<TcamActionEntryKey> entryUsage_;
        bool hasNotificationActive_ = false;
        bool subscribed_ = false;
        bool zombieReactors_ = false;
    };

    TcamActionInLifIndexLinkage(TcamActionSwTable* swTable, Lumo::Ptr<ClientInstance> const& resTblClient);
    ~TcamActionInLifIndexLinkage() override;
    static constexpr char kTypeName[] = "VornTunnelTcamMgr::TcamActionInLifIndexLinkage";
    char const* typeData() const override { return kTypeName; }
    static Lumo::Ptr<TcamActionInLifIndexLinkage> TcamActionInLifIndexLinkageIs(
        TcamActionSwTable* swTable, Lumo::Ptr<ClientInstance> const& resTblClient);

    TcamActionSwTable* swTable() const { return swTable_; }
    Lumo::Ptr<ClientInstance> const& resTblClient() const { return resTblClient_; }

    // Records that a committed entry started, stopped or changed its use of a resource.
    void updateLocalUsage(Lumo::Ptr<TcamActionEntryWrapper> const& swEntry, TcamActionEntry const& oldEntry,
                          bool isDeleted) override;
    Asic::EntryState entryResolutionState(Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const override;
    void resolveEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) override;
    Lumo::Ptr<Asic::NeededEntry> getNeededEntrySet(Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const override;
    void restoreEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) override;
    void handleResourceChangeAtInit() override;

    Lumo::Ptr<LocalUsageUpdateSm> entryUsageSm(ResKey const& key) const { return entryUsageSm_.get(key); }
    Lumo::Ptr<LocalUsageUpdateSm> entryUsageSmIs(Lumo::Ptr<ResourceHandle const> const& resPtr);
    void entryUsageSmDel(ResKey const& key);
    void entryUsageSmDelAll();
    std::size_t entryUsageSms() const { return entryUsageSm_.size(); }
    Qel::HashMap2018<ResKey, Lumo::Ptr<LocalUsageUpdateSm>> const& entryUsageSmColl() const { return entryUsageSm_; }

    // Accessors the generic resource algorithms use.
    static ResKey const& resourceKey(TcamActionEntryWrapper const& entry) { return entry.inLifIndexKey(); }
    static ResKey const& resourceKeyFromEntry(TcamActionEntry const& entry) { return entry.inLifIndexKey(); }
    static Lumo::Ptr<ResourceHandle const> const& resourceHandle(TcamActionEntryWrapper const& entry) {
        return entry.inLifIndexKeyResPtr();
    }
    void setResourceHandle(Lumo::Ptr<TcamActionEntryWrapper> const& entry) override;

  private:
    TcamActionSwTable* swTable_;  // not counted: the table owns the linkage
    Lumo::Ptr<ClientInstance> resTblClient_;
    Qel::HashMap2018<ResKey, Lumo::Ptr<LocalUsageUpdateSm>> entryUsageSm_;
};

VORN_TCAMMGR_API Lumo::Ptr<TcamActionInLifIndexLinkage> tcamActionInLifIndexLinkageFactory(
    TcamActionSwTable* swTable, Lumo::Ptr<TcamActionInLifIndexLinkage::ClientInstance> const& resTblClient);
VORN_TCAMMGR_API Lumo::Ptr<TcamActionInLifIndexLinkage::LocalUsageUpdateSm> localUsageUpdateSmFactory(
    Lumo::Ptr<TcamActionInLifIndexLinkage::ResourceHandle const> const& resPtr, TcamActionInLifIndexLinkage* parent);

}  // namespace VornTunnelTcamMgr
