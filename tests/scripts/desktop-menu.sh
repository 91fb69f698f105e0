#!/bin/bash
# The launcher's own place in the desktop menu, as a player meets it: the
# release archive carries no path of the build machine; a launcher of the test
# flavour unpacked from one, in a folder whose name the shell would act on,
# writes its desktop entry and icon into a private home; the entry validates
# and starts that very launcher; a second start rewrites nothing; a start
# after the folder moved rewrites Exec=; a start from the build tree, or one
# not asked to register (as the run command starts it), writes nothing; the
# folder's uninstall script removes exactly what was written. Real launchers
# on a private headless desktop, routed to the stand-in hosts.
#
#   tests/scripts/desktop-menu.sh BUILD_DIR
set -uo pipefail
BUILD=$(realpath "${1:-build}")
SOURCE=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/headless.sh
. "$SOURCE/scripts/lib/headless.sh"
# shellcheck source=scripts/lib/standin.sh
. "$SOURCE/scripts/lib/standin.sh"

ID=io.vorlia.Launcher
failures=()
fail() {
    echo "    FAILED: $*"
    failures+=("$*")
}

work=$(cd -P "$(mktemp -d "${TMPDIR:-/tmp}/vorlia-menu.XXXXXX")" && pwd)
at_exit rm -rf "$work"
at_exit stop_processes_found_by pids_running_from "$work"
headless_start
standin_start "$BUILD" "$work" || die "the stand-in hosts did not start"
mkdir -p "$work/tmp"

# --- The release archive -------------------------------------------------
# Made as the release target makes it, for the production and the test
# flavour; every text file in it is searched for the build's folders.
publish() {
    local app=$1 out=$2
    sh "$SOURCE/packaging/make-release.sh" --development-key "$app" "$out" 1.0 \
        "https://$(cache_value "$BUILD" VORLIA_SITE_HOST)/download/" \
        "$SOURCE/tests/fixtures/DEV-ONLY-manifest-signing.key" "$BUILD/tools/vorlia-publish" >/dev/null
}
echo "=== the release archive"
for flavour in production demo; do
    folder=$BUILD/Vorlia.app
    [ "$flavour" = demo ] && folder=$BUILD/demo/Vorlia.app
    publish "$folder" "$work/release-$flavour" || { fail "$flavour: the release script failed"; continue; }
    mkdir -p "$work/unpacked-$flavour"
    unzip -q "$work/release-$flavour"/Vorlia-*.zip -d "$work/unpacked-$flavour" ||
        fail "$flavour: the archive does not unpack"
    unpacked=$work/unpacked-$flavour/Vorlia.app
    for file in vorlia Info.json $ID.svg $ID.desktop uninstall.sh; do
        [ -f "$unpacked/$file" ] || fail "$flavour: the archive holds no $file"
    done
    [ ! -e "$unpacked/.build-tree" ] || fail "$flavour: the archive carries the build's mark"
    # -I passes over binary files: the executable may name its sources in its debugging notes.
    while read -r path; do
        hits=$(grep -rIlF -- "$path" "$unpacked")
        [ -z "$hits" ] || fail "$flavour: $hits name(s) the build machine's $path"
    done < <(printf '%s\n' "$SOURCE" "$BUILD" "$(realpath "$SOURCE")" | sort -u)
    desktop-file-validate "$unpacked/$ID.desktop" || fail "$flavour: the folder's entry does not validate"
done

# --- Starts --------------------------------------------------------------
LOGS=0
# start HOME APP [SETTING=VALUE...]: starts the test flavour's launcher at APP
# in a private HOME; START_LOG is where it reports the desktop menu's outcome.
start() {
    local home=$1 app=$2
    shift 2
    LOGS=$((LOGS + 1))
    START_LOG=$work/start-$LOGS.log
    (
        private_home "$home"
        exec env TMPDIR="$work/tmp" "${STANDIN_ROUTE[@]}" VORLIA_TEST_LOG="$START_LOG" "$@" "$app/vorlia"
    ) >>"$work/launchers.out" 2>&1 &
    LAUNCHER=$!
}

