#include "contracts/lumo/Exception.h"
#include "linkage/SwTableResourceAccessor.h"
#include "linkage/TcamActionResourceTableLinkage.h"
#include "swtable/TcamActionSwTable.h"

namespace VornTunnelTcamMgr {

namespace {
using Accessor = Asic::SwTableResourceAccessor<TcamActionInLifIndexLinkage>;
using Sm = TcamActionInLifIndexLinkage::LocalUsageUpdateSm;
}  // namespace

Qel::TraceHandle& inLifLinkageTrace() {
    static Qel::TraceHandle handle("TcamActionInLifIndexLinkage");
    return handle;
}

// ---------------------------------------------------------------- LocalUsageUpdateSm

Sm::LocalUsageUpdateSm(Lumo::Ptr<ResourceHandle const> const& resPtr, TcamActionInLifIndexLinkage* parent)
    : resPtr_(resPtr), parent_(parent) {
    if (resPtr_) subscribedIs(true);
}

Sm::~LocalUsageUpdateSm() {
    hasNotificationActiveIs(false);
    qelDoZombieReactors(true);
    subscribedIs(false);
    entryUsage_.delAll();
    resPtr_ = nullptr;
}

Lumo::Ptr<Sm> Sm::LocalUsageUpdateSmIs(Lumo::Ptr<ResourceHandle const> const& resPtr,
                                       TcamActionInLifIndexLinkage* parent) {
    auto sm = Lumo::make<Sm>(resPtr, parent);
    sm->hasNotificationActiveIs(true);
    return sm;
}

TcamActionSwTable* Sm::swTable() const { return parent_->swTable(); }

void Sm::entryUsageIs(TcamActionEntryKey const& key) {
    if (entryUsage_.insert(key)) notify(kEntryUsageAttr);
}

void Sm::entryUsageDel(TcamActionEntryKey const& key) {
    if (entryUsage_.del(key)) notify(kEntryUsageAttr);
}

void Sm::entryUsageDelAll() {
    if (entryUsage_.empty()) return;
    entryUsage_.delAll();
    notify(kEntryUsageAttr);
}

void Sm::subscribedIs(bool subscribe) {
    if (!resPtr_ || subscribe == subscribed_) return;
    auto& publisher = const_cast<ResourceHandle&>(*resPtr_).publisherRef();
    if (subscribe) {
        publisher.subscriberIs(this);
    } else {
        publisher.subscriberDel(this);
    }
    subscribed_ = subscribe;
}

void Sm::hasNotificationActiveIs(bool active) {
    if (active == hasNotificationActive_) return;
    hasNotificationActive_ = active;
    bool const previous = zombieReactors_;
    qelDoZombieReactors(true);
    subscribedIs(active);
    qelDoZombieReactors(previous);
}

void Sm::onAttributeChange(Lumo::Node const* source, Lumo::AttributeId attribute, std::uint64_t) {
    // resPtrDispatch: only the watched handle's change notification, and only while reactors run.
    if (source != resPtr_.ptr() || attribute != ResourceHandle::kStateChangeAttr || zombieReactors_) return;
    handleResourceChange();
}

void Sm::handleResourceChange() {
    Lumo::Ptr<Sm> self(this);  // the reaction may drop the linkage's reference
    Accessor::handleResourceChange(*this);
}

// ---------------------------------------------------------------- TcamActionInLifIndexLinkage

TcamActionInLifIndexLinkage::TcamActionInLifIndexLinkage(TcamActionSwTable* swTable,
                                                         Lumo::Ptr<ClientInstance> const& resTblClient)
    : swTable_(swTable), resTblClient_(resTblClient) {}

TcamActionInLifIndexLinkage::~TcamActionInLifIndexLinkage() { entryUsageSmDelAll(); }

Lumo::Ptr<TcamActionInLifIndexLinkage> TcamActionInLifIndexLinkage::TcamActionInLifIndexLinkageIs(
    TcamActionSwTable* swTable, Lumo::Ptr<ClientInstance> const& resTblClient) {
    return Lumo::make<TcamActionInLifIndexLinkage>(swTable, resTblClient);
}

void TcamActionInLifIndexLinkage::updateLocalUsage(Lumo::Ptr<TcamActionEntryWrapper> const& swEntry,
                                                   TcamActionEntry const& oldEntry, bool isDeleted) {
    Accessor::updateLocalUsage(*this, swEntry, oldEntry, isDeleted);
}

Asic::EntryState TcamActionInLifIndexLinkage::entryResolutionState(
    Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const {
    return Accessor::entryResolutionState(*this, entry);
}

void TcamActionInLifIndexLinkage::resolveEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) {
    ResKey const key = entry->inLifIndexKey();
    if (key == ResKey{}) return;  // the entry needs no InLif resource
    Lumo::Ptr<ResourceHandle const> handle = resTblClient_->request(key, nullptr);
    if (handle != entry->inLifIndexKeyResPtr()) entry->inLifIndexKeyResPtrIs(handle);
}

Lumo::Ptr<Asic::NeededEntry> TcamActionInLifIndexLinkage::getNeededEntrySet(
    Lumo::Ptr<TcamActionEntryWrapper const> const& entry) const {
    return Accessor::getNeededEntrySet(*this, entry);
}

void TcamActionInLifIndexLinkage::restoreEntry(Lumo::Ptr<TcamActionEntryWrapper> const& entry) {
    if (!entry || entry->inLifIndexKey() == ResKey{}) return;
    Accessor::addResKeyMapping(*this, entry->inLifIndexKey(), entry, false);
}

void TcamActionInLifIndexLinkage::handleResourceChangeAtInit() {
    entryUsageSm_.forEach([](ResKey const&, Lumo::Ptr<Sm> const& sm) { sm->handleResourceChange(); });
}

Lumo::Ptr<Sm> TcamActionInLifIndexLinkage::entryUsageSmIs(Lumo::Ptr<ResourceHandle const> const& resPtr) {
    if (!resPtr) throw Lumo::NullArgumentException("resPtr");
    ResKey const key = resPtr->resourceKey();
    if (auto existing = entryUsageSm_.get(key)) {
        if (existing->resPtr() == resPtr) return existing;
        throw Lumo::ReinstantiationException("entryUsageSm");
    }
    auto sm = localUsageUpdateSmFactory(resPtr, this);
    entryUsageSm_.set(key, sm);
    notify(kEntryUsageSmAttr);
    return sm;
}

void TcamActionInLifIndexLinkage::entryUsageSmDel(ResKey const& key) {
    auto removed = entryUsageSm_.del(key);
    if (!removed) return;
    notify(kEntryUsageSmAttr);
    (*removed)->hasNotificationActiveIs(false);
}

void TcamActionInLifIndexLinkage::entryUsageSmDelAll() {
    entryUsageSm_.forEach([this](ResKey const& key, Lumo::Ptr<Sm> const&) { entryUsageSmDel(key); });
}

void TcamActionInLifIndexLinkage::setResourceHandle(Lumo::Ptr<TcamActionEntryWrapper> const& entry) {
    auto sm = entryUsageSm_.get(entry->inLifIndexKey());
    if (!sm) return;
    entry->inLifIndexKeyResPtrIs(sm->resPtr());
}

Lumo::Ptr<TcamActionInLifIndexLinkage> tcamActionInLifIndexLinkageFactory(
    TcamActionSwTable* swTable, Lumo::Ptr<TcamActionInLifIndexLinkage::ClientInstance> const& resTblClient) {
    return TcamActionInLifIndexLinkage::TcamActionInLifIndexLinkageIs(swTable, resTblClient);
}

Lumo::Ptr<Sm> localUsageUpdateSmFactory(Lumo::Ptr<TcamActionInLifIndexLinkage::ResourceHandle const> const& resPtr,
                                        TcamActionInLifIndexLinkage* parent) {
    return Sm::LocalUsageUpdateSmIs(resPtr, parent);
}

}  // namespace VornTunnelTcamMgr
