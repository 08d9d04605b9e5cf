#!/usr/bin/env bash
# Compares the ABI of the two shared libraries, as built by the default preset, with the
# baselines kept in abi/ (libabigail's abidw/abidiff, xz-compressed). Any difference fails: an ABI change is made on
# purpose, by running `scripts/abi-check.sh --update` and committing the new baseline together
# with its SONAME decision (an incompatible change raises the project's major version, which is
# the SONAME).
set -euo pipefail
cd "$(dirname "$0")/.."
update=false
if [ "${1:-}" = "--update" ]; then update=true; fi

work=$(mktemp -d /tmp/vorn-abi-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --build --preset default --target vorn_platform_shared vorn_tcammgr_shared >/dev/null
status=0
for lib in libvorn-platform libvorn-tcammgr; do
  so=$(readlink -f "build/default/$lib.so")
  soname=$(objdump -p "$so" | awk '/SONAME/ {print $2}')
  baseline="abi/$soname.abi.xz"
  if $update; then
    mkdir -p abi
    abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-parameter-names --type-id-style hash "$so" |
      xz -9 >"$baseline"
    echo "abi-check: wrote $baseline"
    continue
  fi
  if [ ! -f "$baseline" ]; then
    echo "abi-check: no baseline $baseline for $so (a new SONAME?): run scripts/abi-check.sh --update"
    status=1
    continue
  fi
  xz -dc "$baseline" >"$work/$soname.abi"
  if abidiff "$work/$soname.abi" "$so" >"$work/report.txt"; then
    echo "abi-check: $soname matches $baseline"
  else
    cat "$work/report.txt"
    echo "abi-check: $soname differs from $baseline; if that is deliberate, decide the SONAME and run" \
         "scripts/abi-check.sh --update"
    status=1
  fi
done
exit $status