# The outcome the launcher reported, once it did (within 60 s).
outcome() {
    wait_for_text "$START_LOG" desktopMenu 60 || { echo "none"; return; }
    sed -n 's/.*"desktopMenu":"\([^"]*\)".*/\1/p' "$START_LOG" | head -1
}

# Quits the running launcher as its menu does, and waits until it has gone.
quit() {
    launcher_action quit || fail "the launcher did not take the quit action"
    wait_for_exit "$1" 30 || { fail "the launcher did not quit"; stop_process "$1"; }
}

mtimes() { stat -c '%n %y' "$@" 2>&1; }

# The value of KEY in the [Desktop Entry] group of FILE.
entry_value() {
    awk -v key="$2" '/^\[/ { main = ($0 == "[Desktop Entry]") }
        main && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }' "$1"
}

HOME1=$work/home
DATA=$HOME1/data
ENTRY=$DATA/applications/$ID.desktop
ICON=$DATA/icons/hicolor/scalable/apps/$ID.svg
P="$work/My Games' \"x\" \$HOME"
A="$P/Vorlia.app"
mkdir -p "$P"
cp -a "$work/unpacked-demo/Vorlia.app" "$A"

echo "=== a fresh application folder writes its entry and icon"
start "$HOME1" "$A" VORLIA_DESKTOP_MENU=1
first=$LAUNCHER
got=$(outcome)
[ "$got" = written ] || fail "the first start's outcome was \"$got\", not \"written\""
[ -f "$ENTRY" ] && [ -f "$ICON" ] || fail "no entry or icon in $DATA: $(find "$DATA" -type f | grep -v /vorlia/)"
desktop-file-validate "$ENTRY" || fail "the written entry does not validate"
cmp -s "$ICON" "$A/$ID.svg" || fail "the icon is not the folder's"
for key in Name Categories StartupWMClass Icon; do
    [ "$(entry_value "$ENTRY" "$key")" = "$(entry_value "$A/$ID.desktop" "$key")" ] ||
        fail "$key differs from the folder's entry"
done
# Docks group the window with the entry: by class on X11, by application id
# (the entry's name) everywhere.
class=$(entry_value "$ENTRY" StartupWMClass)
found=""
for window in $(xdotool search --pid "$first" 2>/dev/null); do
    props=$(xprop -id "$window" WM_CLASS _GTK_APPLICATION_ID 2>/dev/null)
    grep -qF "_GTK_APPLICATION_ID(UTF8_STRING) = \"$ID\"" <<<"$props" || continue
    found=1
    grep -qF "WM_CLASS(STRING) = \"$class\", \"$class\"" <<<"$props" ||
        fail "the window's class does not match StartupWMClass=$class: $props"
done
[ -n "$found" ] || fail "no window of the launcher carries the application id $ID"
quit "$first"
before=$(mtimes "$ENTRY" "$ICON")

echo "=== the entry starts that launcher, and a second start rewrites nothing"
sleep 1 # a rewrite would show in the times even on a coarse file system
(
    private_home "$HOME1"
    cd "$work" && exec env TMPDIR="$work/tmp" "${STANDIN_ROUTE[@]}" VORLIA_TEST_LOG="$work/start-gio.log" \
        VORLIA_DESKTOP_MENU=1 gio launch "$ENTRY"
) >>"$work/launchers.out" 2>&1 || fail "gio could not launch the entry"
START_LOG=$work/start-gio.log
got=$(outcome)
[ "$got" = "up to date" ] || fail "the second start's outcome was \"$got\", not \"up to date\""
second=$(pids_running_from "$P" | head -1)
[ -n "$second" ] || fail "the entry did not start $A/vorlia"
[ "$(mtimes "$ENTRY" "$ICON")" = "$before" ] || fail "the second start rewrote: $(mtimes "$ENTRY" "$ICON")"
[ -z "$second" ] || quit "$second"

