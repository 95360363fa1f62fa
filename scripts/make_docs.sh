#!/usr/bin/env bash
# Makes the README's picture docs/before-after.png from the bundled sample: on the left
# the sample laid 2 x 2 as it is, so that its seams show; on the right the filtered tile
# laid 2 x 2, where they are gone; both at half size. Uses only the native build's own
# programs.
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
