#!/usr/bin/env python3
"""Corruption trials: random bytes of a namespace's stored LMDB data file are flipped between
two runs of tcam-agent; the agent and show must never crash or hang, every damage must be
reported (or be harmless: nothing read changed), and the desired state must be stored again
after the next run, or the one after it when the first says with exit status 5 that it left
damaged or stale records. docs/crash-trials.md describes the trials, the classes of damage and
the recovery expected.

Usage: corruption_trials.py --agent build/h4/agent/tcam-agent --trials 200
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trialsupport as ts  # noqa: E402

REPORT_MARKS = ("corruption detected", "%HW_ABSTRACTION_ERROR", "%HW_ABSTRACTION_RELAUNCH_ERROR",
                "%HW_ABSTRACTION_EXCEPTION")


def allocated_extents(path):
    """The data extents (start, end) of a sparse file."""
    fd = os.open(path, os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        extents, offset = [], 0
        while offset < size:
            try:
                start = os.lseek(fd, offset, os.SEEK_DATA)
            except OSError:
                break
            end = os.lseek(fd, start, os.SEEK_HOLE)
            extents.append((start, end))
            offset = end
        return extents
    finally:
        os.close(fd)


def flip_bytes(path, rng, count):
    """XORs `count` random bytes of the file's allocated extents; returns (offset, old, new)."""
    extents = allocated_extents(path)
    total = sum(end - start for start, end in extents)
    flips = []
    with open(path, "r+b", buffering=0) as f:
        for _ in range(count):
            pick = rng.randrange(total)
            for start, end in extents:
                if pick < end - start:
                    offset = start + pick
                    break
                pick -= end - start
            f.seek(offset)
            old = f.read(1)[0]
            new = old ^ rng.randrange(1, 256)
            f.seek(offset)
            f.write(bytes([new]))
            flips.append((offset, old, new))
    return flips


def reported_in(text):
    return any(mark in text for mark in REPORT_MARKS)


def corrupt_records(shown):
    return sum(u.get("corruptRecords", 0) for t in shown["tables"] for u in t["units"]) if shown else 0


class Figures:
    def __init__(self):
        self.trials = 0
        self.bytes_flipped = 0
        self.reported = 0
        self.reported_wiped = 0             # of which a table or the environment was recreated empty
        self.reported_corrupt_records = 0   # of which only records failed their checksum
        self.harmless = 0
        self.silent = 0
        self.crashes = 0                    # agent ended by a signal it was not sent, or hung
        self.show_crashes = 0
        self.recovered_first_run = 0
        self.recovered_second_run = 0
        self.not_recovered = 0
        self.corrupt_records_left = 0       # recovered, with a damaged record no write replaces
        self.exit_5 = 0                     # runs that said they left damaged or stale records
        self.left_records_exit_0 = 0        # runs that exited 0 yet left the state other than desired
        self.problems = []
        self.first_run_shortfalls = []      # why a second run was needed

    def ok(self):
        return not (self.silent or self.crashes or self.show_crashes or self.not_recovered or
                    self.left_records_exit_0)


def run_trial(agent, fig, trial, rng, args):
    seed = args.seed * 100000 + trial
    ns = "corrupt-%d-%d" % (os.getpid(), trial)
    units = [int(u) for u in args.units.split(",")]
    fig.trials += 1
    problems_before = len(fig.problems)
    trace = ("--trace", "Tessel/1")

    def fail(counter, text):
        setattr(fig, counter, getattr(fig, counter) + 1)
        fig.problems.append(text)

    try:
        first = agent.run(ns, seed)
        if first.crashed or first.returncode != 0:
            return fail("not_recovered", "trial %d: first run failed (%s)" % (trial, first.returncode))
        # Half of the trials ask for a changed state after the damage (rewrites, new entries,
        # sweeps), the others for the same state.
        mutate = args.mutate if rng.random() < 0.5 else None
        desired = ts.completion_view(first.completions)
        if mutate is not None:
            desired = ts.completion_view(agent.run(ns + "-ref", seed, mutate).completions)
            agent.clean(ns + "-ref")
        before, err = agent.show(ns)
        if err:
            return fail("show_crashes", "trial %d: show before the damage: %s" % (trial, err))

        flips = flip_bytes(ts.shm_path(ns), rng, rng.randint(1, args.max_bytes))
        fig.bytes_flipped += len(flips)
        where = "trial %d (flips %s)" % (trial, ", ".join("%#x:%02x->%02x" % f for f in flips))

        after_damage, err, crashed = agent.show_checked(ns)
        if crashed:
            fail("show_crashes", "%s: show after the damage: %s" % (where, err))
        # show refusing a damaged file with an error is a report of the damage.
        reported = err is not None or corrupt_records(after_damage) > 0
        wiped = False
        unchanged = after_damage == before
        major = before["relaunchMajorId"]

        recovered = 0
        for attempt in (1, 2):
            result = agent.run(ns, seed, mutate, extra=trace)
            if result.crashed:
                return fail("crashes", "%s: run %d %s; stderr: %s" % (
                    where, attempt, "hung" if result.hung else "ended by signal %d" % -result.returncode,
                    result.stderr[-400:]))
            if reported_in(result.stderr):
                reported = True
            shown, err = agent.show(ns)
            if err:
                return fail("show_crashes", "%s: show after run %d: %s" % (where, attempt, err))
            if shown["relaunchMajorId"] != major or "%HW_ABSTRACTION_ERROR" in result.stderr:
                wiped = True
                reported = True
                major = shown["relaunchMajorId"]
            problems = ts.final_problems(shown, desired) + ts.consistency_problems(shown, units, True)
            if result.returncode == 0 and not problems:
                recovered = attempt
                break
            if result.returncode == 5:
                fig.exit_5 += 1
            elif result.returncode == 0:
                fail("left_records_exit_0", "%s: run %d exited 0 but left: %s" % (where, attempt, "; ".join(problems)))
            if attempt == 1:
                fig.first_run_shortfalls.append("%s: exit %d: %s" % (where, result.returncode, "; ".join(problems)))
            else:
                fail("not_recovered", "%s: not recovered after two runs (exit %d): %s" %
                     (where, result.returncode, "; ".join(problems)))
        if recovered and corrupt_records(shown):
            fig.corrupt_records_left += 1
        if recovered == 1:
            fig.recovered_first_run += 1
        elif recovered == 2:
            fig.recovered_second_run += 1

        if reported:
            fig.reported += 1
            if wiped:
                fig.reported_wiped += 1
            else:
                fig.reported_corrupt_records += 1
        elif unchanged and recovered == 1:
            fig.harmless += 1
        else:
            fail("silent", "%s: damage not reported (show %s, recovered in run %d)" %
                 (where, "unchanged" if unchanged else "changed", recovered))
    finally:
        if len(fig.problems) == problems_before or not args.keep:
            agent.clean(ns)


def main():
    parser = ts.trial_arguments(__doc__, entries=200)
    parser.add_argument("--max-bytes", type=int, default=4, help="bytes flipped per trial, at most")
    args = parser.parse_args()

    agent = ts.Agent(os.path.abspath(args.agent), args.units, args.entries, args.launcher)
    rng = random.Random(args.seed)
    return ts.run_trials(agent, Figures(), run_trial, args, rng,
                         hidden=("problems", "first_run_shortfalls"),
                         notes=(("SECOND RUN NEEDED", "first_run_shortfalls"),))

if __name__ == "__main__":
    sys.exit(main())
