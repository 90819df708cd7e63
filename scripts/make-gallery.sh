#!/usr/bin/env bash
# Renders the watermark gallery shown in the README: two photos (the bundled example and a
# camera photo from the test data), each with the three watermark styles, Latin and
# Traditional Chinese text, a few strokes and a blur brush. Results go to docs/gallery/.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/build-cli.sh

mkdir -p docs/gallery
rm -f docs/gallery/*.jpg

# A red arrow, a yellow frame and a blur brush, in fractions of the photo.
strokes='[
  {"shape": "arrow", "colorARGB": 4294197046, "widthFraction": 0.012,
   "points": [[0.12, 0.22], [0.34, 0.38]]},
  {"shape": "rectangle", "colorARGB": 4294952960, "widthFraction": 0.008,
   "points": [[0.52, 0.12], [0.86, 0.42]]},
  {"shape": "blur", "widthFraction": 0.09,
   "points": [[0.18, 0.62], [0.3, 0.66], [0.42, 0.64], [0.5, 0.7]]}
]'

# render NAME PHOTO WIDTH HEIGHT TEXT STYLE-ENTRIES
render() {
  local name=$1 photo=$2 width=$3 height=$4 text=$5 style=$6
  echo "render docs/gallery/$name.jpg"
  "$tool" call render "{\"path\": \"$photo\", \"destination\": \"docs/gallery/$name\",
    \"width\": $width, \"height\": $height,
    \"recipe\": {\"strokes\": $strokes,
                 \"watermark\": {\"enabled\": true, \"text\": \"$text\", $style}}}" >/dev/null
}

diagonal='"style": "diagonalRepeat", "opacity": 0.22, "density": 1.2'
stamp='"style": "cornerStamp", "gradientColors": [4292886586, 4281558783]'
signature='"style": "minimalSignature"'

landscape=examples/landscape_orientation6.jpg
latin="© Velmo 2026 · 維爾莫相簿"
render landscape-diagonalRepeat "$landscape" 720 480 "$latin" "$diagonal"
render landscape-cornerStamp "$landscape" 720 480 "$latin" "$stamp"
render landscape-minimalSignature "$landscape" 720 480 "$latin" "$signature"

camera=tests/data/camera/canon_sx60hs_orientation6.jpg
chinese="維爾莫相簿 · 二〇二六年 秋遊"
render camera-diagonalRepeat "$camera" 480 640 "$chinese" "$diagonal"
render camera-cornerStamp "$camera" 480 640 "$chinese" "$stamp"
render camera-minimalSignature "$camera" 480 640 "$chinese" "$signature"

ls -l docs/gallery
