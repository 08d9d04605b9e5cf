#!/usr/bin/env python3
"""Crash trials: tcam-agent is killed with SIGKILL at random instants (after a random delay or
a random number of completions) while it programs a generated desired state, then restarted
with the same state until a run completes. After every kill the stored tables must hold every
entry whose completion was reported, be consistent and not have been wiped; the final run must
leave exactly the desired state. docs/crash-trials.md describes the trials and their figures.

Usage: crash_trials.py --agent build/h4/agent/tcam-agent --trials 200
Exit status 0 when every goal is met (0 entries lost, 0 tables wiped, 0 crashes, 0
inconsistencies), 1 otherwise.
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trialsupport as ts  # noqa: E402


class Figures:
    def __init__(self):
        self.trials = 0
        self.kills = 0
        self.kills_before_completions = 0   # killed before its first completion (start-up, restore, queuing)
        self.kills_during_writes = 0        # killed with some but not all requests completed
        self.kills_after_completions = 0    # killed after its last completion (summary, exit)
        self.exited_before_kill = 0         # the run finished before the kill instant
        self.completions_checked = 0        # reported completions verified after kills
        self.entries_lost = 0
        self.tables_wiped = 0
        self.crashes = 0
        self.failed_requests = 0
        self.inconsistencies = 0
        self.final_mismatches = 0
        self.problems = []

    def ok(self):
        return not (self.entries_lost or self.tables_wiped or self.crashes or self.failed_requests
                    or self.inconsistencies or self.final_mismatches)


def check_run(fig, trial, what, result):
    """Counts what a run's ending says; returns False when the trial cannot go on."""
    if result.crashed:
        fig.crashes += 1
        fig.problems.append("trial %d %s: %s (stderr: %s)" % (
            trial, what, "hung" if result.hung else "ended by signal %d" % -result.returncode,
            result.stderr[-300:]))
        return False
    failed = [c for c in result.completions if not c["ok"]]
    if failed:
        fig.failed_requests += len(failed)
        fig.problems.append("trial %d %s: %d requests failed, e.g. %s" % (trial, what, len(failed), failed[0]["key"]))
    if not result.killed and result.returncode != 0:
        fig.failed_requests += 1
        fig.problems.append("trial %d %s: exit status %d: %s" % (trial, what, result.returncode, result.stderr[-300:]))
        return False
    return True


def run_trial(agent, fig, trial, rng, args):
    seed = args.seed * 100000 + trial
    ns = "crash-%d-%d" % (os.getpid(), trial)
    ref_ns = ns + "-ref"
    units = [int(u) for u in args.units.split(",")]
    fig.trials += 1
    try:
        ref = agent.run(ref_ns, seed, args.mutate)
        if not check_run(fig, trial, "reference run", ref):
            return
        desired = ts.completion_view(ref.completions)
        total = len(ref.completions)
        shown, err = agent.show(ref_ns)
        if err or ts.final_problems(shown, desired):
            fig.final_mismatches += 1
            fig.problems.append("trial %d reference run: %s" % (trial, err or ts.final_problems(shown, desired)))
            return
        span = ref.seconds

        if rng.random() < 0.5:
            prelude = agent.run(ns, seed)
            if not check_run(fig, trial, "prelude run", prelude):
                return
        shown, err = agent.show(ns)
        major = shown["relaunchMajorId"] if shown else 0

        reported = {}
        for kill in range(rng.randint(1, args.max_kills)):
            what = "kill %d" % (kill + 1)
            if rng.random() < 0.5:
                result = agent.run(ns, seed, args.mutate, kill_after=rng.uniform(0.0, span))
            else:
                result = agent.run(ns, seed, args.mutate, kill_at_completion=rng.randint(1, total))
            if not check_run(fig, trial, what, result):
                return
            n = len(result.completions)
            if result.killed:
                fig.kills += 1
                if n == 0:
                    fig.kills_before_completions += 1
                elif n < total:
                    fig.kills_during_writes += 1
                else:
                    fig.kills_after_completions += 1
            else:
                fig.exited_before_kill += 1
            now = ts.completion_view(result.completions)
            for key, entry in now.items():
                if desired.get(key) != entry:
                    fig.inconsistencies += 1
                    fig.problems.append("trial %d %s: completion of %s reports %s, desired %s" %
                                        (trial, what, key, entry, desired.get(key)))
            reported.update(now)

            shown, err = agent.show(ns)
            if err:
                fig.crashes += 1
                fig.problems.append("trial %d after %s: %s" % (trial, what, err))
                return
            stored = ts.live_view(shown)
            lost = [k for k, e in reported.items() if stored.get(k) != e]
            fig.completions_checked += len(reported)
            if lost:
                fig.entries_lost += len(lost)
                fig.problems.append("trial %d after %s: %d reported entries lost or changed, e.g. %s" %
                                    (trial, what, len(lost), lost[0]))
            problems = ts.consistency_problems(shown, units)
            if problems:
                fig.inconsistencies += len(problems)
                fig.problems.extend("trial %d after %s: %s" % (trial, what, p) for p in problems)
            if shown["relaunchMajorId"] != major:
                fig.tables_wiped += max(1, shown["relaunchMajorId"] - major)
                fig.problems.append("trial %d after %s: relaunchMajorId %d -> %d" %
                                    (trial, what, major, shown["relaunchMajorId"]))
                major = shown["relaunchMajorId"]

        final = agent.run(ns, seed, args.mutate)
        if not check_run(fig, trial, "final run", final):
            return
        shown, err = agent.show(ns)
        problems = [err] if err else ts.final_problems(shown, desired) + ts.consistency_problems(shown, units)
        if problems:
            fig.final_mismatches += 1
            fig.problems.extend("trial %d final: %s" % (trial, p) for p in problems)
        elif shown["relaunchMajorId"] != major:
            fig.tables_wiped += 1
            fig.problems.append("trial %d final: relaunchMajorId %d -> %d" % (trial, major, shown["relaunchMajorId"]))
    finally:
        if not args.keep or fig.ok():
            agent.clean(ns)
            agent.clean(ref_ns)


def main():
    parser = ts.trial_arguments(__doc__, entries=300)
    parser.add_argument("--max-kills", type=int, default=3, help="kills per trial, at most")
    args = parser.parse_args()

    agent = ts.Agent(os.path.abspath(args.agent), args.units, args.entries, args.launcher)
    rng = random.Random(args.seed)
    return ts.run_trials(agent, Figures(), run_trial, args, rng)

if __name__ == "__main__":
    sys.exit(main())
