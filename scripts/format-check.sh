#!/usr/bin/env bash
# Fails when a C++ source or header of the project is not formatted as .clang-format says.
# `scripts/format-check.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "format-check: ${#files[@]} files formatted"
