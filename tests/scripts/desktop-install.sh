#!/bin/bash
# Stages an install of the build (DESTDIR), validates the desktop entry and the
# AppStream metainfo, then uninstalls and checks that exactly what install
# wrote is gone.
set -euo pipefail
BUILD=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
installed=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")
export DESTDIR="$work/stage"
prefix="$DESTDIR$installed"
DESTDIR="$DESTDIR" cmake --install "$BUILD" >/dev/null

fail() { echo "FAIL: $*"; exit 1; }
app="$prefix/lib/vorlia/Vorlia.app"
[ -x "$app/vorlia" ] || fail "no executable in the application folder"
[ -f "$app/Info.json" ] || fail "no Info.json in the application folder"
desktop="$prefix/share/applications/io.vorlia.Launcher.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx "Categories=Game;" "$desktop" || fail "desktop entry is not in the Game category"
grep -qx "Exec=$installed/lib/vorlia/Vorlia.app/vorlia" "$desktop" || fail "desktop entry does not start the installed launcher"
for size in 48x48 64x64 128x128 256x256; do
    [ -f "$prefix/share/icons/hicolor/$size/apps/io.vorlia.Launcher.png" ] || fail "no $size icon"
done
[ -f "$prefix/share/icons/hicolor/scalable/apps/io.vorlia.Launcher.svg" ] || fail "no scalable icon"
desktop-file-validate "$desktop"
desktop-file-validate "$app/io.vorlia.Launcher.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/io.vorlia.Launcher.metainfo.xml"

# Something of the user's own beside it must survive the uninstall.
echo keep >"$prefix/share/applications/users-own.desktop"
ninja -C "$BUILD" uninstall >/dev/null
left=$(find "$prefix" -type f | sort)
[ "$left" = "$prefix/share/applications/users-own.desktop" ] || fail "uninstall left or took files: $left"
[ ! -e "$prefix/lib/vorlia" ] || fail "uninstall left the application folder"
echo "desktop installation: installed, validated and uninstalled"
