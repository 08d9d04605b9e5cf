#!/usr/bin/env python3
"""Writes docs/performance.md from the JSON output of the Google Benchmark targets.

Usage: report.py --command CMD --out FILE [--note TEXT] RESULT.json...

Each RESULT.json is one target's --benchmark_out (its file name, without .json, is the target's
name). With repetitions, the median aggregate of each benchmark is used. A per-entry figure is
the benchmark's "per_item" counter (CPU seconds per item) when it has one, otherwise CPU time per
item from items_per_second, otherwise CPU time per iteration.
"""

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys


def load(paths):
    """Target name -> (context, {benchmark run name -> row}), medians preferred."""
    targets = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        rows = {}
        for row in data.get("benchmarks", []):
            name = row.get("run_name", row["name"])
            if row.get("run_type") == "aggregate":
                if row.get("aggregate_name") != "median":
                    continue
                rows[name] = row
            elif name not in rows or rows[name].get("run_type") != "aggregate":
                # Without repetitions there is one row per benchmark.
                rows.setdefault(name, row)
        target = os.path.splitext(os.path.basename(path))[0]
        targets[target] = (data.get("context", {}), rows)
    return targets


UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def ns_per_item(row):
    if "per_item" in row:
        return row["per_item"] * 1e9
    if row.get("items_per_second"):
        return 1e9 / row["items_per_second"]
    return row["cpu_time"] * UNIT_NS[row.get("time_unit", "ns")]


def real_ns_per_item(row):
    items = row.get("items")
    per_iter = row["real_time"] * UNIT_NS[row.get("time_unit", "ns")]
    if items:
        return per_iter / items
    if row.get("items_per_second") and row.get("cpu_time"):
        # One item per iteration (the floors registered without an item counter).
        return per_iter * (1e9 / row["items_per_second"]) / (row["cpu_time"] * UNIT_NS[row.get("time_unit", "ns")])
    return per_iter


def fmt_ns(v):
    if v is None:
        return "n/a"
    if v >= 1e6:
        return f"{v / 1e6:,.2f} ms"
    if v >= 1e4:
        return f"{v / 1e3:,.1f} µs"
    return f"{v:,.0f} ns"


def fmt_ratio(a, b):
    if a is None or not b:
        return "n/a"
    return f"{a / b:.1f}×"


def find(targets, target, name):
    rows = targets.get(target, ({}, {}))[1]
    if name in rows:
        return rows[name]
    # Benchmarks registered with BENCHMARK(ns::fn) carry their namespace in the name.
    for full, row in rows.items():
        if full.endswith("::" + name):
            return row
    return None


