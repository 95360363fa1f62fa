#!/usr/bin/env bash
# Makes the README's pictures from the bundled sample: docs/before-after.png, on the left
# the sample laid 2 x 2 as it is, so that its seams show, on the right the filtered tile
# laid 2 x 2, where they are gone; and the gallery docs/gallery-*.png, one picture per
# seam shape and for Fit off, a hard and a soft fade and Thru BG, each laid 2 x 2. All
# at half size. Uses only the native build's own programs.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target tessellon tessellon_compose

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A settings store of its own: the user's saved settings stay as they are.
export XDG_CONFIG_HOME="$work/config"
cli=./build/native/bin/tessellon

# Without overlap the filter gives the picture back unchanged: the plain 2 x 2 layout.
"$cli" data/meadow.jpg "$work/plain.png" --defaults --tile-preview "$work/before.png"
"$cli" data/meadow.jpg "$work/tile.png" --defaults --overlap-x 20 --overlap-y 20 --seam wave --fit \
  --tile-preview "$work/after.png"

mkdir -p docs
./build/native/bin/tessellon_compose --half docs/before-after.png "$work/before.png" "$work/after.png"
echo "docs/before-after.png written"

# The gallery: each setting over the same starting point, laid 2 x 2.
gallery() {
  local name=$1
  shift
  "$cli" data/meadow.jpg "$work/$name.png" --preset filter --overlap-x 20 --overlap-y 20 "$@" \
    --tile-preview "$work/$name-2x2.png"
  ./build/native/bin/tessellon_compose --half "docs/gallery-$name.png" "$work/$name-2x2.png"
}
gallery normal --seam normal --fit
gallery wave --seam wave --fit
gallery zigzag --seam zigzag --freq 6 --fit
gallery fractal --seam fractal --fit
gallery no-fit --seam wave --no-fit --colour FFFFFF
gallery fade-0 --seam normal --fade 0 --fit
gallery fade-100 --seam normal --fade 100 --fit
# The background colour is the meadow's own mid green, so that Thru BG has copies to
# leave out of the blend.
gallery thru-bg --seam normal --fade 100 --fit --thru-bg 60 --background 78B63D
echo "docs/gallery-*.png written"
