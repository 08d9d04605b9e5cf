#pragma once
// The sweep audit of `tcam-agent run --sweep-audit FILE`: one JSON line appended to FILE for
// every stored key the start-up removes, before the removal is committed:
//
//   {"time":"2024-05-01T12:00:00.123Z","table":"Tcam","unit":0,"key":"TcamKey(...)","logVersion":17,"cause":"sweep"}
//
// - "cause":"reconcile": a key of a unit that is stored but not brought up. Reconciliation
//   clears such a unit at once, so reconcile() lists its live keys and writes their lines before
//   it lets the library reconcile.
// - "cause":"sweep": a key restored and not written again. The sweep only issues the removals
//   and the group resolver commits them on a later event-loop task, so sweepAll() reads the
//   removals the sweep issued from the tables' pending removes and writes their lines before it
//   returns.
// - "cause":"removeBeforeWriting": a key restored and not desired that the run removes before
//   its writes, because the table has no room for the new entries beside it (RemoveFirst.h).
//   Those removes are issued the same way, and removeBeforeWriting() audits them as sweepAll().
// `logVersion` is the version of the stored entry being removed. Every line is written with
// write(2) and synced; when that fails the call throws and the run ends before the removals are
// committed. The file is an AuditFile: checked when the command line is, created only by open().
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/commands/AuditFile.h"
#include "contracts/asic/Types.h"

namespace VornTcamAgent {

class Runtime;

class SweepAudit {
  public:
    // Checks the audit file's path (AuditFile). Creates nothing. Throws BadInput.
    explicit SweepAudit(std::string const& path);

    // Opens the file, creating it when absent. Throws BadInput.
    // Requires: the run holds the namespace lock.
    void open() { file_.open(); }

    // Writes a line per live key of each unit runtime.reconcile() is about to clear, then runs
    // it. Returns its result (the units reconciled). Requires: open() succeeded.
    std::vector<Asic::UnitId> reconcile(Runtime& runtime);

    // Runs runtime.sweepAll() and audits what it swept. Returns the number of lines written.
    // Requires: open() succeeded.
    std::uint64_t sweepAll(Runtime& runtime);

    // Runs `issueRemoves`, which issues the removals before writing, and audits them. Returns the
    // number of lines written. Requires: open() succeeded.
    std::uint64_t removeBeforeWriting(Runtime& runtime, std::function<void()> const& issueRemoves);

  private:
    // Runs `issueRemoves` and writes a line with `cause` per key it left pending removal.
    std::uint64_t auditRemoves(Runtime& runtime, std::function<void()> const& issueRemoves, char const* cause);

    AuditFile file_;
};

}  // namespace VornTcamAgent
