#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace VornTest {
std::string uniqueName(std::string const& prefix) {
    static std::atomic<unsigned> counter{0};
    std::string name = prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (auto const* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        name += "-";
        name += info->name();
    }
    for (char& c : name)
        if (c == '/') c = '_';
    if (name.size() > 100) name.resize(100);  // namespace names are bounded
    return name;
}

std::string fileText(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool pathExists(std::string const& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {
// Forks a child that runs `fn`, writes what it returned to a pipe and then, when `pause`, stays
// until killed; the parent reads the text to the end of the pipe.
pid_t forkAnswering(std::function<std::string()> const& fn, bool pause, std::string& text) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_t const child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(out[0]);
        int status = 0;
        try {
            text = fn();
        } catch (std::exception const& e) {
            text = std::string("threw: ") + e.what();
            status = 1;
        }
        (void)!::write(out[1], text.data(), text.size());
        ::close(out[1]);
        while (pause) ::pause();
        ::_exit(status);
    }
    ::close(out[1]);
    char buffer[4096];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(got));
    ::close(out[0]);
    return child;
}
}  // namespace

ChildResult inChild(std::function<std::string()> const& fn) {
    ChildResult result;
    pid_t const child = forkAnswering(fn, false, result.text);
    int status = 0;
    ::waitpid(child, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

PausedChild::PausedChild(std::function<std::string()> const& setUp) { pid_ = forkAnswering(setUp, true, answer_); }

void PausedChild::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}
}  // namespace VornTest
