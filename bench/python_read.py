#!/usr/bin/env python3
"""Reading rate of the vorn_tcam Python module: stores ENTRIES key entries on unit 0 with
tcam-agent in a namespace of its own, then reads them back through vorn_tcam.View.entries()
(lazily, one pass) REPS times and prints a Markdown section with the median rate. The namespace
is removed afterwards.

    bench/python_read.py --agent build/release/agent/tcam-agent --module-dir build/release \\
        [--entries 65536] [--reps 3]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--agent", required=True)
    p.add_argument("--module-dir", required=True, help="the directory holding the vorn_tcam module")
    p.add_argument("--entries", type=int, default=65536)
    p.add_argument("--reps", type=int, default=3)
    args = p.parse_args()
    sys.path.insert(0, args.module_dir)
    import vorn_tcam

    ns = f"python-read-{os.getpid()}"
    agent = [args.agent]
    try:
        subprocess.run(agent + ["run", "--generate", str(args.entries), "--units", "0", "--namespace", ns],
                       check=True, stdout=subprocess.DEVNULL)
        seconds = []
        for _ in range(args.reps):
            with vorn_tcam.open(ns) as view:
                start = time.perf_counter()
                count = sum(1 for _ in view.entries("Tcam", 0))
                seconds.append(time.perf_counter() - start)
            if count != args.entries:
                sys.exit(f"python_read: read {count} entries, stored {args.entries}")
    finally:
        subprocess.run(agent + ["clean", "--namespace", ns], stdout=subprocess.DEVNULL)
    median = statistics.median(seconds)
    print("## Reading through Python\n")
    print(f"`vorn_tcam` (release build), `sum(1 for _ in view.entries(\"Tcam\", 0))` over {args.entries:,} stored "
          f"key entries, median of {args.reps}: {median:.2f} s, {args.entries / median:,.0f} entries/s "
          "(each entry converted to its dict).")


if __name__ == "__main__":
    main()
