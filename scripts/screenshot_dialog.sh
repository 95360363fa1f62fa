#!/usr/bin/env bash
# Takes docs/dialog.png: the filter dialog of the built module, open under wine on a
# virtual display, as a person sees it. A test of the dialog suite (left out of normal
# runs) opens the dialog through the module's entry point, moves a few controls, writes
# the dialog's screen rectangle to a file and holds the dialog open until the picture
# has been taken.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
if ! command -v import >/dev/null 2>&1; then
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
  touch "$work/done"
  [ -n "$holder_pid" ] && wait "$holder_pid" 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=":${display_number}"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display_number}" ] && break; sleep 0.1; done

# Without a window manager wine draws the windows' frames and captions itself only when
# they are unmanaged, as the build's wine prefix is meant to have it (cmake/wine_run.sh.in
# sets it when it creates the prefix; an older prefix may lack it).
./build/win64/wine_run.sh reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true

# The test program sees this machine's files through wine's Z: drive.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export TESSELLON_SCREENSHOT_RECT="$(windows_path "$work/rect.txt")"
export TESSELLON_SCREENSHOT_DONE="$(windows_path "$work/done")"
./build/win64/wine_run.sh build/win64/bin/tessellon_dialog_tests.exe --gtest_also_run_disabled_tests \
  --gtest_filter='FilterDialog.DISABLED_HoldsTheDialogOpenForAScreenshot' >"$work/test.log" 2>&1 &
holder_pid=$!

for _ in $(seq 600); do [ -s "$work/rect.txt" ] && break; sleep 0.1; done
if [ ! -s "$work/rect.txt" ]; then
  echo "the dialog did not open; the test said:" >&2
  cat "$work/test.log" >&2
  exit 1
fi
geometry=$(tr -d '\r\n' <"$work/rect.txt")
mkdir -p docs
import -display "$DISPLAY" -window root -crop "$geometry" +repage docs/dialog.png
touch "$work/done"
wait "$holder_pid"
holder_pid=""
echo "docs/dialog.png: $(identify -format '%wx%h' docs/dialog.png)"
