#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job: the agent simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target tcam-agent
build/default/agent/tcam-agent "$@"
