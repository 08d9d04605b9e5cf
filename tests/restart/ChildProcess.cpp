#include "tests/restart/ChildProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "contracts/qel/Entity.h"
#include "contracts/shm/SharedMem.h"

namespace VornTest {

namespace {

// The line that closes a child's report: "<kStatusLine><0|1>".
constexpr char kStatusLine[] = "\x01status\t";

void writeAll(int fd, std::string const& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);
        done += static_cast<std::size_t>(n);
    }
}

// Facts are one line each; tabs and newlines inside would break the framing.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\t') c = ' ';
    return text;
}

// The child inherits the parent's record of the test's results: only the parts recorded after
// the fork count as the child's.
int gPartsBeforeFork = 0;

int partCount() {
    ::testing::TestInfo const* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test ? test->result()->total_part_count() : 0;
}

bool childFailed() {
    ::testing::TestInfo const* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!test) return false;
    for (int i = gPartsBeforeFork; i < test->result()->total_part_count(); ++i)
        if (test->result()->GetTestPartResult(i).failed()) return true;
    return false;
}

[[noreturn]] void reportStatusAndPause(int fd) {
    std::fflush(stdout);
    std::fflush(stderr);
    writeAll(fd, std::string(kStatusLine) + (childFailed() ? "1" : "0") + "\n");
    for (;;) ::pause();
}

[[noreturn]] void childMain(int fd, std::function<void(ChildFacts&)> const& body, ChildEnd end) {
    {
        ChildFacts facts(fd);
        try {
            body(facts);
        } catch (std::exception const& e) {
            ADD_FAILURE() << "child threw: " << e.what();
        } catch (...) {
            ADD_FAILURE() << "child threw a non-standard exception";
        }
    }
    if (end == ChildEnd::sigkill) reportStatusAndPause(fd);
    // A clean end of the agent process: objects were released by the body; drop the
    // process-wide singletons and close the environment as a normal exit would.
    Qel::Entity::singletonDelAll();
    QelSharedMem::closeEnvironment();
    bool const passed = !childFailed();
    std::fflush(stdout);
    std::fflush(stderr);
    writeAll(fd, std::string(kStatusLine) + (passed ? "0" : "1") + "\n");
    ::_exit(passed ? 0 : 1);
}

}  // namespace

void ChildFacts::add(std::string const& name, std::string const& value) {
    writeAll(fd_, oneLine(name) + "\t" + oneLine(value) + "\n");
}

void ChildFacts::awaitKill() { reportStatusAndPause(fd_); }

std::string ChildReport::fact(std::string const& name) const {
    auto const found = facts.find(name);
    return found == facts.end() ? std::string() : found->second;
}

std::uint64_t ChildReport::number(std::string const& name) const {
    return std::strtoull(fact(name).c_str(), nullptr, 10);
}

std::map<std::string, std::string> ChildReport::factsUnder(std::string const& prefix) const {
    std::map<std::string, std::string> under;
    for (auto it = facts.lower_bound(prefix); it != facts.end() && it->first.starts_with(prefix); ++it)
        under[it->first.substr(prefix.size())] = it->second;
    return under;
}

ChildReport runInChild(std::function<void(ChildFacts&)> const& body, ChildEnd end) {
    ChildReport report;
    int fds[2];
    if (::pipe(fds) != 0) {
        report.ending = "pipe failed";
        return report;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t const pid = ::fork();
    if (pid < 0) {
        report.ending = "fork failed";
        return report;
    }
    if (pid == 0) {
        gPartsBeforeFork = partCount();
        ::close(fds[0]);
        childMain(fds[1], body, end);
    }
    ::close(fds[1]);

    // Read lines until the status line (or the end of the pipe when the child died early).
    std::string pending;
    bool statusSeen = false;
    bool checksPassed = false;
    char buffer[4096];
    while (!statusSeen) {
        ssize_t const n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t eol;
        while (!statusSeen && (eol = pending.find('\n')) != std::string::npos) {
            std::string const line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (line.starts_with(kStatusLine)) {
                statusSeen = true;
                checksPassed = line.substr(sizeof kStatusLine - 1) == "0";
                continue;
            }
            auto const tab = line.find('\t');
            if (tab != std::string::npos) report.facts[line.substr(0, tab)] = line.substr(tab + 1);
        }
    }
    if (end == ChildEnd::sigkill && statusSeen) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(fds[0]);

    if (WIFSIGNALED(status)) {
        report.ending = fmt::format("signal {}", WTERMSIG(status));
    } else {
        report.ending = fmt::format("exit status {}", WEXITSTATUS(status));
    }
    bool const endedAsAsked = end == ChildEnd::sigkill ? WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
                                                       : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report.passed = statusSeen && checksPassed && endedAsAsked;
    if (!statusSeen) report.ending += " before reporting its status";
    return report;
}

}  // namespace VornTest
