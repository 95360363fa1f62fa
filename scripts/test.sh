#!/usr/bin/env bash
# Builds everything and runs every test: the native build, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the 32-bit Windows build under
# wine on a virtual display.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
start=$(date +%s)

for preset in native native-sanitize win32; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== test: native"
ctest --preset native
echo "== test: native-sanitize"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset native-sanitize

echo "== test: win32 (wine)"
prefix="$(pwd)/build/win32/wineprefix"
# Create the prefix once, then keep one wine server alive for the whole run so that
# each test process does not pay for starting it.
./build/win32/wine_run.sh cmd /c exit >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
WINEPREFIX="$prefix" wineserver -p
trap 'WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --preset win32

echo "== all tests passed in $(( $(date +%s) - start )) s"
