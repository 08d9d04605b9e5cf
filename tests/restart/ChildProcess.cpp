#include "tests/restart/ChildProcess.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "contracts/qel/Entity.h"
#include "contracts/shm/SharedMem.h"

namespace VornTest {

namespace {

// The line that closes a child's report: "<kStatusLine><0|1>".
constexpr char kStatusLine[] = "\x01status\t";

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

[[noreturn]] void childMain(int fd, std::function<void(ChildFacts&)> const& body, ChildEnd end) {
    ChildFacts facts(fd);
    try {
        body(facts);
    } catch (std::exception const& e) {
        ADD_FAILURE() << "child threw: " << e.what();
    } catch (...) {
        ADD_FAILURE() << "child threw a non-standard exception";
    }
    if (end == ChildEnd::sigkill) facts.awaitKill();
    // A clean end of the agent process: objects were released by the body; drop the
    // process-wide singletons and close the environment as a normal exit would.
    Qel::Entity::singletonDelAll();
    QelSharedMem::closeEnvironment();
    bool const passed = !childFailed();
    facts.send();
    ::_exit(passed ? 0 : 1);
}

}  // namespace

void ChildFacts::add(std::string const& name, std::string const& value) {
    text_ += oneLine(name) + "\t" + oneLine(value) + "\n";
}

void ChildFacts::send() {
    std::fflush(stdout);
    std::fflush(stderr);
    text_ += std::string(kStatusLine) + (childFailed() ? "1" : "0") + "\n";
    for (std::size_t done = 0; done < text_.size();) {
        ssize_t const n = ::write(fd_, text_.data() + done, text_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(3);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd_);
}

void ChildFacts::awaitKill() {
    send();
    for (;;) ::pause();
}

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
    if (pid == 0) {
        gPartsBeforeFork = partCount();
        ::close(fds[0]);
        childMain(fds[1], body, end);
    }
    ::close(fds[1]);
    // The report, read to the end of the pipe (the child closes it, or dies early).
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;)
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    ::close(fds[0]);
    bool statusSeen = false, checksPassed = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        auto const tab = line.find('\t');
        if (line.starts_with(kStatusLine)) {
            statusSeen = true;
            checksPassed = line.substr(sizeof kStatusLine - 1) == "0";
        } else if (tab != std::string::npos) {
            report.facts[line.substr(0, tab)] = line.substr(tab + 1);
        }
    }
    if (end == ChildEnd::sigkill && statusSeen) ::kill(pid, SIGKILL);
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    report.ending = pid < 0               ? "fork failed"
                    : WIFSIGNALED(status) ? fmt::format("signal {}", WTERMSIG(status))
                                          : fmt::format("exit status {}", WEXITSTATUS(status));
    bool const endedAsAsked = end == ChildEnd::sigkill ? WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL
                                                       : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    report.passed = statusSeen && checksPassed && endedAsAsked;
    if (!statusSeen) report.ending += " before reporting its status";
    return report;
}

}  // namespace VornTest
