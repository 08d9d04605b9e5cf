#pragma once
// Runs part of a test in a forked child process, so that an agent run is a real process whose
// memory goes away with it (by a normal exit or by SIGKILL) while its shared memory stays.
//
// The child uses GoogleTest's assertions as usual: a failure is printed by the child and
// reported to the parent as `passed == false`. Besides, the child sends named facts (text)
// through a pipe, which the parent compares with what it expects.
#include <fmt/format.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace VornTest {

enum class ChildEnd : std::uint8_t {
    exit,     // the child releases everything and exits with status 0 (1 on a failed check)
    sigkill,  // the child reports, then waits to be killed with SIGKILL by the parent
};

// The facts a child sends, as name-value lines on the pipe, with the outcome of its checks.
class ChildFacts {
  public:
    explicit ChildFacts(int fd) : fd_(fd) {}
    void add(std::string const& name, std::string const& value);
    template <typename T>
    void add(std::string const& name, T const& value) {
        add(name, fmt::format("{}", value));
    }
    // Sends the facts and the outcome of the checks so far and closes the pipe.
    void send();
    // Sends, then waits to be killed (ChildEnd::sigkill): the agent dies with everything it
    // holds still in use.
    [[noreturn]] void awaitKill();

  private:
    int fd_;
    std::string text_;
};

struct ChildReport {
    bool passed = false;  // the child's checks passed and it ended the way it was asked to
    std::string ending;   // how it ended, for messages ("exit status 0", "signal 9")
    std::map<std::string, std::string> facts;

    // The fact's text ("" when it was not sent) or its number (0 when not sent).
    std::string fact(std::string const& name) const;
    std::uint64_t number(std::string const& name) const;
    // The facts whose names start with `prefix`, by the rest of their name.
    std::map<std::string, std::string> factsUnder(std::string const& prefix) const;
};

// Forks, runs `body` in the child and ends the child as `end` says; returns what it reported.
ChildReport runInChild(std::function<void(ChildFacts&)> const& body, ChildEnd end = ChildEnd::exit);

}  // namespace VornTest
