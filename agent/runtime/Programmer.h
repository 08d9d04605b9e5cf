#pragma once
// VornTcamAgent::Programmer: writes a desired state into the software tables of a Runtime and
// follows every request to its completion.
//
// Action entries are written first; each key entry is written with the handle of its action
// entry's write as dependency, so that the key entry reaches the hardware only after the action
// it points at. Within a table, a unit's entries are written in the table's key order. Every
// request has a response handler; the programmer counts completions and failures per table and
// unit and reports each completion to an optional sink (the crash trials read them from a pipe).
#include <functional>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "agent/runtime/Failures.h"
#include "agent/runtime/Runtime.h"
#include "agent/state/DesiredState.h"

namespace VornTcamAgent {

enum class TableKind : std::uint8_t { tcam, action };
std::string_view toString(TableKind kind);

// What happened to the requests of one table on one unit.
struct TableProgress {
    std::uint64_t written = 0;        // requests made
    std::uint64_t completed = 0;      // handles done
    std::vector<Failure> failedKeys;  // every failed request: its key and why it failed
    bool allAnswered() const { return completed + failedKeys.size() == written; }
};

// A request completed: table, unit, the key as text, and whether it succeeded.
using CompletionSink = std::function<void(TableKind, Asic::UnitId, std::string const&, bool)>;

// A request completed, with its entry: the committed entry when it succeeded (an action entry
// then carries the InLif indexes the library resolved), the requested entry when it failed.
struct Completion {
    TableKind kind;
    Asic::UnitId unitId;
    std::string const& key;
    bool ok;
    std::variant<VornTunnelTcamMgr::TcamEntry, VornTunnelTcamMgr::TcamActionEntry> entry;
};
using EntryCompletionSink = std::function<void(Completion const&)>;

class Programmer {
  public:
    explicit Programmer(Runtime& runtime, CompletionSink sink = {}) : runtime_(runtime), sink_(std::move(sink)) {}

    // Also reports every completion with its entry (reading the committed entry back costs a
    // lookup per request, so only when asked).
    void entrySinkIs(EntryCompletionSink sink) { entrySink_ = std::move(sink); }

    // Writes every entry of every unit of `state` (bringing the unit up first if needed). The
    // programmer refers to the entries written until it is gone: `state` must outlive it.
    void write(DesiredState const& state);
    // Writes one unit's entries; `unit` must outlive the programmer.
    void write(DesiredUnit const& unit);

    TableProgress const& progress(TableKind kind, Asic::UnitId unitId) { return progress_[{kind, unitId}]; }
    std::map<std::pair<TableKind, Asic::UnitId>, TableProgress> const& allProgress() const { return progress_; }
    // True when every request made has been answered.
    bool allAnswered() const;
    std::uint64_t totalWritten() const;

  private:
    // One request made: what its answer needs to count it and, when it fails or a sink listens,
    // to describe it. Kept in requests_ for the programmer's life; handlers name it by index. The
    // desired entry is referred to, not copied: a full switch makes a million requests.
    struct Request {
        TableKind kind;
        Asic::UnitId unitId;
        UnitTables const* tables;
        TableProgress* progress;  // a node of progress_, which never moves
        std::variant<DesiredActionEntry const*, DesiredKeyEntry const*> desired;
        Lumo::Ptr<Asic::DependencyEntryHandle const> dependency;  // a key entry's action write
        bool counted = false;
    };

    std::uint32_t newRequest(Request request);
    VornTunnelTcamMgr::ResponseHandler handlerOf(std::uint32_t id);
    void afterCall(std::uint32_t id, Lumo::Ptr<Asic::OrderedSwTable::EntryHandle const> const& handle);
    void answer(std::uint32_t id, Asic::EntryState state);
    template <typename Desired>
    void report(Request const& r, Desired const& desired, bool ok);
    Failure failure(Request const& r, DesiredActionEntry const& action, std::string const& keyText) const;
    Failure failure(Request const& r, DesiredKeyEntry const& keyEntry, std::string const& keyText) const;
    // Why the write of an action entry with this InLif key failed.
    Failure actionFailure(std::string const& keyText, VornInLif::InLifKey const& inLif) const;

    Runtime& runtime_;
    CompletionSink sink_;
    EntryCompletionSink entrySink_;
    std::map<std::pair<TableKind, Asic::UnitId>, TableProgress> progress_;
    std::vector<Request> requests_;
};

}  // namespace VornTcamAgent
