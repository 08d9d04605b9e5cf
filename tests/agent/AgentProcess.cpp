#include "tests/agent/AgentProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace VornTest {

namespace {

struct Spawned {
    pid_t pid;
    std::string base;  // output files: base.out, base.err, base.extra
};

Spawned spawn(std::vector<std::string> const& args, AgentLaunch const& launch) {
    std::string const base = "/tmp/" + uniqueName("agent-out");
    std::string const outPath = launch.outPath.empty() ? base + ".out" : launch.outPath;
    std::string const errPath = launch.errPath.empty() ? base + ".err" : launch.errPath;
    std::string const extraPath = base + ".extra";
    std::vector<char*> argv;
    std::string launcher = VORN_AGENT_LAUNCHER;
    std::string binary = VORN_TCAM_AGENT;
    if (!launcher.empty()) argv.push_back(launcher.data());
    argv.push_back(binary.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t const pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        auto redirect = [](std::string const& path, int fd) {
            int const f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (f < 0 || ::dup2(f, fd) < 0) ::_exit(127);
            if (f != fd) ::close(f);
        };
        if (launch.closedStdio) {
            for (int fd = 0; fd <= 2; ++fd) ::close(fd);
        } else {
            redirect(outPath, STDOUT_FILENO);
            redirect(errPath, STDERR_FILENO);
        }
        if (launch.extraFd >= 0) redirect(extraPath, launch.extraFd);
        ::unsetenv("VORN_SHM_NAMESPACE");
        for (auto const& [name, value] : launch.env) ::setenv(name.c_str(), value.c_str(), 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return {pid, base};
}

AgentResult collect(int wstatus, std::string const& base) {
    AgentResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = fileText(base + ".out");
    result.err = fileText(base + ".err");
    result.extra = fileText(base + ".extra");
    for (auto const* suffix : {".out", ".err", ".extra"}) ::unlink((base + suffix).c_str());
    return result;
}

int waitFor(pid_t pid) {
    int wstatus = 0;
    while (::waitpid(pid, &wstatus, 0) < 0) {
    }
    return wstatus;
}

}  // namespace

AgentResult runAgent(std::vector<std::string> const& args, AgentLaunch const& launch) {
    Spawned const child = spawn(args, launch);
    return collect(waitFor(child.pid), child.base);
}

AgentResult expectAgent(std::vector<std::string> const& args, int status, std::string const& err,
                        AgentLaunch const& launch) {
    AgentResult r = runAgent(args, launch);
    EXPECT_EQ(r.status, status) << args.at(0) << ": " << r.err;
    EXPECT_NE(r.err.find(err), std::string::npos) << "expected \"" << err << "\" in: " << r.err;
    return r;
}

BackgroundAgent::BackgroundAgent(std::vector<std::string> const& args) {
    Spawned const child = spawn(args, AgentLaunch{});
    pid_ = child.pid;
    base_ = child.base;
}

BackgroundAgent::~BackgroundAgent() {
    if (!ended_) wait();
}

bool BackgroundAgent::running() {
    if (ended_) return false;
    if (::waitpid(pid_, &wstatus_, WNOHANG) == pid_) ended_ = true;
    return !ended_;
}

void BackgroundAgent::kill() {
    if (!ended_) ::kill(pid_, SIGKILL);
}

AgentResult BackgroundAgent::wait() {
    if (!ended_) wstatus_ = waitFor(pid_);
    ended_ = true;
    return collect(wstatus_, base_);
}

}  // namespace VornTest
