#!/usr/bin/env bash
# Checks the names in the project's own sources against the convention of .clang-tidy (the
# README's Conventions): clang-tidy's readability-identifier-naming alone, over the library
# folders and the command line, with the compile commands of a build configured with
# -DCMAKE_EXPORT_COMPILE_COMMANDS=ON. Fails on any finding.
#   scripts/tidy.sh [BUILD_DIR]        (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
if [[ ! -f "$build/compile_commands.json" ]]; then
  echo "tidy: $build/compile_commands.json is missing; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2
  exit 2
fi
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
if [[ -z "$tidy" ]]; then
  echo "tidy: clang-tidy is not installed (Debian: clang-tidy)" >&2
  exit 2
fi

folders='platform|codec|draw|host|method|source|render|tile|plugin|capi|cli'
mapfile -t files < <(git ls-files '*.cpp' | grep -E "^($folders)/")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Two runs at a time, four files each; the compiler's own warnings are the build's business (-w).
status=0
printf '%s\n' "${files[@]}" |
  xargs -P "${TIDY_JOBS:-2}" -n 4 "$tidy" -p "$build" --quiet --extra-arg=-w >"$log" 2>&1 || status=$?
if grep -q 'readability-identifier-naming' "$log" || [[ $status -ne 0 ]]; then
  grep -E 'error:|warning:' "$log" | sort -u >&2 || cat "$log" >&2
  echo "tidy: names that do not follow the convention (or a file clang-tidy could not read)" >&2
  exit 1
fi
echo "tidy: ${#files[@]} files, every name follows the convention"