echo "=== a start after the folder moved rewrites Exec="
M="$work/Moved Games"
mv "$P" "$M"
start "$HOME1" "$M/Vorlia.app" VORLIA_DESKTOP_MENU=1
got=$(outcome)
[ "$got" = written ] || fail "the start after the move gave \"$got\", not \"written\""
exec_line=$(entry_value "$ENTRY" Exec)
[ "$exec_line" = "\"$M/Vorlia.app/vorlia\"" ] || fail "Exec= is $exec_line after the move"
desktop-file-validate "$ENTRY" || fail "the rewritten entry does not validate"
[ "$(mtimes "$ICON")" = "$(sed -n 2p <<<"$before")" ] || fail "the unchanged icon was rewritten"
quit "$LAUNCHER"

echo "=== the build tree, and a launcher not asked to register, write nothing"
start "$work/home-build" "$BUILD/demo/Vorlia.app" VORLIA_DESKTOP_MENU=1
build_launcher=$LAUNCHER
at_exit stop_process "$build_launcher"
got=$(outcome)
[ "$got" = "not registered" ] || fail "the build tree's launcher gave \"$got\""
quit "$build_launcher"
cp -a "$work/unpacked-demo/Vorlia.app" "$work/Plain.app"
start "$work/home-plain" "$work/Plain.app"
got=$(outcome)
[ "$got" = "not registered" ] || fail "a launcher not asked to register gave \"$got\""
quit "$LAUNCHER"
for home in home-build home-plain; do
    left=$(find "$work/$home/data" \( -path "*/applications*" -o -path "*/icons*" \) 2>/dev/null)
    [ -z "$left" ] || fail "$home has menu files: $left"
done

echo "=== an entry that cannot be written: not registered, and nothing logged"
mkdir -p "$work/home-unwritable/data"
: >"$work/home-unwritable/data/applications" # a file where the folder must go
mark=$(wc -l <"$work/launchers.out")
start "$work/home-unwritable" "$work/Plain.app" VORLIA_DESKTOP_MENU=1
got=$(outcome)
[ "$got" = "not registered" ] || fail "a menu entry that cannot be written gave \"$got\""
quit "$LAUNCHER"
said=$(tail -n +$((mark + 1)) "$work/launchers.out" | grep -F "$work/home-unwritable")
[ -z "$said" ] || fail "the failure was logged: $said"

echo "=== the uninstall script removes exactly what the launcher wrote"
mkdir -p "$DATA/icons/hicolor/48x48/apps"
echo "[Desktop Entry]" >"$DATA/applications/users-own.desktop"
cp "$ICON" "$DATA/icons/hicolor/scalable/apps/users-own.svg"
cp "$ICON" "$DATA/icons/hicolor/48x48/apps/$ID.svg"
list() { find "$DATA/applications" "$DATA/icons" "$DATA/vorlia" | sort; }
expected=$(list | grep -vxF -e "$ENTRY" -e "$ICON")
said=$( (private_home "$HOME1" && sh "$M/Vorlia.app/uninstall.sh") 2>&1) || fail "uninstall.sh failed: $said"
[ "$(list)" = "$expected" ] || fail "uninstall.sh took or left other files: $(diff <(echo "$expected") <(list))"
grep -qF "$M/Vorlia.app" <<<"$said" || fail "uninstall.sh does not say which folder to delete: $said"
grep -qF "$DATA/vorlia" <<<"$said" || fail "uninstall.sh does not say where the player's data is: $said"
# An entry of the player's own under the launcher's name is not the launcher's to remove.
printf '[Desktop Entry]\nType=Application\nName=Mine\nExec=mine\n' >"$ENTRY"
(private_home "$HOME1" && sh "$M/Vorlia.app/uninstall.sh") >/dev/null 2>&1
[ -f "$ENTRY" ] || fail "uninstall.sh removed an entry the launcher did not write"

if [ ${#failures[@]} -gt 0 ]; then
    echo "desktop menu: failed"
    exit 1
fi
echo "desktop menu: written, validated, kept, moved, refused from the build tree, and uninstalled"