def sh(cmd):
    try:
        return subprocess.run(cmd, shell=True, capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return ""


def machine(context):
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal"):
                    mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                    break
    except OSError:
        pass
    load = context.get("load_avg")
    lines = [
        f"- CPU: {cpu or 'unknown'}, {context.get('num_cpus', os.cpu_count())} logical CPUs "
        f"at {context.get('mhz_per_cpu', '?')} MHz (as Google Benchmark reports it)",
        f"- Memory: {mem or 'unknown'}; shared memory on tmpfs (/dev/shm)",
        f"- OS: {platform.system()} {platform.release()} ({platform.machine()})",
        f"- Compiler: {sh('c++ --version | head -1') or 'unknown'}; release preset (-O3 -DNDEBUG, 64-bit; "
        "the agent and the benchmarks allocate with TCMalloc)",
        f"- LMDB: {sh('pkg-config --modversion lmdb') or 'system package'}",
    ]
    if load:
        lines.append(f"- Load average when the first target started: {', '.join(f'{x:.1f}' for x in load)}")
    return lines


def section_program(targets):
    out = ["## Programming: write → commit → logged → complete", ""]
    out.append("Entries of one table on one unit, each iteration starting from an empty unit; the figure "
               "covers the write call, the resolver's commit (configuration record, change-log record, "
               "scratchpad, group), the simulated hardware's status update, the change-log cleanup and "
               "the completion of every handle. Action entries request InLif resources (four entries "
               "per InLif key). Floor: one bare LMDB write transaction per entry putting the same "
               "configuration and change-log records, plus the removal of the change-log record in "
               "batches of 1,024; the same records grouped as the library commits them (as many "
               "entries to a write transaction as the group resolver commits together); and the plain "
               "bare put of a 64-byte record (`lmdbFloorPut`).")
    out.append("")
    put = find(targets, "agent_bench", "lmdbFloorPut")
    put_ns = ns_per_item(put) if put else None
    out.append("| Table | Entries | ns/entry (CPU) | ns/entry (wall) | floor: same records | ratio | "
               "floor: same records, grouped | ratio | ratio to bare put |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    per_table = {}
    for table in ("Tcam", "TcamAction"):
        for n in (1024, 65536):
            row = find(targets, "agent_bench", f"program/{table}/{n}/iterations:{40 if n == 1024 else 3}")
            floor = find(targets, "agent_bench", f"floor/commit/{table}/{n}")
            grouped = find(targets, "agent_bench", f"floor/groupCommit/{table}/{n}")
            if not row:
                continue
            v = ns_per_item(row)
            f = ns_per_item(floor) if floor else None
            g = ns_per_item(grouped) if grouped else None
            per_table[(table, n)] = v
            out.append(f"| {table} | {n:,} | {fmt_ns(v)} | {fmt_ns(real_ns_per_item(row))} | {fmt_ns(f)} | "
                       f"{fmt_ratio(v, f)} | {fmt_ns(g)} | {fmt_ratio(v, g)} | {fmt_ratio(v, put_ns)} |")
    out.append("")
    if put_ns:
        out.append(f"Bare LMDB put of a 64-byte record in its own transaction, same run: {fmt_ns(put_ns)}.")
    for table in ("Tcam", "TcamAction"):
        a, b = per_table.get((table, 1024)), per_table.get((table, 65536))
        if a and b:
            out.append(f"{table}: cost per entry at 65,536 entries / at 1,024 entries = {b / a:.2f}.")
    out.append("")
    return out


def section_restart(targets):
    out = ["## Restart: mount + restore + mark + identical rewrite + sweep", ""]
    out.append("An agent whose unit holds n key and n action entries restarts: runtime start (change-log "
               "mounts and cleanup), unit bring-up (configuration-table mounts, restore, mark), the whole "
               "desired state written again (every write identical, answered from the log), sweep, until "
               "every handle completes. Per entry of either table (2n entries). Floor: reopen a bare LMDB "
               "environment holding the same records and copy every configuration record out in one read "
               "transaction. The floor has no counterpart for the per-entry software-table work of a "
               "restart (wrappers, InLif resource requests, resolver passes, suppression lookups), so "
               "the ratio is large by construction; the growth of the figure with the table is the "
               "library's own (the floor's cost per record does not grow).")
    out.append("")
    out.append("| Entries per table per unit | ns/entry (CPU) | ns/entry (wall) | floor: reopen + walk | ratio |")
    out.append("|---:|---:|---:|---:|---:|")
    vals = {}
    for n, iters in ((1024, 20), (65536, 3)):
        row = find(targets, "agent_bench", f"restart/{n}/iterations:{iters}")
        floor = find(targets, "agent_bench", f"floor/restoreWalk/{n}")
        if not row:
            continue
        v = ns_per_item(row)
        vals[n] = v
        f = ns_per_item(floor) if floor else None
        out.append(f"| {n:,} | {fmt_ns(v)} | {fmt_ns(real_ns_per_item(row))} | {fmt_ns(f)} | {fmt_ratio(v, f)} |")
    out.append("")
    if 1024 in vals and 65536 in vals:
        out.append(f"Cost per entry at 65,536 / at 1,024 entries = {vals[65536] / vals[1024]:.2f}.")
    cold = [ns_per_item(r) for r in (find(targets, "agent_bench", f"program/{t}/65536/iterations:3")
                                     for t in ("Tcam", "TcamAction")) if r]
    if 65536 in vals and len(cold) == 2:
        # Cold programming of both tables, per entry of either table (the restart's unit of count).
        out.append(f"Warm restart per entry / cold programming per entry (mean of both tables), 65,536 entries: "
                   f"{vals[65536] / (sum(cold) / 2):.2f}.")
    if vals:
        out.append("")
    phases = (("start_ns", "start"), ("bringUp_ns", "bring-up"), ("write_ns", "rewrite calls"),
              ("sweep_ns", "sweep"), ("settle_ns", "commits until complete"))
    rows = []
    for label, prefix in (("both tables", "restart"), ("key table only", "restart/Tcam")):
        for n, iters in ((1024, 20), (65536, 3)):
            row = find(targets, "agent_bench", f"{prefix}/{n}/iterations:{iters}")
            if row and all(k in row for k, _ in phases):
                rows.append((label, n, row))
    if rows:
        out.append("CPU time per entry of each phase (`restart/Tcam` restarts a unit holding key entries "
                   "only, without InLif resources):")
        out.append("")
        out.append("| Tables | Entries per table | total | " + " | ".join(name for _, name in phases) + " |")
        out.append("|---|---:|---:|" + "---:|" * len(phases))
        for label, n, row in rows:
            cells = " | ".join(fmt_ns(row[k]) for k, _ in phases)
            out.append(f"| {label} | {n:,} | {fmt_ns(ns_per_item(row))} | {cells} |")
        out.append("")
    return out


def section_iteration(targets):
    out = ["## Iteration", ""]
    rows = targets.get("iteration_bench", ({}, {}))[1]
    if not rows:
        out += ["(iteration_bench did not run)", ""]
        return out
    out.append("From `iteration_bench`: a full walk of a unit's merged view (65,536 committed entries, "
               "1,000 pending writes and 1,000 pending removes) next to bare LMDB walks of the same table "
               "in the same run.")
    out.append("")
    merged = rows.get("mergedIteration")
    m = ns_per_item(merged) if merged else None
    out.append("| Benchmark | ns/entry (CPU) | entries | ratio of mergedIteration to it |")
    out.append("|---|---:|---:|---:|")
    for name, row in rows.items():
        v = ns_per_item(row)
        items = row.get("items")
        out.append(f"| {name} | {fmt_ns(v)} | {int(items):,} | {fmt_ratio(m, v) if name != 'mergedIteration' else ''} |"
                   if items else f"| {name} | {fmt_ns(v)} | | |")
    out.append("")
    return out


def section_bytes(targets):
    out = ["## Shared-memory bytes per committed entry", ""]
    out.append("After programming n key and n action entries on one unit (all confirmed, change log "
               "cleaned), in a namespace of its own: *used* is the LMDB environment's high-water page "
               "count times its page size, *allocated* the memory tmpfs holds for the file; both divided "
               "by the 2n entries. Floor: a bare environment after the same records went through the "
               "floor's commits (configuration records kept, change-log records removed).")
    out.append("")
    out.append("| Entries per table | used B/entry | allocated B/entry | floor used B/entry | ratio (used) |")
    out.append("|---:|---:|---:|---:|---:|")
    for n in (1024, 65536):
        row = find(targets, "agent_bench", f"shmBytes/{n}/iterations:1")
        if not row:
            continue
        u, a, f = row["used_bytes_per_entry"], row["allocated_bytes_per_entry"], row["floor_used_bytes_per_entry"]
        out.append(f"| {n:,} | {u:,.0f} | {a:,.0f} | {f:,.0f} | {fmt_ratio(u, f)} |")
    out.append("")
    return out


def section_switch(targets):
    out = ["## Full switch", ""]
    program = find(targets, "switch_bench", "switch/program/iterations:1/manual_time")
    restart = find(targets, "switch_bench", "switch/restart/iterations:1/manual_time")
    if not program or not restart:
        return out + ["(switch_bench did not run)", ""]
    out.append("From `switch_bench`: 8 units with 65,536 key and 65,536 action entries each (1,048,576 "
               "entries), programmed cold into fresh shared memory by one agent, then a warm restart with "
               "the identical desired state (mounts, restore, mark, identical rewrite, sweep, until every "
               "handle completes). One iteration per repetition (the median when repeated). Resident memory: growth of the agent process's resident set "
               "over the cold programming, per entry. Goal: warm restart in at most 2 s.")
    out.append("")
    out.append("| Phase | seconds (wall) | seconds (CPU) |")
    out.append("|---|---:|---:|")
    out.append(f"| cold programming | {program['seconds']:.2f} | {program['cpu_seconds']:.2f} |")
    out.append(f"| warm restart | {restart['seconds']:.2f} | {restart['cpu_seconds']:.2f} |")
    out.append("")
    out.append(f"Resident memory per entry after the cold programming: {program['rss_bytes_per_entry']:,.0f} B.")
    out.append("")
    phases = [("start_s", "start (runtime, change-log mounts)"), ("bringUp_s", "bring-up of 8 units (mounts, restore, mark)"),
              ("write_s", "desired state written again"), ("sweep_s", "sweep"),
              ("settle_s", "until every handle completes (the rewrites' commits)")]
    if all(key in restart for key, _ in phases):
        out.append("The warm restart's phases (wall):")
        out.append("")
        out.append("| Phase | seconds |")
        out.append("|---|---:|")
        for key, label in phases:
            out.append(f"| {label} | {restart[key]:.2f} |")
        out.append("")
    return out


def section_goals(targets):
    """The speed goals, each with the figure of this run that decides it."""
    out = ["## Goals", ""]
    out.append("Each goal with the figure of this run it is judged by (details in the sections below).")
    out.append("")
    out.append("| Goal | Figure | Met |")
    out.append("|---|---:|:---:|")

    def row(goal, value, limit, unit="×"):
        if value is None:
            out.append(f"| {goal} | n/a | |")
        else:
            shown = f"{value:,.0f}" if unit == " B" else f"{value:.2f}"
            out.append(f"| {goal} | {shown}{unit} | {'yes' if value <= limit else 'no'} |")

    def per(target, name):
        r = find(targets, target, name)
        return ns_per_item(r) if r else None

    for table in ("Tcam", "TcamAction"):
        big = per("agent_bench", f"program/{table}/65536/iterations:3")
        small = per("agent_bench", f"program/{table}/1024/iterations:40")
        floor_big = per("agent_bench", f"floor/groupCommit/{table}/65536")
        floor_small = per("agent_bench", f"floor/groupCommit/{table}/1024")
        row(f"programming {table} at 65,536 ≤ 2× `floor/groupCommit`", big / floor_big if big and floor_big else None,
            2)
        growth = (big / small) / (floor_big / floor_small) if big and small and floor_big and floor_small else None
        row(f"programming {table}: growth 65,536 / 1,024 ≤ 1.1× the grouped floor's own growth", growth, 1.1)
    big = per("agent_bench", "restart/65536/iterations:3")
    cold = [per("agent_bench", f"program/{t}/65536/iterations:3") for t in ("Tcam", "TcamAction")]
    row("warm restart / cold programming per entry (65,536) ≤ 0.7",
        big / (sum(cold) / 2) if big and all(cold) else None, 0.7)
    merged, walk = per("iteration_bench", "mergedIteration"), per("iteration_bench", "bareLmdbWalk")
    row("`mergedIteration` ≤ 5× `bareLmdbWalk`", merged / walk if merged and walk else None, 5)
    shm = find(targets, "agent_bench", "shmBytes/65536/iterations:1")
    row("store used bytes per entry at 65,536 ≤ 1.5× its floor",
        shm["used_bytes_per_entry"] / shm["floor_used_bytes_per_entry"] if shm else None, 1.5)
    restart = find(targets, "switch_bench", "switch/restart/iterations:1/manual_time")
    row("full switch (1,048,576 entries): warm restart ≤ 2 s", restart["seconds"] if restart else None, 2, " s")
    program = find(targets, "switch_bench", "switch/program/iterations:1/manual_time")
    row("full switch: resident memory per entry ≤ 600 B", program["rss_bytes_per_entry"] if program else None, 600,
        " B")
    out.append("")
    return out


def section_others(targets):
    out = ["## Other benchmark targets", ""]
    out.append("Every other figure of the run, per item, with the ratio to the target's own bare LMDB put "
               "(`lmdbFloorPut`, measured in the same target's run) where it has one.")
    out.append("")
    for target in sorted(targets):
        if target in ("agent_bench", "switch_bench"):
            continue
        rows = targets[target][1]
        put = find(targets, target, "lmdbFloorPut")
        put_ns = ns_per_item(put) if put else None
        out.append(f"### {target}")
        out.append("")
        out.append("| Benchmark | ns/item (CPU) | ns/item (wall) | ratio to bare put |")
        out.append("|---|---:|---:|---:|")
        for name, row in rows.items():
            v = ns_per_item(row)
            out.append(f"| {name} | {fmt_ns(v)} | {fmt_ns(real_ns_per_item(row))} | "
                       f"{fmt_ratio(v, put_ns) if put_ns and not name.endswith('lmdbFloorPut') else ''} |")
        out.append("")
    return out


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--command", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--note", default="")
    p.add_argument("results", nargs="+")
    args = p.parse_args()
    targets = load(args.results)
    if not targets:
        sys.exit("no results")
    first_context = next(iter(targets.values()))[0]
    date = first_context.get("date") or datetime.datetime.now().isoformat(timespec="seconds")

    out = ["# Performance", ""]
    out.append("Generated by `bench/report.py` from one run of every Google Benchmark target; do not edit "
               "by hand. Every ratio compares figures measured in the same run. `docs/speed.md` explains where "
               "the time goes.")
    out.append("")
    out.append(f"- Command: `{args.command}`")
    out.append(f"- Date: {date}")
    out += machine(first_context)
    if args.note:
        out.append(f"- Note: {args.note}")
    out.append("")
    out += section_goals(targets)
    out += section_program(targets)
    out += section_restart(targets)
    out += section_iteration(targets)
    out += section_bytes(targets)
    out += section_switch(targets)
    out += section_others(targets)
    with open(args.out, "w") as f:
        f.write("\n".join(out).rstrip() + "\n")


if __name__ == "__main__":
    main()
