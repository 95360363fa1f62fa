#!/usr/bin/env bash
# End-to-end speed of the command-line host: `tessellon` reading a 4000 x 3000
# photo-like PNG and writing the tile as PNG, for the three settings of the native
# benchmark (tessellon_bench): the filter's defaults; overlap 20/20 with the wave seam
# and fade 50; overlap 75/75 with Fit, the fractal seam and Thru BG 40. Times come from
# hyperfine (mean ± standard deviation over the runs, after a warm-up run); peak memory
# is the maximum resident set size that /usr/bin/time -v reports for one more run.
#
#   bench/end_to_end.sh [RUNS]        (default 5 timed runs per setting)
#
# The input is made once, by tessellon_make_photo, under build/end_to_end/; the
# settings store of the runs lives there too, never the user's. Every run names every
# filter and host setting, so that neither saved settings nor the program's defaults
# change what is measured.
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"

./scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target tessellon tessellon_make_photo

work=build/end_to_end
mkdir -p "$work/config"
export XDG_CONFIG_HOME="$(pwd)/$work/config"
photo="$work/photo-4000x3000.png"
if [ ! -f "$photo" ]; then
  ./build/native/bin/tessellon_make_photo "$photo.part" 4000 3000
  mv "$photo.part" "$photo"
fi
tessellon=./build/native/bin/tessellon

# The filter's defaults, each named; the host's colours as the program's defaults and
# the memory budget of tessellon_bench's host (1 GiB, one pass for this image).
base="--defaults --overlap-x 0 --overlap-y 0 --fade 50 --thru-bg 0 --bg-smooth 10 --freq 4"
base="$base --phase-x 0 --phase-y 0 --seam normal --no-fit --no-opaque-out --no-repeat --colour 000000"
base="$base --background FFFFFF --foreground 000000 --max-space 1073741824"
names=(defaults wave20 worst_case)
settings=(
  ""
  "--overlap-x 20 --overlap-y 20 --seam wave --fade 50"
  "--overlap-x 75 --overlap-y 75 --fit --seam fractal --thru-bg 40"
)

commands=()
for i in "${!names[@]}"; do
  commands+=(-n "${names[$i]}" "$tessellon $photo $work/out-${names[$i]}.png $base ${settings[$i]}")
done

echo "== input: $photo ($(stat -c %s "$photo") bytes), $runs timed runs per setting"
hyperfine --style basic --warmup 1 --runs "$runs" --export-markdown "$work/times.md" "${commands[@]}"

echo
echo "== peak memory (maximum resident set size of one run)"
for i in "${!names[@]}"; do
  # shellcheck disable=SC2086  # the settings are words on purpose
  kib=$(/usr/bin/time -v "$tessellon" "$photo" "$work/out-${names[$i]}.png" $base ${settings[$i]} 2>&1 >/dev/null |
        sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): //p')
  awk -v name="${names[$i]}" -v kib="$kib" 'BEGIN { printf "%-12s %8.1f MiB\n", name, kib / 1024 }'
done

echo
echo "== times"
cat "$work/times.md"
