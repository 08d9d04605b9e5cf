#!/usr/bin/env python3
"""Checks that every folder includes only the folders below it, and that template bodies stay private.

Headers are included relative to the project root ("swtable/TcamSwTable.h"), so the compiler
cannot tell a layer's own include from one that reaches up into a higher layer. This script
reads the #include "..." lines of each folder's sources and fails, naming the file, the line
and the include, when a folder includes one it may not. Run by the build (target
vorn_layering) and by ctest (test layering).
"""
import argparse
import pathlib
import re
import sys

# Each folder with the folders it may include (itself always). Folders not listed here
# (benchmarks, examples) may include anything but template bodies.
PLATFORM = ["contracts/lumo", "contracts/qel", "contracts/shm", "contracts/ledra", "contracts/asic",
            "contracts/types", "contracts/inlif"]
LIBRARY = ["api", "entrylog", "swtable", "linkage", "interface"]
AGENT = ["agent/state", "agent/view", "agent/runtime", "agent/commands"]
ALLOWED = {
    "contracts/lumo": [],
    "contracts/qel": ["contracts/lumo"],
    "contracts/shm": ["contracts/lumo", "contracts/qel"],
    "contracts/ledra": ["contracts/lumo", "contracts/qel", "contracts/shm"],
    "contracts/asic": ["contracts/lumo", "contracts/qel", "contracts/shm", "contracts/ledra"],
    "contracts/types": ["contracts/lumo", "contracts/qel", "contracts/shm", "contracts/ledra", "contracts/asic"],
    "contracts/inlif": PLATFORM[:-1],
    "api": [],
    "entrylog": ["api"] + PLATFORM[:-1],
    "swtable": ["api", "entrylog"] + PLATFORM,
    "linkage": ["api", "entrylog", "swtable"] + PLATFORM,
    "interface": ["api", "entrylog", "swtable", "linkage"] + PLATFORM,
    # The agent by library: the read-only view never reaches the runtime (python/ links only it).
    "agent/state": ["api"] + PLATFORM,
    "agent/view": ["agent/state"] + PLATFORM,
    "agent/runtime": ["api", "entrylog", "swtable", "linkage", "interface", "agent/state", "agent/view"] + PLATFORM,
    "agent/commands": LIBRARY + ["agent/state", "agent/view", "agent/runtime"] + PLATFORM,
    "agent": LIBRARY + AGENT + PLATFORM,
    "python": ["agent/state", "agent/view"] + PLATFORM,
    "tests": LIBRARY + AGENT + PLATFORM,
}
# The files that explicitly instantiate a folder's templates: the only includers of its internal/.
INSTANTIATING = {
    "entrylog": ["entrylog/TcamEntryLog.cpp", "entrylog/TcamActionEntryLog.cpp"],
    "swtable": ["swtable/TcamSwTable.cpp", "swtable/TcamActionSwTable.cpp"],
    "interface": ["interface/TcamInterface.cpp", "interface/TcamActionInterface.cpp"],
}
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(include):
    """The folder an include names: contracts/<component>, agent/<library> or the first path element."""
    parts = include.split("/")
    if len(parts) < 2:
        return None
    if parts[0] in ("contracts", "agent") and len(parts) >= 3:
        return parts[0] + "/" + parts[1]
    return parts[0]


def includes(path):
    """(line number, included path) of each #include "..." of a source file."""
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(line)
        if match:
            yield number, match.group(1)


def sources(base):
    """The source files under `base`, skipping build trees and hidden folders."""
    for path in sorted(base.rglob("*")):
        parts = path.relative_to(base).parts
        if path.suffix in SOURCE_SUFFIXES and not any(p.startswith((".", "build")) for p in parts):
            yield path


def internal_violations(root):
    for path in sources(root):
        name = path.relative_to(root).as_posix()
        for number, include in includes(path):
            owner, sep, _ = include.partition("/internal/")
            if not sep:
                continue
            if name.startswith(owner + "/internal/") or name in INSTANTIATING.get(owner, []):
                continue
            allowed = ", ".join(INSTANTIATING.get(owner, [])) or "none"
            yield f"{name}:{number}: \"{include}\" is private to {owner} (included only by: {allowed})"


def violations(root):
    yield from internal_violations(root)
    for folder, allowed in ALLOWED.items():
        permitted = set(allowed) | {folder}
        base = root / folder
        if not base.is_dir():
            continue
        for path in sources(base):
            name = path.relative_to(root).as_posix()
            # A sub-folder with rules of its own (agent/view under agent) is checked by those.
            if any(other != folder and other.startswith(folder + "/") and name.startswith(other + "/")
                   for other in ALLOWED):
                continue
            for number, include in includes(path):
                target = folder_of(include)
                if target is None:
                    yield f"{path.relative_to(root)}:{number}: include \"{include}\" is not relative to the project root"
                elif target not in permitted:
                    yield (f"{path.relative_to(root)}:{number}: {folder} may not include \"{include}\" "
                           f"({folder} may include: {', '.join(sorted(permitted))})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parent.parent)
    parser.add_argument("--stamp", type=pathlib.Path, help="file touched when the check passes")
    args = parser.parse_args()
    found = list(violations(args.root.resolve()))
    for message in found:
        print(message, file=sys.stderr)
    if found:
        print(f"layering check: {len(found)} include(s) reach a layer above their folder", file=sys.stderr)
        return 1
    if args.stamp:
        args.stamp.touch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
