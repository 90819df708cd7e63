#!/usr/bin/env bash
# Builds the benchmarks in build-bench (Release), generates the large inputs into a scratch
# folder (build-bench/bench-data, kept between runs and never committed), then runs ours and
# the peers (libvips, Pillow, libjpeg-turbo's tools) side by side, prints a table per goal and
# draws bench/chart.png from the run's results.json (a whole run only).
#
#   bench/run.sh [--quick] [--goals 1,2,3,4,5]
#
# VELMO_WITH_PEERS=1 installs the peers first (scripts/install-deps.sh, as root).
# VELMO_BENCH_DATA=DIR puts the generated inputs elsewhere (they take about 40 MB).
# One full run takes a few minutes on two cores; --quick halves the repetitions.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${VELMO_WITH_PEERS:-0}" = 1 ]; then
  VELMO_WITH_PEERS=1 bash scripts/install-deps.sh
fi

build=build-bench
data="${VELMO_BENCH_DATA:-$build/bench-data}"

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=ON -DVELMO_TESTS=OFF \
  "${launcher[@]}" >/dev/null

# The input generator does not depend on the product's code; the rest does. A part that does
# not build leaves its columns empty instead of stopping the run.
cmake --build "$build" --target bench_make_images bench_measure
for target in velmo_bench bench_op bench_vips_op velmo-image-tools; do
  if ! cmake --build "$build" --target "$target" >"$build/bench-build-$target.log" 2>&1; then
    echo "warning: $target did not build (see $build/bench-build-$target.log)" >&2
    # A binary left from an earlier build would report old code as new.
    find "$build" -maxdepth 2 -name "$target" -type f -delete
  fi
done

# Pillow is installed for Debian's own Python, not for whatever python3 comes first in PATH.
/usr/bin/python3 bench/bench.py --build "$build" --data "$data" "$@"

# The chart of a whole run's ratios to the floors (bench/chart.png, shown in the README). A run of
# some goals only leaves the last whole run's chart as it is.
if [[ " $* " == *" --goals"* ]]; then
  echo "note: some goals only; bench/chart.png is left as the last whole run drew it" >&2
elif /usr/bin/python3 -c "import matplotlib" 2>/dev/null; then
  /usr/bin/python3 bench/chart.py "$data/out/results.json" bench/chart.png
else
  echo "note: python3-matplotlib is not installed; no chart (VELMO_WITH_PEERS=1 installs it)" >&2
fi
