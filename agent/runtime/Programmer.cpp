#include "agent/runtime/Programmer.h"

#include <fmt/format.h>

#include <algorithm>
#include <memory>

#include "contracts/qel/HashMap2018.h"

namespace VornTcamAgent {

std::string_view toString(TableKind kind) { return kind == TableKind::tcam ? "Tcam" : "TcamAction"; }

namespace {

bool isFinal(Asic::EntryState state) { return state == Asic::EntryState::done || state == Asic::EntryState::failed; }

// The handle of each action entry's write, by action id, for the key entries that depend on it.
// Action ids of a unit are usually dense (generated states number them from 1, hand-written ones
// nearly so): then a table indexed by id keeps the lookups of key entries that follow their
// actions in order close together in memory. Sparse ids go to a hashed map.
class ActionHandles {
  public:
    using Handle = Lumo::Ptr<Asic::DependencyEntryHandle const>;

    explicit ActionHandles(std::vector<DesiredActionEntry> const& actions) {
        if (actions.empty()) return;
        auto const [lo, hi] = std::minmax_element(actions.begin(), actions.end(),
                                                  [](auto const& a, auto const& b) { return a.actionId < b.actionId; });
        std::uint64_t const span = std::uint64_t{hi->actionId} - lo->actionId + 1;
        if (span <= 4 * std::uint64_t{actions.size()}) {
            base_ = lo->actionId;
            dense_.resize(static_cast<std::size_t>(span));
        } else {
            sparse_.reserve(actions.size());
        }
    }
    void set(std::uint32_t id, Handle handle) {
        if (!dense_.empty()) {
            dense_[id - base_] = std::move(handle);
        } else {
            sparse_.set(id, std::move(handle));
        }
    }
    Handle find(std::uint32_t id) const {
        if (!dense_.empty()) return id >= base_ && id - base_ < dense_.size() ? dense_[id - base_] : nullptr;
        Handle const* found = sparse_.find(id);
        return found ? *found : nullptr;
    }
    // Starts reading the handle of `id` (stage 1: its slot; stage 2: the handle itself, whose
    // slot stage 1 asked for earlier): key entries name their actions in no particular order.
    void prefetch(std::uint32_t id, int stage) const {
        if (dense_.empty() || id < base_ || id - base_ >= dense_.size()) return;
        if (stage == 1) {
            __builtin_prefetch(&dense_[id - base_]);
        } else if (Handle const& h = dense_[id - base_]) {
            __builtin_prefetch(h.ptr());
        }
    }

