#!/usr/bin/env bash
# Takes docs/preview-fit.png and docs/preview-1to1.png: the filter dialog of the built
# module under wine on a virtual display, its preview showing the bundled photograph
# (data/meadow.jpg) tiled with the settings of scripts/run.sh (overlap 20 % each way,
# wave seam, Fit), first with the whole picture fitted into the preview, then at 1:1.
# A test of the dialog suite (left out of normal runs) plays the host: it hands the
# module the photograph, draws what the module's displayPixels calls show, writes the
# dialog's screen rectangle to a file for each picture and waits until it is taken.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
if ! command -v import >/dev/null 2>&1 || ! command -v convert >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends imagemagick
fi

# The 64-bit module: wine64 runs it on every machine, also where 32-bit programs cannot run.
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target tessellon_dialog_tests

work=$(mktemp -d)
display_number=$((200 + RANDOM % 400))
while [ -e "/tmp/.X${display_number}-lock" ]; do display_number=$((display_number + 1)); done
Xvfb ":${display_number}" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
holder_pid=""
cleanup() {
  touch "$work/fit.done" "$work/1to1.done"
  [ -n "$holder_pid" ] && wait "$holder_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=":${display_number}"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display_number}" ] && break; sleep 0.1; done

# Unmanaged windows: wine draws their frames and captions itself (see screenshot_dialog.sh).
./build/win64/wine_run.sh reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true

# The host in the test program reads binary PPM.
convert data/meadow.jpg -depth 8 "ppm:$work/meadow.ppm"

# The test program sees this machine's files through wine's Z: drive.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export TESSELLON_SCREENSHOT_IMAGE="$(windows_path "$work/meadow.ppm")"
export TESSELLON_SCREENSHOT_DIR="$(windows_path "$work")"
./build/win64/wine_run.sh build/win64/bin/tessellon_dialog_tests.exe --gtest_also_run_disabled_tests \
  --gtest_filter='ScreenshotPicture.DISABLED_HoldsTheFilteredPreviewAtFitAndAt1To1' >"$work/test.log" 2>&1 &
holder_pid=$!

mkdir -p docs
# shoot NAME FILE: waits for the test's rectangle NAME.rect, takes the picture, lets the
# test go on.
shoot() {
  for _ in $(seq 600); do [ -s "$work/$1.rect" ] && break; sleep 0.1; done
  if [ ! -s "$work/$1.rect" ]; then
    echo "the dialog did not get to the $1 picture; the test said:" >&2
    cat "$work/test.log" >&2
    exit 1
  fi
  local geometry
  geometry=$(tr -d '\r\n' <"$work/$1.rect")
  import -display "$DISPLAY" -window root -crop "$geometry" +repage "$2"
  touch "$work/$1.done"
  echo "$2: $(identify -format '%wx%h' "$2")"
}
shoot fit docs/preview-fit.png
shoot 1to1 docs/preview-1to1.png

status=0
wait "$holder_pid" || status=$?
holder_pid=""
if [ "$status" -ne 0 ] || ! grep -q '\[  PASSED  \] 1 test' "$work/test.log"; then
  echo "the test that held the dialog failed:" >&2
  cat "$work/test.log" >&2
  exit 1
fi
