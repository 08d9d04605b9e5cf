"""Shared parts of the crash and corruption trials: running tcam-agent with its completions pipe,
reading `show --json`, and comparing stored entries with what the agent reported or was asked for.

Stdlib only. Every trial works in its own shared-memory namespace and removes it at the end.
"""
import argparse
import glob
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

# Fields the library fills in (InLif indexes are handed out afresh after a restart); they are
# checked for presence by the library's own tests, not compared here.
IGNORED_ENTRY_FIELDS = ("inLif0Index", "inLif23Index")
RUN_TIMEOUT = 120.0  # seconds; a run taking longer is reported as hung


def trial_arguments(description, entries):
    """The options both trial scripts take; each adds its own before parsing."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--agent", required=True, help="path of tcam-agent")
    parser.add_argument("--launcher", default="", help="program that runs tcam-agent (an emulator), if any")
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--entries", type=int, default=entries, help="entries per table per unit (--generate)")
    parser.add_argument("--units", default="0,1")
    parser.add_argument("--mutate", type=float, default=0.3, help="--mutate of the desired state")
    parser.add_argument("--seed", type=int, default=1, help="seed of the trials")
    parser.add_argument("--keep", action="store_true", help="keep the namespaces of failing trials")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    return parser


def comparable(entry):
    """An entry object without the fields the library fills in."""
    return {k: v for k, v in entry.items() if k not in IGNORED_ENTRY_FIELDS}


class RunResult:
    """One `tcam-agent run`: how it ended and what it reported on the completions pipe."""

    def __init__(self):
        self.returncode = None     # negative: ended by that signal
        self.killed = False        # we sent SIGKILL
        self.hung = False          # did not end within RUN_TIMEOUT
        self.seconds = 0.0
        self.completions = []      # parsed JSON lines, in order
        self.stderr = ""
        self.exited_before_kill = False

    @property
    def crashed(self):
        """Ended by a signal we did not send (abort, segfault...) or hung."""
        return self.hung or (self.returncode is not None and self.returncode < 0 and not self.killed)


class Agent:
    def __init__(self, path, units="0,1", entries=300, launcher=""):
        # A cross build runs the agent through its emulator; the launcher is the command's prefix.
        self.command = ([launcher] if launcher else []) + [path]
        self.units = units
        self.entries = entries

    def run_args(self, ns, seed, mutate=None, extra=()):
        args = self.command + ["run", "--generate", str(self.entries), "--units", self.units,
                "--seed", str(seed), "--namespace", ns]
        if mutate is not None:
            args += ["--mutate", str(mutate)]
        return args + list(extra)

    def run(self, ns, seed, mutate=None, kill_after=None, kill_at_completion=None, extra=()):
        """Runs the agent; with kill_after (seconds) or kill_at_completion (count) kills it with
        SIGKILL at that instant (whichever comes first)."""
        result = RunResult()
        rfd, wfd = os.pipe()
        args = self.run_args(ns, seed, mutate, extra) + ["--completions-fd", str(wfd)]
        start = time.monotonic()
        err = tempfile.TemporaryFile()
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=err, pass_fds=(wfd,))
        os.close(wfd)
        enough = threading.Event()
        lock = threading.Lock()
        lines = []

        def read_completions():
            buf = b""
            with os.fdopen(rfd, "rb", buffering=0) as pipe:
                while True:
                    chunk = pipe.read(65536)
                    if not chunk:
                        break
                    buf += chunk
                    *full, buf = buf.split(b"\n")
                    with lock:
                        lines.extend(full)
                        if kill_at_completion is not None and len(lines) >= kill_at_completion:
                            enough.set()
            enough.set()  # a line cut by the kill stays in buf and is not counted

        reader = threading.Thread(target=read_completions)
        reader.start()
        if kill_after is not None or kill_at_completion is not None:
            enough.wait(timeout=kill_after if kill_after is not None else RUN_TIMEOUT)
            if proc.poll() is None:
                proc.kill()
                result.killed = True
            else:
                result.exited_before_kill = True
        try:
            proc.wait(timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            result.hung = True
            proc.kill()
            proc.wait()
        reader.join()
        result.seconds = time.monotonic() - start
        result.returncode = proc.returncode
        err.seek(0)
        result.stderr = err.read().decode(errors="replace")
        err.close()
        for line in lines:
            if line.strip():
                result.completions.append(json.loads(line))
        return result

    def show(self, ns):
        """The parsed `show --json`, or (None, how it failed)."""
        return self.show_checked(ns)[:2]

    def show_checked(self, ns):
        """(parsed show or None, how it failed or None, whether it crashed: ended by a signal or
        hung, as opposed to refusing the namespace with an error)."""
        try:
            proc = subprocess.run(self.command + ["show", "--json", "--entries", "--namespace", ns], capture_output=True,
                                  timeout=RUN_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None, "show hung", True
        if proc.returncode != 0:
            return None, "show ended with %d: %s" % (proc.returncode, proc.stderr.decode(errors="replace")[-500:]), \
                proc.returncode < 0
        return json.loads(proc.stdout), None, False

    def clean(self, ns):
        subprocess.run(self.command + ["clean", "--namespace", ns], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
        for name in glob.glob("/dev/shm/vorn-tcam." + ns + ".*"):
            try:
                os.unlink(name)
            except FileNotFoundError:
                pass


def shm_path(ns):
    """The LMDB data file of namespace ns."""
    return "/dev/shm/vorn-tcam." + ns + ".mdb"


def live_view(shown):
    """(table, unit, key) -> comparable entry, of the live records of a show."""
    view = {}
    for table in shown["tables"]:
        for unit in table["units"]:
            for item in unit["live"]:
                view[(table["table"], unit["unit"], item["key"])] = comparable(item["entry"])
    return view


def completion_view(completions):
    """(table, unit, key) -> comparable entry, of the successful completions."""
    return {(c["table"], c["unit"], c["key"]): comparable(c["entry"]) for c in completions if c["ok"]}


def consistency_problems(shown, units, corrupt_allowed=False):
    """What in a show breaks the stored tables' invariants:
    - a change log's versions are consecutive (records == newest - oldest + 1) and its scratchpad
      (the last version handed out) is the newest record's version whenever the log holds any;
    - no record fails its checksum (unless corrupt_allowed);
    - a key is at most once per unit, live or in deletion, not both;
    - records in deletion exist only while the change log still holds changes (a deletion's
      configuration record is dropped in the same transaction as its change-log record);
    - only the given units have configuration tables."""
    problems = []
    for table in shown["tables"]:
        name = table["table"]
        log = table["changeLog"]
        if log["records"]:
            span = log["newestVersion"] - log["oldestVersion"] + 1
            if span != log["records"]:
                problems.append("%s change log: %d records over versions %d..%d" %
                                (name, log["records"], log["oldestVersion"], log["newestVersion"]))
            if log["scratchpad"] != log["newestVersion"]:
                problems.append("%s change log: scratchpad %d, newest record %d" %
                                (name, log["scratchpad"], log["newestVersion"]))
        for unit in table["units"]:
            where = "%s unit %d" % (name, unit["unit"])
            if unit["unit"] not in units:
                problems.append("%s: a unit never programmed" % where)
            if unit.get("corruptRecords", 0) and not corrupt_allowed:
                problems.append("%s: %d corrupt records" % (where, unit["corruptRecords"]))
            live = [i["key"] for i in unit["live"]]
            gone = [i["key"] for i in unit["inDeletion"]]
            if len(set(live)) != len(live) or len(set(gone)) != len(gone) or set(live) & set(gone):
                problems.append("%s: a key stored twice" % where)
            if gone and not log["records"]:
                problems.append("%s: %d records in deletion with an empty change log" % (where, len(gone)))
    return problems


def final_problems(shown, desired):
    """What differs between a finished run's stored state and the desired view: live entries
    exactly the desired ones, nothing in deletion and the change log cleaned to empty (the
    hardware confirmed everything)."""
    problems = []
    stored = live_view(shown)
    missing = [k for k in desired if k not in stored]
    extra = [k for k in stored if k not in desired]
    wrong = [k for k in desired if k in stored and stored[k] != desired[k]]
    for what, keys in (("missing", missing), ("not desired", extra), ("with another value", wrong)):
        if keys:
            problems.append("%d entries %s, e.g. %s" % (len(keys), what, keys[0]))
    for table in shown["tables"]:
        if table["changeLog"]["records"]:
            problems.append("%s change log holds %d records after a finished run" %
                            (table["table"], table["changeLog"]["records"]))
        for unit in table["units"]:
            if unit["inDeletion"]:
                problems.append("%s unit %d holds %d records in deletion after a finished run" %
                                (table["table"], unit["unit"], len(unit["inDeletion"])))
    return problems


def run_trials(agent, fig, run_trial, args, rng, hidden=("problems",), notes=()):
    """Runs args.trials trials, printing each new problem as it is found, then the figures
    (text, or JSON with --json) without the `hidden` fields; returns the exit status."""
    shown = 0
    for trial in range(args.trials):
        run_trial(agent, fig, trial, rng, args)
        for p in fig.problems[shown:]:
            print("PROBLEM", p, file=sys.stderr, flush=True)
        shown = len(fig.problems)
    for label, lines in notes:
        for line in getattr(fig, lines):
            print(label, line, file=sys.stderr)
    figures = {k: v for k, v in vars(fig).items() if k not in hidden}
    if args.json:
        figures["problems"] = fig.problems
        figures["passed"] = fig.ok()
        print(json.dumps(figures, indent=2, sort_keys=True))
    else:
        for k, v in figures.items():
            print("%-26s %d" % (k, v))
        print("result: %s" % ("PASS" if fig.ok() else "FAIL"))
    return 0 if fig.ok() else 1
