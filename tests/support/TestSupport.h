#pragma once
// Helpers shared by the tests.
#include <sys/types.h>

#include <functional>
#include <string>

namespace VornTest {
// A name unique to this process and test case, usable as a shared-memory namespace.
std::string uniqueName(std::string const& prefix = "t");
// The whole content of a file ("" when it cannot be read).
std::string fileText(std::string const& path);
// Whether something (a file, a link, whatever its target) is at `path`.
bool pathExists(std::string const& path);

// How a forked child ended: what its function returned ("threw: ..." when it threw) and its exit
// status, or 128 + the signal that ended it.
struct ChildResult {
    std::string text;
    int status = -1;
};
// Runs `fn` in a forked child process and waits for it.
ChildResult inChild(std::function<std::string()> const& fn);

// A forked child that runs `setUp`, answers with what it returned, then stays until killed (by
// kill() or the destructor), holding whatever `setUp` took.
class PausedChild {
  public:
    explicit PausedChild(std::function<std::string()> const& setUp);
    ~PausedChild() { kill(); }
    PausedChild(PausedChild const&) = delete;
    PausedChild& operator=(PausedChild const&) = delete;

    std::string const& answer() const { return answer_; }
    pid_t pid() const { return pid_; }
    void kill();

  private:
    pid_t pid_ = -1;
    std::string answer_;
};
}  // namespace VornTest
