#!/usr/bin/env bash
# The Linux package: tessellon, its manual page, its bash completion and the GEGL
# operation, built natively in Release and packed by CPack into
# dist/tessellon_<version>_amd64.deb, its dependencies computed from the program's
# libraries by dpkg-shlibdeps. Checked by unpacking it: the program runs and names its
# version, the manual page reads, and the Depends line was computed. Needs only what
# the native build needs (scripts/setup.sh native).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh native
# The manual page is checked the way man shows it; minimal systems come without man.
if ! command -v man >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get install -y -qq --no-install-recommends man-db >/dev/null
fi
version=$(sed -n 's/^#define TESSELLON_VERSION "\(.*\)"$/\1/p' resources/version.h)
[ -n "$version" ] || { echo "package: no version in resources/version.h" >&2; exit 1; }
mkdir -p dist
cmake -S . -B build/package-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSELLON_BENCH=OFF -DTESSELLON_TESTS=OFF >/dev/null
# Everything the package installs: the program, its manual and completion, and what
# other parts add to it (the GEGL operation where GEGL is found).
cmake --build build/package-deb
(cd build/package-deb && cpack -G DEB >/dev/null)
deb="tessellon_${version}_amd64.deb"
mv -f "build/package-deb/$deb" "dist/$deb"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "dist/$deb" "$unpacked"
"$unpacked/usr/bin/tessellon" --version | grep -qx "Tessellon $version" ||
  { echo "package: $deb: the program does not run or names another version" >&2; exit 1; }
MANWIDTH=80 man -l "$unpacked/usr/share/man/man1/tessellon.1" 2>/dev/null | grep -q -- '--overlap-x' ||
  { echo "package: $deb: the manual page does not read" >&2; exit 1; }
[ -f "$unpacked/usr/share/bash-completion/completions/tessellon" ] ||
  { echo "package: $deb: no bash completion" >&2; exit 1; }
dpkg-deb -f "dist/$deb" Depends | grep -q 'libpng' ||
  { echo "package: $deb: no computed dependencies" >&2; exit 1; }
echo "dist/$deb"
dpkg-deb -c "dist/$deb" | awk '{print "  " $6}'
echo "  Depends: $(dpkg-deb -f "dist/$deb" Depends)"
