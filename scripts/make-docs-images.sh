#!/usr/bin/env bash
# Makes the pictures in docs/ from the bundled example photo with the command-line host, so
# they always show what the current code draws:
#   docs/strokes.jpg         one stroke of each shape, an arrow, and a blur brush over the "6";
#   docs/example-render.jpg  the main job's render (examples/render.json);
#   docs/playground.png      the playground page after a render with a stroke and a watermark,
#                            taken by its browser test in headless chromium.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/build-cli.sh

mkdir -p docs
# Points are fractions of the upright photo (1800 x 1200); colours 0xAARRGGBB.
"$tool" call render '{
  "path": "examples/landscape_orientation6.jpg",
  "destination": "docs/strokes",
  "width": 1200,
  "height": 800,
  "recipe": {
    "strokes": [
      {"shape": "freehand", "colorARGB": 4294916912, "widthFraction": 0.008,
       "points": [[0.06, 0.30], [0.10, 0.24], [0.14, 0.28], [0.18, 0.22], [0.22, 0.27],
                  [0.26, 0.21], [0.30, 0.26], [0.34, 0.20]]},
      {"shape": "freehand", "colorARGB": 4294916912, "widthFraction": 0.03,
       "points": [[0.40, 0.92]]},
      {"shape": "rectangle", "colorARGB": 4281584491, "points": [[0.44, 0.01], [0.56, 0.10]]},
      {"shape": "circle", "colorARGB": 4280780287, "widthFraction": 0.008,
       "points": [[0.74, 0.66], [0.56, 0.98]]},
      {"shape": "line", "colorARGB": 4294954240, "points": [[0.02, 0.37], [0.38, 0.36]]},
      {"shape": "arrow", "colorARGB": 4294967295, "widthFraction": 0.01,
       "points": [[0.22, 0.72], [0.42, 0.58]]},
      {"shape": "blur", "widthFraction": 0.11,
       "points": [[0.455, 0.45], [0.545, 0.45], [0.455, 0.52], [0.545, 0.55]]}
    ]
  }
}'
echo "docs/strokes.jpg"

# The main job's request, written next to docs/ instead of out/example/.
sed 's#"out/example/landscape_annotated"#"docs/example-render"#' examples/render.json >docs/.request.json
"$tool" call render @docs/.request.json
rm -f docs/.request.json
echo "docs/example-render.jpg"

# The page as its browser test leaves it after a render (a red line and a "cornerStamp"
# watermark in the result). The photos are served from a folder of their own under /tmp, so the
# paths the page shows are no folder of this machine's checkout.
photos=$(mktemp -d /tmp/photos.XXXXXX)
shots=$(mktemp -d)
trap 'rm -rf "$photos" "$shots"' EXIT
cp examples/landscape_orientation6.jpg examples/long_screenshot.png "$photos"
TMPDIR=/tmp VELMO_CLI=$PWD/$tool /usr/bin/python3 tests/playground/test_browser.py \
  --screenshots "$shots" --root "$photos"
cp "$shots/playground-render.png" docs/playground.png
echo "docs/playground.png"
