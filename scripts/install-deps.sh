#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and benchmark.
# Safe to run more than once. Run as root on Debian 12.
set -euo pipefail

build=(build-essential cmake ninja-build pkg-config clang-format git ccache)
libs=(libjpeg62-turbo-dev libspng-dev libdeflate-dev zlib1g-dev libgif-dev libwebp-dev
      libheif-dev liblcms2-dev libcairo2-dev libpango1.0-dev
      libfontconfig-dev libfreetype-dev nlohmann-json3-dev)
# Noto Sans for Latin text (the extra package carries its true SemiBold) and Noto Sans CJK
# for Han text in its Traditional Chinese forms.
fonts=(fonts-noto-core fonts-noto-extra fonts-noto-cjk)
testing=(libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev clang-tidy)
# The playground's HTTP server, and a headless browser to test its page with; the checker of
# the argument schemas (docs/schema/).
playground=(libcpp-httplib-dev chromium chromium-driver python3-selenium python3-jsonschema)
# The Flutter plug-in's Linux glue: GTK 3 (and with it GLib/GIO), as a Flutter Linux app uses.
flutter=(libgtk-3-dev)
# matplotlib draws the benchmark chart.
peers=(libvips-tools libvips-dev python3-pil imagemagick libjpeg-turbo-progs python3-matplotlib)

want=("${build[@]}" "${libs[@]}" "${fonts[@]}" "${testing[@]}" "${playground[@]}" "${flutter[@]}")
if [ "${VELMO_WITH_PEERS:-0}" = 1 ]; then want+=("${peers[@]}"); fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
