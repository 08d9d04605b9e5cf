// tcam-agent: the agent simulator. Command-line wiring only; the commands live in
// RunCommand.cpp and ShowCommand.cpp.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "agent/CommandOptions.h"
#include "agent/ErrorReport.h"
#include "agent/RunCommand.h"
#include "agent/ShowCommand.h"

using namespace VornTcamAgent;

namespace {

constexpr char kNamespaceHelp[] =
    "shared-memory namespace (files /dev/shm/vorn-tcam.NS.*): 1 to 128 of A-Z a-z 0-9 _ -, not starting with -; "
    "default $VORN_SHM_NAMESPACE, else \"default\"";

// The operator's options of `run`: the dry run and the sweep audit.
void addRunToolOptions(CLI::App& run, RunOptions& o) {
    auto* dryRun = run.add_flag("--dry-run", o.dryRun,
                                "print what a run would restore, rewrite, suppress, add and sweep; change nothing");
    run.add_option("--limit", o.limit, "with --dry-run: list at most this many swept keys per unit")->needs(dryRun);
    run.add_option("--sweep-audit", o.sweepAudit, "append one JSON line per swept key to this file")->excludes(dryRun);
    run.get_option("--completions-fd")->excludes(dryRun);
}

void addRunOptions(CLI::App& run, RunOptions& o) {
    auto* state = run.add_option("--state", o.stateFile, "desired-state JSON file (docs/desired-state.md)");
    auto* generate =
        run.add_option("--generate", o.generate, "generate N action and N key entries per unit (default 1000)");
    state->excludes(generate);
    run.add_option("--units", o.units, "units of the generated state, comma-separated (default 0,1)")
        ->delimiter(',')
        ->excludes(state);
    run.add_option("--seed", o.seed, "seed of the generated state (default 1); --mutate uses seed + 1");
    run.add_option("--mutate", o.mutate, "change about this fraction (0..1) of each table before writing")
        ->check(CLI::Range(0.0, 1.0));
    run.add_flag("--json", o.json, "print the summary as JSON");
    run.add_option("--completions-fd", o.completionsFd,
                   "write one JSON line per answered request to this open file descriptor");
    run.add_option("--namespace", o.nameSpace, kNamespaceHelp);
    run.add_option("--trace", o.trace, "enable trace handles, HANDLE/LEVEL[,HANDLE/LEVEL...] (\"*\" for all)");
    addRunToolOptions(run, o);
}

void addShowOptions(CLI::App& show, ShowOptions& o) {
    show.add_flag("--json", o.json, "print as JSON");
    show.add_option("--namespace", o.nameSpace, kNamespaceHelp);
    auto* entries = show.add_flag("--entries", o.entries, "print the entries too, not only the counts");
    show.add_option("--table", o.table, "only this table")->check(CLI::IsMember({"Tcam", "TcamAction"}));
    show.add_option("--unit", o.unit, "only this unit");
    show.add_option("--key", o.key, "only entries whose key (as printed) starts with this")->needs(entries);
    show.add_option("--limit", o.limit, "print at most this many entries")->needs(entries);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tcam-agent: hosts the tunnel-termination TCAM tables on shared memory and programs them"};
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
    } catch (CLI::CallForHelp const& e) {
        return app.exit(e);
    } catch (CLI::CallForAllHelp const& e) {
        return app.exit(e);
    } catch (CLI::ParseError const& e) {
        return reportCommandLineError(argc, argv, e.what());
    }

    if (run->parsed()) return runCommand(runOptions);
    if (show->parsed()) return showCommand(showOptions);
    return cleanCommand(cleanOptions);
}
