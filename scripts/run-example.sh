#!/usr/bin/env bash
# Builds the command-line host and runs the main job on the bundled examples: "metadata" of
# the example images, a "render" of the example photo with a crop, a quarter turn, a stroke of
# each shape, a blur brush and a watermark (examples/render.json), and a few "tile" windows of
# a long screenshot (fresh each run). Results go to out/example/.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/build-cli.sh

rm -rf out/example
mkdir -p out/example

for image in examples/landscape_orientation6.jpg examples/long_screenshot.png; do
  echo "metadata $image"
  "$tool" call metadata "{\"path\": \"$image\"}"
done

echo "render examples/render.json"
"$tool" call render @examples/render.json

for y in 0 6000 15000; do
  echo "tile y=$y sample=2"
  "$tool" call tile "{\"path\": \"examples/long_screenshot.png\",
    \"destination\": \"out/example/tile_$y\", \"x\": 0, \"y\": $y,
    \"width\": 1080, \"height\": 2048, \"sample\": 2}"
done
echo "tile again (answered from the cached file, no path needed)"
"$tool" call tile '{"destination": "out/example/tile_0"}'

echo "results in out/example:"
ls -l out/example
