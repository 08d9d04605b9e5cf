#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job: the agent simulator, twice.
# The first run programs a generated state into fresh shared memory; the second is an agent
# restart on the same shared memory with a fifth of the state changed (restore, mark, rewrite,
# sweep). Both print their summaries. Extra arguments go to both runs (e.g. --json,
# --namespace NS, --generate N). The agent is the optimised build (release preset); the tests
# use the debug build (default preset, scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target tcam-agent
agent=build/release/agent/tcam-agent

namespace_args=()
for ((i = 1; i <= $#; i++)); do
  if [[ "${!i}" == "--namespace" ]]; then
    j=$((i + 1))
    namespace_args=(--namespace "${!j}")
  fi
done

"$agent" clean "${namespace_args[@]}" >/dev/null
echo "== first run"
"$agent" run "$@"
echo
echo "== restart with a fifth of the desired state changed"
"$agent" run --mutate 0.2 "$@"
