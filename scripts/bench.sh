#!/usr/bin/env bash
# Builds the release preset, runs every Google Benchmark target and the Python reading rate
# (bench/python_read.py, 65,536 entries) and writes docs/performance.md.
#
#   scripts/bench.sh
#
# Environment:
#   BUILD_DIR    build directory of the release preset (default build/release)
#   REPS         repetitions of every benchmark; the report uses their median (default 3)
#   JOBS         parallel build jobs (default 2)
#   BENCH_NOTE   a line added to the report (for example about the machine's load)
#   OUT          report file (default docs/performance.md)
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build/release}
REPS=${REPS:-3}
JOBS=${JOBS:-2}
OUT=${OUT:-docs/performance.md}
COMMAND="$(for v in BUILD_DIR REPS; do [ -n "${!v:-}" ] && printf '%s=%q ' "$v" "${!v}"; done)scripts/bench.sh"

# Every target registered with vorn_benchmark in bench/CMakeLists.txt.
mapfile -t TARGETS < <(sed -n 's/^[[:space:]]*vorn_benchmark(\([A-Za-z0-9_]*\).*/\1/p' bench/CMakeLists.txt)
if [ "${#TARGETS[@]}" -eq 0 ]; then
  echo "no benchmark targets in bench/CMakeLists.txt" >&2
  exit 1
fi

cmake --preset release -B "$BUILD_DIR" -DVORN_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" -j"$JOBS" --target "${TARGETS[@]}" tcam-agent vorn_tcam

# Kept, so that the report can be written again from the same run.
RESULTS="$BUILD_DIR/bench-results"
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
for target in "${TARGETS[@]}"; do
  echo "== $target" >&2
  "$BUILD_DIR/bench/$target" \
    --benchmark_repetitions="$REPS" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$RESULTS/$target.json" \
    --benchmark_out_format=json
done

python3 bench/report.py --command "$COMMAND" --out "$OUT" --note "${BENCH_NOTE:-}" "$RESULTS"/*.json
echo "== python_read" >&2
{ echo; /usr/bin/python3 bench/python_read.py --agent "$BUILD_DIR/agent/tcam-agent" --module-dir "$BUILD_DIR" \
    --reps "$REPS"; } >>"$OUT"
echo "wrote $OUT" >&2
