#!/usr/bin/env bash
# Installs tessellon on this Debian or Ubuntu machine from this tree, as a package:
# builds dist/tessellon_<version>_amd64.deb (scripts/package_deb.sh) and installs it with
# apt-get, which brings the libraries it needs. It installs the program, its manual page,
# its bash completion and the GEGL operation GIMP uses; `apt-get remove tessellon` takes
# them away again.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/package_deb.sh
version=$(sed -n 's/^#define TESSELLON_VERSION "\(.*\)"$/\1/p' resources/version.h)
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y "./dist/tessellon_${version}_amd64.deb"
echo "Installed: $(command -v tessellon) ($(tessellon --version)); see man tessellon"
