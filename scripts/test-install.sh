#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and uses it as an embedder would: every
# installed header compiles on its own, the consumer project (examples/consumer) finds the
# CMake package, builds against the shared and the static library and runs, a C program
# builds with pkg-config's flags (the compiler's free of the drawing libraries' folders; with
# --static against the archive alone), the Python ctypes script (examples/python) passes, and
# the command-line host and its playground server sit in bin/ and run.
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
if grep -h '#include' -r "$prefix/include" | grep -Ev '#include (<[a-z_]+>|"(host|method|plugin)/[a-z_]+\.h")$' |
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
# The C header needs only its own folder: no Cairo, Pango, GLib or other library's.
cflags=()
for flag in $(pkg-config --cflags velmo_image_tools); do
  case $flag in
    -I*) cflags+=("-I$(realpath -m "${flag#-I}")") ;;
    *) cflags+=("$flag") ;;
  esac
done
if [ "${cflags[*]}" != "-I$prefix/include -I$prefix/include/velmo_image_tools" ]; then
  echo "pkg-config --cflags gives more than the installed headers' folders: ${cflags[*]}"; exit 1
fi
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/metadata_pc" examples/consumer/metadata.c \
   $(pkg-config --cflags --libs velmo_image_tools)
LD_LIBRARY_PATH=$libdir "$work/metadata_pc" "$photo" >/dev/null

# --static: a copy of the install without the shared library, so that -lvelmo_image_tools can
# only be the archive; what it needs comes from Libs.private.
cp -a "$prefix" "$work/static"
rm -f "$work/static"/lib*/libvelmo_image_tools.so* "$work/static"/lib/*/libvelmo_image_tools.so*
# shellcheck disable=SC2046
PKG_CONFIG_PATH=$(dirname "$(find "$work/static" -name velmo_image_tools.pc)") \
  sh -c 'cc -std=c99 -Wall -Werror -o "$1" examples/consumer/metadata.c \
           $(pkg-config --static --cflags --libs velmo_image_tools)' - "$work/metadata_static_pc"
if ldd "$work/metadata_static_pc" | grep -q velmo; then
  echo "the --static consumer loads the shared library"; exit 1
fi
"$work/metadata_static_pc" "$photo" >/dev/null

# The command-line host and the playground server, side by side in bin/.
version=$(sed -n 's/^Version: //p' "$libdir/pkgconfig/velmo_image_tools.pc")
test "$("$prefix/bin/velmo-image-tools" --version)" = "velmo-image-tools $version"
"$prefix/bin/velmo-image-tools" call metadata "{\"path\": \"$photo\"}" | grep -q '"result"'
# The server answers for itself, before it listens, when its folder is missing.
status=0
"$prefix/bin/velmo-image-tools" playground --root "$work/no-such-folder" 2>"$work/playground.err" ||
  status=$?
if [ "$status" != 2 ] || ! grep -q "no folder at $work/no-such-folder" "$work/playground.err"; then
  echo "the installed playground server did not run (status $status):"; cat "$work/playground.err"
  exit 1
fi

python3 examples/python/velmo_ctypes.py --library "$library" --photo "$photo"
# The README's ctypes example as it is written, finding the library through LD_LIBRARY_PATH.
awk '/^The same from Python with ctypes/ { found = 1 } found && /^```python/ { inside = 1; next }
     inside && /^```/ { exit } inside' README.md >"$work/readme_ctypes.py"
cp "$photo" "$work/photo.jpg"
(cd "$work" && LD_LIBRARY_PATH=$libdir python3 readme_ctypes.py) | grep -q "^$version 000d04"
echo "install test passed"
