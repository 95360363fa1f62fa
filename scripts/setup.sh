#!/usr/bin/env bash
# Installs everything the builds and tests need on a fresh Debian machine.
# Safe to run again: packages already present are skipped.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

native_pkgs=(build-essential cmake ninja-build googletest libgtest-dev libbenchmark-dev
             libpng-dev libjpeg62-turbo-dev libwebp-dev libtiff-dev pkg-config libstb-dev liblcms2-dev)
win_pkgs=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          wine wine32:i386 wine64 xvfb xauth zip unzip)
# The fuzz targets: clang and its runtime libraries (libFuzzer, the sanitizers).
fuzz_pkgs=(clang libclang-rt-14-dev)
# The command-line host's end-to-end timing (bench/end_to_end.sh): hyperfine for the
# times, GNU time for the peak memory.
bench_pkgs=(hyperfine time)
# The GEGL operation (tessellon-gegl.so): GEGL's headers, and the gegl program its tests run.
gegl_pkgs=(libgegl-dev gegl)

# `setup.sh native`: only what the native build (tessellon and its tests) needs.
if [ "${1:-}" = native ]; then
  wanted=("${native_pkgs[@]}" "${gegl_pkgs[@]}")
else
  wanted=("${native_pkgs[@]}" "${win_pkgs[@]}" "${fuzz_pkgs[@]}" "${bench_pkgs[@]}" "${gegl_pkgs[@]}")
fi
for p in "${wanted[@]}"; do have "$p" || need+=("$p"); done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if [ "${1:-}" != native ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
