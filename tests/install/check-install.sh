#!/usr/bin/env bash
# Installs the build into a fresh prefix, as a user would into ~/.local, and
# checks it the way a desktop reads it: the entry and the metadata pass their
# validators, and the installed window finds the installed worker beside it.
# Usage: check-install.sh CMAKE BUILD_DIR APP_ID VERSION
set -euo pipefail
cmake=$1 build=$2 id=$3 version=$4

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
need() {
  command -v "$1" >/dev/null || fail "$1 is missing (scripts/install-deps.sh installs it)"
}
need desktop-file-validate
need appstreamcli

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"

for program in kestrovideo kestroconvert; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed"
done
desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
icon=$prefix/share/icons/hicolor/scalable/apps/$id.svg
for file in "$desktop" "$metainfo" "$icon"; do
  [ -f "$file" ] || fail "${file#"$prefix"/} is not installed"
done

desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $id.desktop"
grep -qx 'Exec=kestrovideo %F' "$desktop" || fail "$id.desktop does not hand its files to kestrovideo"
grep -qx "Icon=$id" "$desktop" || fail "$id.desktop does not name the icon $id"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli refuses $id.metainfo.xml"
grep -q "<release version=\"$version\"" "$metainfo" || fail "$id.metainfo.xml has no release $version"
grep -q '<svg' "$icon" || fail "$id.svg is not an SVG picture"

# The window says which worker it would run; it must be the one installed with it.
said=$(QT_QPA_PLATFORM=offscreen timeout 60 "$prefix/bin/kestrovideo" --version) ||
  fail "the installed kestrovideo --version failed"
echo "$said"
grep -qx "Worker program: $prefix/bin/kestroconvert" <<<"$said" ||
  fail "the installed kestrovideo does not find the installed kestroconvert beside it"
QT_QPA_PLATFORM=offscreen timeout 60 "$prefix/bin/kestrovideo" --no-such-option 2>"$prefix/said" &&
  fail "the installed kestrovideo took an unknown option"
grep -q "kestrovideo: unknown option '--no-such-option'" "$prefix/said" ||
  fail "the installed kestrovideo does not name the unknown option: $(cat "$prefix/said")"
timeout 60 "$prefix/bin/kestroconvert" --version >/dev/null ||
  fail "the installed kestroconvert does not start"
echo "installed and valid: $prefix"
