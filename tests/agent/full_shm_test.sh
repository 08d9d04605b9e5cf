#!/bin/sh
# tcam-agent on a full /dev/shm: the run fails with a clear error (no SIGBUS), every request any
# run answered as completed is still stored, and the next run with room completes the state.
# Needs a private tmpfs on /dev/shm (root and `unshare -m`); skips (status 77) otherwise.
set -u
# The agent's command: its path, behind the build's emulator when it has one.
agent="${2:+$2 }$1"
if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
  echo "skipped: a private /dev/shm needs root and unshare -m"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unshare -m sh -c '
  agent="$1"; work="$2"
  mount -t tmpfs -o size=64m tmpfs /dev/shm || { echo "skipped: cannot mount a tmpfs"; exit 77; }
  fail() { echo "FAILED: $*"; exit 1; }
  state="--namespace full --generate 1500 --units 0"
  # Thirty more units: far more than the room the store keeps reserved beyond what it uses.
  more="--namespace full --generate 1500 --units $(seq -s, 0 30)"
  $agent run $state --completions-fd 3 3>"$work/c1" >/dev/null 2>"$work/err" || fail "first run: $(cat "$work/err")"

  # Leave a little room only, then add a unit: the run fills /dev/shm (unit 0 stays as it is, so
  # nothing completed may be missing afterwards).
  used=$(df -k /dev/shm | awk "NR==2 {print \$3}")
  mount -o remount,size=$((used + 96))k /dev/shm || fail "cannot shrink the tmpfs"
  $agent run $more --completions-fd 3 3>"$work/c2" >/dev/null 2>"$work/err"
  rc=$?
  [ "$rc" = 1 ] || fail "run on a full /dev/shm ended with $rc: $(cat "$work/err")"
  grep -q "No space left on device" "$work/err" || fail "no clear error: $(cat "$work/err")"
  echo "run on a full /dev/shm: $(cat "$work/err")"

  mount -o remount,size=64m /dev/shm || fail "cannot grow the tmpfs"
  { $agent show --json --entries --namespace full || $agent show --json --namespace full; } \
      >"$work/show" 2>"$work/err" || fail "show: $(cat "$work/err")"
  python3 - "$work/show" "$work/c1" "$work/c2" <<PY || exit 1
import json, sys
show = json.load(open(sys.argv[1]))
live = set()
for t in show["tables"]:
    for u in t["units"]:
        for e in u.get("live", u.get("entries", [])):
            live.add((t["table"], u["unit"], e["key"]))
done = [json.loads(l) for f in sys.argv[2:] for l in open(f) if l.strip()]
lost = [c["key"] for c in done if c["ok"] and (c["table"], c["unit"], c["key"]) not in live]
print("%d completed requests, %d lost" % (sum(c["ok"] for c in done), len(lost)))
sys.exit(1 if lost else 0)
PY
  $agent run $more >/dev/null 2>"$work/err" || fail "the run with room did not recover: $(cat "$work/err")"
  echo "the run with room completed"
' sh "$agent" "$work"
