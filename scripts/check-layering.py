#!/usr/bin/env python3
"""Checks that every folder includes only the folders below it.

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

# Each folder with the folders it may include (itself always). Folders not listed here (tests,
# benchmarks, examples) may include anything.
PLATFORM = ["contracts/lumo", "contracts/qel", "contracts/shm", "contracts/ledra", "contracts/asic",
            "contracts/types", "contracts/inlif"]
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
    "agent": ["api", "entrylog", "swtable", "linkage", "interface"] + PLATFORM,
}
SOURCE_SUFFIXES = {".h", ".hpp", ".cpp", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def folder_of(include):
    """The folder an include names: contracts/<component> or the first path element."""
    parts = include.split("/")
    if len(parts) < 2:
        return None
    if parts[0] == "contracts" and len(parts) >= 3:
        return "contracts/" + parts[1]
    return parts[0]


def violations(root):
    for folder, allowed in ALLOWED.items():
        permitted = set(allowed) | {folder}
        base = root / folder
        if not base.is_dir():
            continue
        for path in sorted(base.rglob("*")):
            if path.suffix not in SOURCE_SUFFIXES:
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = folder_of(match.group(1))
                if target is None:
                    yield f"{path.relative_to(root)}:{number}: include \"{match.group(1)}\" is not relative to the project root"
                elif target not in permitted:
                    yield (f"{path.relative_to(root)}:{number}: {folder} may not include \"{match.group(1)}\" "
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
