#include "agent/Programmer.h"

#include <fmt/format.h>

#include <memory>
#include <unordered_map>

namespace VornTcamAgent {

std::string_view toString(TableKind kind) { return kind == TableKind::tcam ? "Tcam" : "TcamAction"; }

namespace {

bool isFinal(Asic::EntryState state) { return state == Asic::EntryState::done || state == Asic::EntryState::failed; }

}  // namespace

// A request's answer is counted once: from its response handler, or right after the call when
// the table answered it at once (an identical rewrite answered from the log, a remove of a key
// that was never committed) without calling the handler.
struct Answer {
    bool counted = false;
};

void Programmer::write(DesiredState const& state) {
    for (auto const& unit : state.units) write(unit);
}

void Programmer::write(DesiredUnit const& unit) {
    UnitTables const* tables = runtime_.unit(unit.unitId);
    if (tables == nullptr) tables = &runtime_.bringUp(unit.unitId);

    // `table` is the software table the request goes to (held by a plain pointer: the handler
    // lives in the table's own handles), `requested` its entry, `why` tells why it failed.
    auto record = [this, unitId = unit.unitId](TableKind kind, auto* table, auto const& key, auto const& requested,
                                               auto why, auto&& issue) {
        auto& progress = progress_[{kind, unitId}];
        ++progress.written;
        auto answer = std::make_shared<Answer>();
        // The key's text is made only when an answer needs it (a failure or a sink): most
        // answers of a large write are plain completions.
        auto onAnswer = [this, kind, unitId, answer, table, key, requested, why](Asic::EntryState state) {
            if (answer->counted) return;
            answer->counted = true;
            auto& p = progress_[{kind, unitId}];
            bool const ok = state == Asic::EntryState::done;
            if (ok && !sink_ && !entrySink_) {
                ++p.completed;
                return;
            }
            std::string const keyText = fmt::format("{}", key);
            if (ok)
                ++p.completed;
            else
                p.failedKeys.push_back(why(keyText));
            if (sink_) sink_(kind, unitId, keyText, ok);
            if (entrySink_) {
                auto committed = ok ? table->entryRead(key) : requested;
                if (committed.key() != key) committed = requested;
                entrySink_(Completion{kind, unitId, keyText, ok, committed});
            }
        };
        auto handle = issue(
            [onAnswer](Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& h) { onAnswer(h->entryState()); });
        if (handle && isFinal(handle->entryState())) onAnswer(handle->entryState());
        return handle;
    };

    // By action id; hashed, since a unit may hold tens of thousands of action entries.
    std::unordered_map<std::uint32_t, Lumo::Ptr<Asic::DependencyEntryHandle const>> actionHandles;
    actionHandles.reserve(unit.actionEntries.size());
    for (auto const& action : unit.actionEntries) {
        auto const key = action.key();
        auto const entry = action.entry();
        auto why = [this, inLif = action.inLif](std::string const& keyText) { return actionFailure(keyText, inLif); };
        auto handle = record(TableKind::action, tables->action.get(), key, entry, why, [&](auto const& handler) {
            return tables->action->entryWriteWithResponseHandler(key, entry, nullptr, handler);
        });
        actionHandles[action.actionId] = handle;
    }
    for (auto const& keyEntry : unit.keyEntries) {
        auto const key = keyEntry.key();
        auto const entry = keyEntry.entry();
        auto found = actionHandles.find(keyEntry.actionId);
        Lumo::Ptr<Asic::DependencyEntryHandle const> dependency =
            found == actionHandles.end() ? nullptr : found->second;
        auto why = [dependency, actionKey = keyEntry.entry().logEntry.actionKey](std::string const& keyText) {
            if (dependency && Asic::SwTableBase::isFailed(dependency->entryState()))
                return Failure{FailureClass::actionFailed, keyText,
                               fmt::format("its action entry {} failed", actionKey)};
            return Failure{FailureClass::rejected, keyText, "the table failed the request"};
        };
        record(TableKind::tcam, tables->tcam.get(), key, entry, why, [&](auto const& handler) {
            return tables->tcam->entryWriteWithResponseHandler(key, entry, dependency, handler);
        });
    }
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
