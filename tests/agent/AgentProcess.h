#pragma once
// Runs the tcam-agent binary as a child process for the program tests: arguments in, exit
// status, stdout, stderr and (optionally) what it wrote to an extra descriptor out.
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace VornTest {

struct AgentResult {
    int status = -1;    // exit status, or 128 + signal
    std::string out;    // stdout
    std::string err;    // stderr
    std::string extra;  // what the child wrote to descriptor `extraFd`
};

// Runs the agent binary with `args`. With extraFd >= 0 the child gets a file open for writing
// on that descriptor. The environment is the test's, with VORN_SHM_NAMESPACE removed, so a
// namespace is always named on the command line.
AgentResult runAgent(std::vector<std::string> const& args, int extraFd = -1);

// The element of a JSON list (of show's or run's tables or units) whose `field` is `value`.
inline nlohmann::json const& named(nlohmann::json const& list, char const* field, nlohmann::json const& value) {
    for (auto const& item : list)
        if (item.at(field) == value) return item;
    throw std::out_of_range(std::string("no ") + field + " " + value.dump());
}

// The agent binary running in the background; the destructor waits for it.
class BackgroundAgent {
  public:
    explicit BackgroundAgent(std::vector<std::string> const& args);
    ~BackgroundAgent();
    BackgroundAgent(BackgroundAgent const&) = delete;
    BackgroundAgent& operator=(BackgroundAgent const&) = delete;

    // False once the process has ended.
    bool running();
    // Kills the process with SIGKILL (wait() then collects it).
    void kill();
    // Waits for the end and collects the result.
    AgentResult wait();

  private:
    int pid_ = -1;
    int wstatus_ = 0;
    bool ended_ = false;
    std::string base_;
};

}  // namespace VornTest
