#include "agent/Programmer.h"

#include <fmt/format.h>

#include <memory>

namespace VornTcamAgent {

std::string_view toString(TableKind kind) { return kind == TableKind::tcam ? "Tcam" : "TcamAction"; }

namespace {

bool isFinal(Asic::EntryState state) {
    return state == Asic::EntryState::done || state == Asic::EntryState::failed;
}

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
    // lives in the table's own handles), `requested` its entry.
    auto record = [this, unitId = unit.unitId](TableKind kind, auto* table, auto const& key,
                                               auto const& requested, auto&& issue) {
        auto& progress = progress_[{kind, unitId}];
        ++progress.written;
        auto answer = std::make_shared<Answer>();
        auto onAnswer = [this, kind, unitId, keyText = fmt::format("{}", key), answer, table, key,
                         requested](Asic::EntryState state) {
            if (answer->counted) return;
            answer->counted = true;
            auto& p = progress_[{kind, unitId}];
            bool const ok = state == Asic::EntryState::done;
            if (ok)
                ++p.completed;
            else
                p.failedKeys.push_back(keyText);
            if (sink_) sink_(kind, unitId, keyText, ok);
            if (entrySink_) {
                auto committed = ok ? table->entryRead(key) : requested;
                if (committed.key() != key) committed = requested;
                entrySink_(Completion{kind, unitId, keyText, ok, committed});
            }
        };
        auto handle = issue([onAnswer](Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& h) {
            onAnswer(h->entryState());
        });
        if (handle && isFinal(handle->entryState())) onAnswer(handle->entryState());
        return handle;
    };

    std::map<std::uint32_t, Lumo::Ptr<Asic::DependencyEntryHandle const>> actionHandles;
    for (auto const& action : unit.actionEntries) {
        auto const key = action.key();
        auto const entry = action.entry();
        auto handle = record(TableKind::action, tables->action.get(), key, entry, [&](auto const& handler) {
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
        record(TableKind::tcam, tables->tcam.get(), key, entry, [&](auto const& handler) {
            return tables->tcam->entryWriteWithResponseHandler(key, entry, dependency, handler);
        });
    }
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
