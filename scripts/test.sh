#!/usr/bin/env bash
# Builds the project and runs the test suite: a plain Release build with every test (and the
# naming check of scripts/tidy.sh over it), a build with
# AddressSanitizer + UndefinedBehaviorSanitizer (LeakSanitizer included) with every test but
# the slow ones, a ThreadSanitizer build of the threaded parts (host, worker, dispatch, load,
# the pipe host, the C entry point), and a short libFuzzer run of each fuzz target
# (fuzz/run.sh); the playground's server and page tests and the install of the library as an
# embedder uses it (scripts/test-install.sh) run after the Release tests. The Flutter plug-in's
# Linux glue is tested in all three builds when the Flutter Linux headers are found at
# ../shared/flutter_linux/include beside the repository, and skipped, with a message, when not.
# Run from anywhere; needs the packages of install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD"
fi

# The Flutter glue's tests (tests/flutter) need the embedding's public headers, which are not
# part of the project.
flutter_targets=(velmo_tests_flutter_package)
if [ -f ../shared/flutter_linux/include/flutter_linux/flutter_linux.h ]; then
  flutter_targets+=(velmo_tests_flutter)
else
  echo "SKIPPED: the Flutter glue tests (no Flutter Linux headers at ../shared/flutter_linux/include)"
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMO_WERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "${launcher[@]}" >/dev/null
cmake --build build -j "$jobs"
# Names by the convention of .clang-tidy, over the Release build's compile commands.
bash scripts/tidy.sh build
(cd build && ctest --output-on-failure -j "$jobs")
# The playground: its server from outside, the attacks of a local user on it, then its page in
# headless chromium (Debian's python3 has selenium; a python3 earlier on PATH may not).
/usr/bin/python3 tests/playground/test_server.py
/usr/bin/python3 tests/playground/test_attacks.py
/usr/bin/python3 tests/playground/test_browser.py
# The argument schemas (docs/schema/) against the examples, the page's requests and the
# mistakes they must refuse.
/usr/bin/python3 tests/schema/test_schema.py
# The installed library, as an embedder uses it.
bash scripts/test-install.sh build

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMO_SANITIZE=ON -DVELMO_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# flutter_app only configures a stand-in app and compiles two files there: once is enough.
(cd build-asan && ctest --output-on-failure -j "$jobs" -LE 'slow|flutter_app')

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SANITIZE_THREAD=ON \
  -DVELMO_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target velmo_tests_host velmo_tests_plugin velmo_tests_cli \
  velmo_tests_capi velmo-image-tools "${flutter_targets[@]}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
(cd build-tsan && ctest --output-on-failure -j "$jobs" -L 'host|plugin|cli|capi|^flutter$')

# Coverage-guided fuzzing on top of the replays above: a fixed seed and number of inputs per
# target and a fresh corpus, so each run starts from the same place and does the same work
# whatever the machine's speed (longer, random runs that explore: fuzz/run.sh TARGET SECONDS).
mkdir -p build-fuzz
for target in codec metadata decode window render tile; do
  log=build-fuzz/run-$target.log
  bash fuzz/run.sh "$target" --gate >"$log" 2>&1 || { tail -40 "$log"; exit 1; }
  echo "fuzz $target: no finding; $(grep -E '^stat::number_of_executed_units' "$log")"
done
