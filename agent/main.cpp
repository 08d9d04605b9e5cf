// tcam-agent: the agent simulator. Command-line wiring only; the commands live in
// RunCommand.cpp and ShowCommand.cpp.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <climits>
#include <csignal>
#include <limits>

#include "agent/commands/CommandOptions.h"
#include "agent/commands/EnvironmentCheck.h"
#include "agent/commands/ErrorReport.h"
#include "agent/commands/Output.h"
#include "agent/commands/RunCommand.h"
#include "agent/commands/ShowCommand.h"
#include "agent/state/OptionValues.h"
#include "agent/view/AgentSetup.h"

using namespace VornTcamAgent;

namespace {

constexpr char kNamespaceHelp[] =
    "shared-memory namespace (files /dev/shm/vorn-tcam.NS.*): 1 to 128 of A-Z a-z 0-9 _ -, not starting with -; "
    "default $VORN_SHM_NAMESPACE, else \"default\"";
constexpr std::uint64_t kAnyCount = std::numeric_limits<std::uint64_t>::max();

// Opens each of descriptors 0, 1 and 2 that the caller left closed on /dev/null. Done before
// anything else, so that no file the agent opens later (its store above all) becomes one of
// them and receives what is printed. False when /dev/null cannot be opened.
bool openClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Not close-on-exec: a standard descriptor is meant to be inherited.
        int const opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened < 0) return false;
        if (opened == fd) continue;  // the lowest free descriptor: always, as the lower ones are open
        bool const moved = ::dup2(opened, fd) == fd;
        ::close(opened);
        if (!moved) return false;
    }
    return true;
}

// The operator's options of `run`: the dry run and the sweep audit.
void addRunToolOptions(CLI::App& run, RunOptions& o) {
    auto* dryRun = run.add_flag("--dry-run", o.dryRun,
                                "print what a run would restore, rewrite, suppress, add and sweep; change nothing");
    run.add_option("--limit", o.limit, "with --dry-run: list at most this many swept keys per unit")
        ->check(wholeNumberUpTo(kAnyCount))
        ->needs(dryRun);
    run.add_option("--sweep-audit", o.sweepAudit,
                   "append one JSON line per key the sweep or reconciliation removes to this file")
        ->check(nonEmptyValue("a file name"))
        ->excludes(dryRun);
    run.get_option("--completions-fd")->excludes(dryRun);
}

void addRunOptions(CLI::App& run, RunOptions& o) {
    auto* state = run.add_option("--state", o.stateFile, "desired-state JSON file (docs/desired-state.md)")
                      ->check(nonEmptyValue("a file name"));
    auto* generate = run.add_option("--generate", o.generate,
                                    "generate N (0..65536) action and N key entries per unit (default 1000)")
                         ->check(wholeNumberUpTo(kMaxEntriesPerTable));
    state->excludes(generate);
    run.add_option("--units", o.units, "units (0..255) of the generated state, comma-separated (default 0,1)")
        ->check(unitListValue())
        ->excludes(state);
    run.add_option("--seed", o.seed, "seed of the generated state (default 1); --mutate uses seed + 1")
        ->check(wholeNumberUpTo(kAnyCount));
    run.add_option("--mutate", o.mutate, "change about this fraction (0..1) of each table before writing")
        ->check(fractionValue());
    run.add_flag("--json", o.json, "print the summary as JSON");
    run.add_option("--completions-fd", o.completionsFd,
                   "write one JSON line per answered request to this descriptor, open for writing")
        ->check(wholeNumberUpTo(INT_MAX));
    run.add_option("--namespace", o.nameSpace, kNamespaceHelp);
    run.add_option("--trace", o.trace, "enable trace handles, HANDLE/LEVEL[,HANDLE/LEVEL...] (\"*\" for all)")
        ->check(nonEmptyValue("HANDLE/LEVEL items separated by commas"));
    addRunToolOptions(run, o);
}

void addShowOptions(CLI::App& show, ShowOptions& o) {
    show.add_flag("--json", o.json, "print as JSON");
    show.add_option("--namespace", o.nameSpace, kNamespaceHelp);
    auto* entries = show.add_flag("--entries", o.entries, "print the entries too, not only the counts");
    show.add_option("--table", o.table, "only this table")->check(oneOfValues({"Tcam", "TcamAction"}));
    show.add_option("--unit", o.unit, "only this unit (0..255)")->check(wholeNumberUpTo(kMaxUnitId));
    show.add_option("--key", o.key, "only entries whose key (as printed) starts with this")
        ->check(nonEmptyValue("a key or the start of one"))
        ->needs(entries);
    show.add_option("--limit", o.limit, "print at most this many entries")
        ->check(wholeNumberUpTo(kAnyCount))
        ->needs(entries);
}

int agentMain(int argc, char** argv) {
    CLI::App app{"tcam-agent: hosts the tunnel-termination TCAM tables on shared memory and programs them"};
    app.set_version_flag("--version", std::string("tcam-agent ") + VORN_TCAMMGR_VERSION);
    app.require_subcommand(1);

    RunOptions runOptions;
    auto* run = app.add_subcommand(
        "run", "bring the agent up, program a desired state, run until every request is answered, print a summary");
    addRunOptions(*run, runOptions);

    ShowOptions showOptions;
    auto* show = app.add_subcommand("show", "print what shared memory holds (read-only)");
    addShowOptions(*show, showOptions);

    CleanOptions cleanOptions;
    auto* clean = app.add_subcommand("clean", "remove the namespace's shared memory");
    clean->add_option("--namespace", cleanOptions.nameSpace, kNamespaceHelp);

    try {
        app.parse(argc, argv);
    } catch (CLI::Success const& e) {  // --help, --version
        return app.exit(e);
    } catch (CLI::ParseError const& e) {
        return reportCommandLineError(argc, argv, e.what());
    }

    char const* const command = run->parsed() ? "run" : show->parsed() ? "show" : "clean";
    try {
        checkEnvironment(run->parsed());
    } catch (BadInput const& e) {
        return reportError({command, kExitBadInput, e.what()}, runOptions.json || showOptions.json);
    }
    if (run->parsed()) return runCommand(runOptions);
    if (show->parsed()) return showCommand(showOptions);
    return cleanCommand(cleanOptions);
}

}  // namespace

int main(int argc, char** argv) {
    if (!openClosedStandardDescriptors()) return kExitFailed;
    // A reader that went away (stdout or stderr on a closed pipe) makes a write fail, which the
    // printing handles, instead of killing the agent with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return agentMain(argc, argv);
    } catch (std::exception const& e) {
        // The commands report their own errors; this is the last guard, so that no error ends
        // the program with a signal instead of a status.
        printMessage(std::string("tcam-agent: ") + e.what() + "\n");
    } catch (...) {
        printMessage("tcam-agent: unexpected error\n");
    }
    return kExitFailed;
}