  private:
    std::uint32_t base_ = 0;
    std::vector<Handle> dense_;
    Qel::HashMap2018<std::uint32_t, Handle> sparse_;
};

// The entries in their table's key order (the store's order). Written in that order, the
// entries of a unit reach the store's tree in order: each lookup and insert finds the pages the
// one before it touched still in the cache, where the order of a desired state (any order) misses
// on nearly every one. No two entries of a table share a key, so the order is total.
template <typename Desired>
std::vector<Desired const*> inKeyOrder(std::vector<Desired> const& entries) {
    using Key = decltype(entries.front().key());
    std::vector<std::pair<Key, Desired const*>> keyed;
    keyed.reserve(entries.size());
    for (Desired const& e : entries) keyed.emplace_back(e.key(), &e);
    std::sort(keyed.begin(), keyed.end(), [](auto const& a, auto const& b) { return a.first < b.first; });
    std::vector<Desired const*> ordered;
    ordered.reserve(keyed.size());
    for (auto const& [key, e] : keyed) ordered.push_back(e);
    return ordered;
}

}  // namespace

void Programmer::write(DesiredState const& state) {
    // One reservation for every unit: reserving per unit would copy the requests of the units
    // before it each time.
    std::size_t total = requests_.size();
    for (auto const& unit : state.units) total += unit.actionEntries.size() + unit.keyEntries.size();
    requests_.reserve(total);
    for (auto const& unit : state.units) write(unit);
}

void Programmer::write(DesiredUnit const& unit) {
    UnitTables const* tables = runtime_.unit(unit.unitId);
    if (tables == nullptr) tables = &runtime_.bringUp(unit.unitId);
    std::size_t const needed = requests_.size() + unit.actionEntries.size() + unit.keyEntries.size();
    if (needed > requests_.capacity()) requests_.reserve(std::max(needed, 2 * requests_.capacity()));

    ActionHandles actionHandles(unit.actionEntries);
    TableProgress& actions = progress_[{TableKind::action, unit.unitId}];
    for (DesiredActionEntry const* action : inKeyOrder(unit.actionEntries)) {
        auto const id = newRequest(Request{TableKind::action, unit.unitId, tables, &actions, action, nullptr});
        auto const handle =
            tables->action->entryWriteWithResponseHandler(action->key(), action->entry(), nullptr, handlerOf(id));
        afterCall(id, handle);
        actionHandles.set(action->actionId, handle);
    }
    TableProgress& keys = progress_[{TableKind::tcam, unit.unitId}];
    std::vector<DesiredKeyEntry const*> const keyEntries = inKeyOrder(unit.keyEntries);
    constexpr std::size_t kSlotAhead = 16, kHandleAhead = 8;
    for (std::size_t i = 0; i < keyEntries.size(); ++i) {
        DesiredKeyEntry const& keyEntry = *keyEntries[i];
        if (i + kSlotAhead < keyEntries.size()) actionHandles.prefetch(keyEntries[i + kSlotAhead]->actionId, 1);
        if (i + kHandleAhead < keyEntries.size()) actionHandles.prefetch(keyEntries[i + kHandleAhead]->actionId, 2);
        Lumo::Ptr<Asic::DependencyEntryHandle const> dependency = actionHandles.find(keyEntry.actionId);
        auto const id = newRequest(Request{TableKind::tcam, unit.unitId, tables, &keys, &keyEntry, dependency});
        auto const handle =
            tables->tcam->entryWriteWithResponseHandler(keyEntry.key(), keyEntry.entry(), dependency, handlerOf(id));
        afterCall(id, handle);
    }
}

std::uint32_t Programmer::newRequest(Request request) {
    ++request.progress->written;
    requests_.push_back(std::move(request));
    return static_cast<std::uint32_t>(requests_.size() - 1);
}

// Small enough to live inside the handler's std::function: no allocation per request.
VornTunnelTcamMgr::ResponseHandler Programmer::handlerOf(std::uint32_t id) {
    return [this, id](Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& h) { answer(id, h->entryState()); };
}

// A request's answer is counted once: from its response handler, or right after the call when
// the table answered it at once (an identical rewrite answered from the log, a remove of a key
// that was never committed) without calling the handler.
void Programmer::afterCall(std::uint32_t id, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& handle) {
    if (handle && isFinal(handle->entryState())) answer(id, handle->entryState());
}

void Programmer::answer(std::uint32_t id, Asic::EntryState state) {
    Request& r = requests_[id];
    if (r.counted) return;
    r.counted = true;
    bool const ok = state == Asic::EntryState::done;
    if (ok && !sink_ && !entrySink_) {
        ++r.progress->completed;  // the common case: the key's text is made only when needed
        return;
    }
    std::visit([&](auto const* desired) { report(r, *desired, ok); }, r.desired);
}

template <typename Desired>
void Programmer::report(Request const& r, Desired const& desired, bool ok) {
    auto const key = desired.key();
    std::string const keyText = fmt::format("{}", key);
    if (ok)
        ++r.progress->completed;
    else
        r.progress->failedKeys.push_back(failure(r, desired, keyText));
    if (sink_) sink_(r.kind, r.unitId, keyText, ok);
    if (entrySink_) {
        auto const requested = desired.entry();
        auto committed = requested;
        if (ok) {
            if constexpr (std::is_same_v<Desired, DesiredActionEntry>) {
                committed = r.tables->action->entryRead(key);
            } else {
                committed = r.tables->tcam->entryRead(key);
            }
            if (committed.key() != key) committed = requested;
        }
        entrySink_(Completion{r.kind, r.unitId, keyText, ok, committed});
    }
}

Failure Programmer::failure(Request const&, DesiredActionEntry const& action, std::string const& keyText) const {
    return actionFailure(keyText, action.inLif);
}

Failure Programmer::failure(Request const& r, DesiredKeyEntry const& keyEntry, std::string const& keyText) const {
    if (r.dependency && Asic::SwTableBase::isFailed(r.dependency->entryState()))
        return Failure{FailureClass::actionFailed, keyText,
                       fmt::format("its action entry {} failed", keyEntry.entry().logEntry.actionKey)};
    return Failure{FailureClass::rejected, keyText, "the table failed the request"};
}

Failure Programmer::actionFailure(std::string const& keyText, VornInLif::InLifKey const& inLif) const {
    if (!inLif.isNull()) {
        auto const& inLifTable = runtime_.inLifTable();
        auto const handle = inLifTable->handle(inLif);
        if (handle && handle->entryState() == VornTunnelNiLib::InLifIndexResourceTable::kFailed)
            return Failure{
                FailureClass::inLifUnavailable, keyText,
                fmt::format("no InLif index for {}: the InLif pools (InLif0 {} of {}, InLif23 {} of {} in use) "
                            "are used up",
                            inLif, inLifTable->inLif0Pool().inUse(), inLifTable->inLif0Pool().size(),
                            inLifTable->inLif23Pool().inUse(), inLifTable->inLif23Pool().size())};
    }
    return Failure{FailureClass::rejected, keyText, "the table failed the request"};
}

bool Programmer::allAnswered() const {
    for (auto const& [id, progress] : progress_)
        if (!progress.allAnswered()) return false;
    return true;
}

std::uint64_t Programmer::totalWritten() const {
    std::uint64_t total = 0;
    for (auto const& [id, progress] : progress_) total += progress.written;
    return total;
}

}  // namespace VornTcamAgent
