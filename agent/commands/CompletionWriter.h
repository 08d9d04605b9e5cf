#pragma once
// Writes one JSON line per answered request to a file descriptor, as the request completes:
//   {"table":"Tcam"|"TcamAction","unit":N,"key":"<key as formatted>","ok":true|false,"entry":{...}}
// Each line goes out with write(2) at once, unbuffered, so a reader sees every completion the
// agent made even when the agent is killed right after.
#include <string>

#include "agent/runtime/Programmer.h"

namespace VornTcamAgent {

class CompletionWriter {
  public:
    // Throws BadInput when `fd` is not a descriptor open for writing.
    explicit CompletionWriter(int fd);

    void operator()(Completion const& completion);
    // False once a write failed (the reader went away); later lines are dropped.
    bool healthy() const { return healthy_; }

    // The line written for a completion, without its newline.
    static std::string line(Completion const& completion);

  private:
    int fd_;
    bool healthy_ = true;
};

}  // namespace VornTcamAgent
