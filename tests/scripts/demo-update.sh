#!/bin/bash
# The README's run command shows a whole update: the demo launcher, started
# from a copy of the demo application folder, is offered a newer version of
# the same build, accepts it with a real key press, and the new version starts
# from that same folder; the build's own folders stay as they were. With
# --no-update nothing is offered. Both on a private headless desktop.
#
#   tests/scripts/demo-update.sh BUILD_DIR
set -euo pipefail
BUILD=$(realpath "${1:-build}")
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/headless.sh
. "$ROOT/scripts/lib/headless.sh"
work=$(mktemp -d)
at_exit rm -rf "$work"
headless_start
private_home "$work/home"
export TMPDIR="$work/tmp" VORLIA_TEST_LOG="$work/alerts.log"
mkdir -p "$TMPDIR"

fingerprint() { (cd "$BUILD/demo/Vorlia.app" && find . -type f -exec sha256sum {} + | sort); }
before=$(fingerprint)

demo=""
show_demo() { sed 's/^/    /' "$work/demo.out"; }
start_demo() {
    : >"$VORLIA_TEST_LOG"
    bash "$ROOT/scripts/demo.sh" "$@" "$BUILD" >"$work/demo.out" 2>&1 &
    demo=$!
    at_exit stop_process "$demo"
    wait_for_text "$work/demo.out" "playing from " 600 || { show_demo; die "the demo never started its launcher"; }
    app=$(sed -n 's/^demo: playing from //p' "$work/demo.out")
    log=$(sed -n 's/.*request log: //p' "$work/demo.out")
}
# Quits whichever launcher runs, then expects the run command to end clean.
end_demo() {
    launcher_action quit || true
    wait_for_exit "$demo" 60 || { show_demo; die "the run command did not end with the launcher"; }
    local status=0
    wait "$demo" || status=$?
    [ "$status" -eq 0 ] || { show_demo; die "the run command exited with status $status"; }
    [ ! -e "$(dirname "$app")" ] || die "the run command left $(dirname "$app") behind"
    pgrep -f -- "--log $log" >/dev/null && die "the stand-in hosts outlived the launcher"
    [ "$(fingerprint)" = "$before" ] || die "the build's application folder changed"
    return 0
}

# --- the whole update -------------------------------------------------------------
start_demo
newer=$(sed -n 's/^demo: the site offers version \([^;]*\);.*/\1/p' "$work/demo.out")
[ -n "$newer" ] || { show_demo; die "the demo offers no newer version"; }
wait_for_text "$VORLIA_TEST_LOG" "\"alert\":\"New version $newer available\"" 90 ||
    { cat "$VORLIA_TEST_LOG"; die "version $newer was never offered"; }
sleep 1
timeout 10 xdotool key --clearmodifiers Return
wait_for_text "$log" "VRLLauncher/$newer" 120 || { show_demo; die "version $newer never loaded the game"; }
grep -qF "\"CFBundleShortVersionString\": \"$newer\"" "$app/Info.json" ||
    die "the demo's application folder is not version $newer"
runs_from_app() {
    local pid
    for pid in $(pids_with_setting VORLIA_DEMO_RUN "$(dirname "$app")"); do
        [ "$(readlink "/proc/$pid/exe")" = "$app/vorlia" ] && return 0
    done
    return 1
}
runs_from_app || die "nothing runs from $app/vorlia"
grep -q '"alert":"Update failed"' "$VORLIA_TEST_LOG" && die "a failure was shown: $(cat "$VORLIA_TEST_LOG")"
end_demo
echo "run command: version $newer was offered, installed and started from the demo's own folder"

# --- no offer ------------------------------------------------------------------------
start_demo --no-update
wait_for_text "$log" '"path":"/download/version.json.sig"' 90 || { show_demo; die "the update check never ran"; }
sleep 2
grep -q '"alert"' "$VORLIA_TEST_LOG" && die "an alert was shown without an update: $(cat "$VORLIA_TEST_LOG")"
end_demo
echo "run command --no-update: no offer"
