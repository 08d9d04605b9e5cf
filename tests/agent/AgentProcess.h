#pragma once
// Runs the tcam-agent binary as a child process for the program tests: arguments in, exit
// status, stdout, stderr and (optionally) what it wrote to an extra descriptor out.
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace VornTest {

struct AgentResult {
    int status = -1;    // exit status, or 128 + signal
    std::string out;    // stdout
    std::string err;    // stderr
    std::string extra;  // what the child wrote to descriptor `extraFd`
};

// How the child starts, beyond its arguments.
struct AgentLaunch {
    int extraFd = -1;          // >= 0: a file open for writing on this descriptor (AgentResult::extra)
    bool closedStdio = false;  // descriptors 0, 1 and 2 closed (AgentResult::out and err stay empty)
    std::string outPath;       // stdout to this file (e.g. /dev/full) instead of AgentResult::out
    std::string errPath;       // stderr likewise
    std::vector<std::pair<std::string, std::string>> env;  // variables set in the child
};

// Runs the agent binary with `args`. The environment is the test's with VORN_SHM_NAMESPACE
// removed, so a namespace is always named on the command line, and `launch.env` added.
AgentResult runAgent(std::vector<std::string> const& args, AgentLaunch const& launch = {});
// Runs the agent and checks that it ends with `status` and that its stderr holds `err`.
AgentResult expectAgent(std::vector<std::string> const& args, int status, std::string const& err = "",
                        AgentLaunch const& launch = {});

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
