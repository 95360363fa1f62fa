#!/usr/bin/env bash
# The main job: installs what is missing, builds the Windows module and the native
# build, and shows where the module is and what its About box says.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target tessellon
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target Tessellon

echo
echo "Windows module: $(pwd)/build/win32/bin/Tessellon.8bf"
echo "About box (native build):"
./build/native/bin/tessellon --about 2>&1 | sed 's/^/    /'
