#!/usr/bin/env bash
# Speed of the three builds side by side on the same runs: the native benchmark, then
# the 64-bit and the 32-bit module loaded with LoadLibrary under wine on a virtual
# display, as an editor runs them. Extra arguments go to the module benchmark (for
# example --repetitions 9). On a machine that cannot execute 32-bit programs the 32-bit
# module is left out, and said so.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target tessellon_bench
presets=(win64 win32)
if ! answer=$(./scripts/runs_32bit.sh); then
  presets=(win64)
  echo "32-bit module NOT timed: this machine cannot execute 32-bit programs ($answer)" >&2
fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target tessellon_module_bench
done

echo "== native"
./build/native/bin/tessellon_bench --benchmark_filter='PlainCopy|BM_Start/(defaults|wave20|worst_case)/' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true | grep -E '_median|^Benchmark'
for preset in "${presets[@]}"; do
  echo "== $preset module under wine"
  "./build/$preset/wine_run.sh" "build/$preset/bin/tessellon_module_bench.exe" "$@"
done
