#!/usr/bin/env bash
# Runs one fuzz target with libFuzzer:
#   fuzz/run.sh TARGET SECONDS   explores for SECONDS from a random seed, keeping what it learns
#   fuzz/run.sh TARGET --gate    the test suite's run: a fixed seed, a fixed number of inputs
#                                (about 20 s each here) and a fresh corpus, so that every run
#                                of a commit starts from the same place and does the same
#                                amount of work, on a slow machine as on a fast one
#   TARGET: codec metadata decode window render tile
# Builds the tree with clang-14, coverage, ASan and UBSan in build-fuzz/ (first run: a few
# minutes), seeds the corpus from the test images or hand-made argument maps, and keeps what
# it learns in build-fuzz/corpus/TARGET. A finding is written to build-fuzz/findings/TARGET/
# and the script exits non-zero: copy it to tests/fuzz_regressions/TARGET/ with a name that
# says what it is, fix the fault, and the replay test keeps it fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: fuzz/run.sh TARGET SECONDS|--gate"
target=${1:?$usage}
length=${2:?$usage}
case "$target" in codec | metadata | decode | window | render | tile) ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac

build=build-fuzz
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
if [ ! -f "$build/build.ninja" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMO_LIBFUZZER=ON -DVELMO_TESTS=OFF "${launcher[@]}" >/dev/null
fi
cmake --build "$build" --target "velmo_fuzz_$target" velmo_fuzz_seeds >/dev/null

if [ "$length" = --gate ]; then
  # Inputs per target: what 20 s runs on the reference machine.
  case "$target" in
    codec) runs=400000 ;; metadata) runs=300000 ;; tile) runs=200000 ;;
    decode | window) runs=10000 ;; render) runs=15000 ;;
  esac
  corpus=$build/gate-corpus/$target
  rm -rf "$corpus"
  limit=(-seed=1 -runs="$runs")
else
  corpus=$build/corpus/$target
  limit=(-max_total_time="$length")
fi
findings=$build/findings/$target
seeds=$build/seeds/$target
mkdir -p "$corpus" "$findings"
rm -rf "$seeds" && mkdir -p "$seeds"
case "$target" in
  codec) cp fuzz/corpus/codec/* "$seeds"/; dict=fuzz/dict/codec.dict ;;
  metadata | decode) find tests/data -type f -size -300k \
      ! -name '*.txt' ! -name '*.md' -exec cp -t "$seeds" {} +; dict=fuzz/dict/image.dict ;;
  window)
    # Each image with a trailer asking for a window at its top left, sample 2.
    find tests/data -type f -size -300k ! -name '*.txt' ! -name '*.md' -print0 |
      while IFS= read -r -d '' f; do
        { cat "$f"; printf '\x00\x00\x00\x00\x40\x00\x40\x00\x01'; } >"$seeds/$(basename "$f")"
      done
    dict=fuzz/dict/image.dict ;;
  render | tile) "$build/fuzz/velmo_fuzz_seeds" "$target" "$seeds" >/dev/null; dict=fuzz/dict/call.dict ;;
esac
[ -d "tests/fuzz_regressions/$target" ] && cp "tests/fuzz_regressions/$target"/* "$seeds"/ 2>/dev/null || true

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
# fontconfig keeps a little memory for the life of the process on purpose.
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$build/fuzz/velmo_fuzz_$target" "${limit[@]}" -timeout=20 -rss_limit_mb=2560 \
  -malloc_limit_mb=1024 -dict="$dict" -artifact_prefix="$findings/" -print_final_stats=1 \
  "$corpus" "$seeds"
