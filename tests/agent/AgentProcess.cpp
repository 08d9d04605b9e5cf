#include "tests/agent/AgentProcess.h"

#include <fcntl.h>
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

Spawned spawn(std::vector<std::string> const& args, int extraFd) {
    std::string const base = "/tmp/" + uniqueName("agent-out");
    std::string const outPath = base + ".out", errPath = base + ".err", extraPath = base + ".extra";
    std::vector<char*> argv;
    std::string binary = VORN_TCAM_AGENT;
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
        redirect(outPath, STDOUT_FILENO);
        redirect(errPath, STDERR_FILENO);
        if (extraFd >= 0) redirect(extraPath, extraFd);
        ::unsetenv("VORN_SHM_NAMESPACE");
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

AgentResult runAgent(std::vector<std::string> const& args, int extraFd) {
    Spawned const child = spawn(args, extraFd);
    return collect(waitFor(child.pid), child.base);
}

BackgroundAgent::BackgroundAgent(std::vector<std::string> const& args) {
    Spawned const child = spawn(args, -1);
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
