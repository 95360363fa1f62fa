#!/usr/bin/env bash
# Builds the 32-bit and the 64-bit Windows module in Release and writes the release
# archive dist/Tessellon-<version>-windows.zip (and the Linux package, scripts/package_deb.sh):
#   x86/Tessellon.8bf   x64/Tessellon.8bf   INSTALL.txt   USING.txt   LICENSE.txt
#   CHANGELOG.txt (this version's section)   SHA256SUMS
# Before it packs, it checks each module: a DLL of the right machine (PE32 i386 in
# x86/, PE32+ x86-64 in x64/) whose only export is ENTRYPOINT. The archive is written
# to a temporary file beside it and renamed into place when complete.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

version=$(sed -n 's/^#define TESSELLON_VERSION "\(.*\)"$/\1/p' resources/version.h)
[ -n "$version" ] || { echo "package: no version in resources/version.h" >&2; exit 1; }
name="Tessellon-$version-windows"

for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target Tessellon
done

# check_module FILE OBJDUMP FORMAT MAGIC: the file's format and optional-header magic,
# the DLL flag, and an export table holding exactly ENTRYPOINT.
check_module() {
  local file=$1 objdump=$2 format=$3 magic=$4 headers exports
  headers=$("$objdump" -p "$file")
  grep -q "file format $format\$" <<<"$headers" || { echo "package: $file is not $format" >&2; return 1; }
  grep -Eq "^Magic[[:space:]]+$magic([[:space:]]|\$)" <<<"$headers" ||
    { echo "package: $file: optional header is not $magic" >&2; return 1; }
  sed -n '/^Characteristics/,/^$/p' <<<"$headers" | grep -Eq '^[[:space:]]+DLL$' ||
    { echo "package: $file is not a DLL" >&2; return 1; }
  exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | sed '1d;/^$/d')
  if [ "$(wc -l <<<"$exports")" -ne 1 ] || ! grep -q '\] ENTRYPOINT$' <<<"$exports"; then
    echo "package: $file must export ENTRYPOINT only; exports:" >&2
    echo "$exports" >&2
    return 1
  fi
}
check_module build/win32/bin/Tessellon.8bf i686-w64-mingw32-objdump pei-i386 010b
check_module build/win64/bin/Tessellon.8bf x86_64-w64-mingw32-objdump pei-x86-64 020b

mkdir -p dist
stage=$(mktemp -d "dist/.$name.XXXXXX")
partial="dist/.$name.$$.partial.zip"
trap 'rm -rf "$stage" "$partial"' EXIT
mkdir -p "$stage/$name/x86" "$stage/$name/x64"
cp build/win32/bin/Tessellon.8bf "$stage/$name/x86/"
cp build/win64/bin/Tessellon.8bf "$stage/$name/x64/"
# Texts with Windows line ends and .txt names, for the editors' users: how to install
# (step by step per editor), what each control does, the licence, and this version's
# own section of the changelog (a release never carries "Unreleased").
sed "s/@VERSION@/$version/; s/\$/\r/" docs/INSTALL.txt >"$stage/$name/INSTALL.txt"
sed "s/@VERSION@/$version/; s/\$/\r/" docs/USING.txt >"$stage/$name/USING.txt"
sed 's/$/\r/' LICENSE >"$stage/$name/LICENSE.txt"
changes=$(awk -v v="$version" '/^## /{on = index($0, "## " v " ") == 1 || $0 == "## " v} on' CHANGELOG.md)
[ -n "$changes" ] || { echo "package: CHANGELOG.md has no section for $version" >&2; exit 1; }
{ echo "Tessellon $version: changes"; echo; printf '%s\n' "$changes" | sed '1d'; } | sed 's/$/\r/' \
  >"$stage/$name/CHANGELOG.txt"
# Checksums of every file, as sha256sum -c and PowerShell's Get-FileHash read them.
(cd "$stage/$name" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
  xargs sha256sum >SHA256SUMS)
# Same times for every file, no extra attributes: the same tree gives the same archive.
find "$stage/$name" -exec touch -d "@$(git log -1 --format=%ct 2>/dev/null || echo 0)" {} +
(cd "$stage" && zip -q -X -r "../$(basename "$partial")" "$name")
sync -f "$partial" 2>/dev/null || sync
mv -f "$partial" "dist/$name.zip"
echo "dist/$name.zip"
# The archive as a user gets it: the listed files, CRLF in every text, no bare LF, and
# checksums that match.
check=$(mktemp -d)
(cd "$check" && unzip -q "$OLDPWD/dist/$name.zip")
for f in INSTALL.txt USING.txt LICENSE.txt CHANGELOG.txt SHA256SUMS x86/Tessellon.8bf x64/Tessellon.8bf; do
  [ -f "$check/$name/$f" ] || { echo "package: the archive lacks $f" >&2; rm -rf "$check"; exit 1; }
done
for f in "$check/$name"/*.txt; do
  if [ "$(grep -c $'\r$' "$f")" -ne "$(wc -l <"$f")" ]; then
    echo "package: $(basename "$f") has lines without CRLF" >&2; rm -rf "$check"; exit 1
  fi
done
grep -q "Unreleased" "$check/$name/CHANGELOG.txt" &&
  { echo "package: CHANGELOG.txt holds the unreleased section" >&2; rm -rf "$check"; exit 1; }
(cd "$check/$name" && sha256sum --quiet -c SHA256SUMS) ||
  { echo "package: checksums do not match" >&2; rm -rf "$check"; exit 1; }
rm -rf "$check"
unzip -l "dist/$name.zip" | sed -n '4,$p' | sed '$d' | sed '$d'

# The Linux package.
./scripts/package_deb.sh
