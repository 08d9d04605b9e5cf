#!/usr/bin/env bash
# Builds the library and the agent under clang-tidy (.clang-tidy; every finding is an error):
# the "tidy" preset compiles them as usual and runs clang-tidy on every source file.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset tidy >/dev/null
cmake --build --preset tidy -- -k 0
