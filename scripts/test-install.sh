#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and uses it as an embedder would: every
# installed header compiles on its own, the consumer project (examples/consumer) finds the
# CMake package, builds against the shared and the static library and runs, a C program
# builds with pkg-config's flags, and the Python ctypes script (examples/python) passes.
#   scripts/test-install.sh [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
photo=$PWD/examples/landscape_orientation6.jpg

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name 'libvelmo_image_tools.so.0' | head -n 1)
libdir=$(dirname "$library")
echo "installed into $prefix: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"

# The installed headers stand alone and include only standard headers and each other, never a
# private header or an image or drawing library's.
if grep -h '#include' -r "$prefix/include" | grep -Ev '#include (<[a-z_]+>|"(host|plugin)/[a-z_]+\.h")$' |
     grep -Ev '#include <std(def|int)\.h>'; then
  echo "an installed header includes more than the standard library and its own"; exit 1
fi
for header in $(cd "$prefix/include/velmo_image_tools" && find . -name '*.h' | sort); do
  echo "#include \"${header#./}\"" |
    c++ -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Werror \
        -I "$prefix/include/velmo_image_tools" -x c++ -
done
echo '#include <velmo_image_tools.h>' |
  cc -std=c99 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I "$prefix/include" -x c -

cmake -S examples/consumer -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
mkdir -p "$work/out"
"$work/consumer/render_photo" "$photo" "$work/out/photo"
test -s "$work/out/photo.jpg"
"$work/consumer/metadata_static" "$photo"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/metadata_pc" examples/consumer/metadata.c \
   $(pkg-config --cflags --libs velmo_image_tools)
LD_LIBRARY_PATH=$libdir "$work/metadata_pc" "$photo" >/dev/null

python3 examples/python/velmo_ctypes.py --library "$library" --photo "$photo"
echo "install test passed"
