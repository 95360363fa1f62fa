#!/usr/bin/env bash
# Installs the Linux package the way a user does, on a Debian 12 that has nothing else:
# a minimal root made by debootstrap, copied fresh for every check, then
#   apt-get install ./tessellon_<version>_amd64.deb
# inside it. Apt fetches only the dependencies the package computed for itself. The
# installed program then tiles the bundled sample, and `man tessellon` shows its page.
#
#   ./scripts/check_deb.sh [dist/tessellon_<version>_amd64.deb]
#
# Needs root and Debian's package servers; it is not part of the test command. The base
# root is kept in build/deb-root/base so a second check starts in seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

version=$(sed -n 's/^#define TESSELLON_VERSION "\(.*\)"$/\1/p' resources/version.h)
deb=${1:-dist/tessellon_${version}_amd64.deb}
[ -f "$deb" ] || { echo "check_deb: $deb does not exist; ./scripts/package.sh makes it" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "check_deb: needs root (chroot, mount)" >&2; exit 1; }

command -v debootstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null; }

base=build/deb-root/base
if [ ! -x "$base/usr/bin/apt-get" ]; then
  echo "== a minimal Debian 12 root (debootstrap, once)"
  rm -rf "$base.partial"
  debootstrap --variant=minbase bookworm "$base.partial" http://deb.debian.org/debian >/dev/null
  mv "$base.partial" "$base"
fi

root=$(mktemp -d build/deb-root/check.XXXXXX)
cleanup() {
  umount "$root/dev/pts" "$root/proc" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT
cp -a "$base/." "$root/"
mount -t proc proc "$root/proc"
mkdir -p "$root/dev/pts"
mount -t devpts devpts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
cp data/meadow.jpg "$root/tmp/"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== apt-get install ./$(basename "$deb") in a fresh root"
in_root apt-get update -qq
# man-db is what a user reads the page with; the minimal root has none.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq man-db >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y "/tmp/$(basename "$deb")" | tail -n 3

echo "== the installed program"
in_root tessellon --version
in_root sh -c 'cd /tmp && tessellon meadow.jpg tile.png && ls -l tile.png'
cmp -s -n 8 "$root/tmp/tile.png" <(printf '\211PNG\r\n\032\n') ||
  { echo "check_deb: the tile is not a PNG" >&2; exit 1; }
echo "== man tessellon"
page=$(in_root env MANWIDTH=80 MANPAGER=cat man tessellon 2>/dev/null)
grep -q -- '--overlap-x' <<<"$page" || { echo "check_deb: man tessellon shows no page" >&2; exit 1; }
head -n 12 <<<"$page"
echo "== bash completion"
in_root test -f /usr/share/bash-completion/completions/tessellon
echo "check_deb: $(basename "$deb") installs and runs on a fresh Debian 12"
