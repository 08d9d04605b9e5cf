#pragma once
// The sweep audit of `tcam-agent run --sweep-audit FILE`: the end of the start-up sweep
// (Runtime::sweepAll) with one JSON line appended to FILE per key the sweep removes:
//
//   {"time":"2024-05-01T12:00:00.123Z","table":"Tcam","unit":0,"key":"TcamKey(...)","logVersion":17}
//
// `logVersion` is the version of the stored entry being swept. The sweep only issues the
// removals; the group resolver commits them on a later event-loop task. The audit reads the
// removals the sweep issued from the tables' pending removes, and writes and syncs every line
// before it returns, so each line is in the file before its removal is committed. When the
// lines cannot be written it throws, and the run ends before the removals are committed.
//
// The file is opened for appending, created with mode 0600, and refused when it is a symbolic
// link.
#include <cstdint>
#include <string>

namespace VornTcamAgent {

class Runtime;

class SweepAudit {
  public:
    // Opens the audit file. Throws BadInput when it cannot be opened.
    explicit SweepAudit(std::string const& path);
    ~SweepAudit();
    SweepAudit(SweepAudit const&) = delete;
    SweepAudit& operator=(SweepAudit const&) = delete;

    // Runs runtime.sweepAll() and audits what it swept. Returns the number of lines written.
    std::uint64_t sweepAll(Runtime& runtime);

  private:
    void append(std::string const& lines);

    std::string path_;
    int fd_ = -1;
};

}  // namespace VornTcamAgent
