#!/bin/bash
# The README's run command shows a whole update: the demo launcher, started
# from a copy of the demo application folder, is offered a newer version of
# the same build, accepts it with a real key press, and the new version starts
# from that same folder while the first run command still serves it; the
# build's own folders stay as they were. With --no-update nothing is offered.
# Both on a private headless desktop.
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

# The build's application folder: what lies beside it, and every file in it.
fingerprint() {
    ls -a "$BUILD/demo"
    (cd "$BUILD/demo/Vorlia.app" && find . -type f -exec sha256sum {} + | sort)
}

demo=""
show_demo() {
    sed 's/^/    /' "$work/demo.out"
    sed 's/^/    alert: /' "$VORLIA_TEST_LOG"
}
fail() {
    show_demo
    die "$@"
}
# Runs the run command with ARGS... in a D-Bus session of its own, once it has
# built; sets app (the demo's application folder) and log (the hosts' request log).
start_demo() {
    : >"$VORLIA_TEST_LOG"
    headless_bus_start
    bash "$ROOT/scripts/demo.sh" "$@" "$BUILD" >"$work/demo.out" 2>&1 &
    demo=$!
    at_exit stop_process "$demo"
    wait_for_text "$work/demo.out" "playing from " 600 || fail "the demo never started its launcher"
    app=$(sed -n 's/^demo: playing from //p' "$work/demo.out")
    log=$(sed -n 's/.*request log: //p' "$work/demo.out")
}
# Quits whichever launcher runs, then expects the run command to end clean.
end_demo() {
    launcher_action quit || true
    wait_for_exit "$demo" 60 || fail "the run command did not end with the launcher"
    local status=0
    wait "$demo" || status=$?
    [ "$status" -eq 0 ] || fail "the run command exited with status $status"
    [ -z "$(pids_running_from "$(dirname "$app")")" ] || fail "a launcher outlived the run command"
    ! pgrep -f -- "--log $log" >/dev/null || fail "the stand-in hosts outlived the launcher"
    [ ! -e "$(dirname "$app")" ] || fail "the run command left $(dirname "$app") behind"
    [ "$(fingerprint)" = "$before" ] || fail "the build's application folder changed"
}

# --- the whole update -------------------------------------------------------------
start_demo
# Once the demo has built, before anything is accepted.
before=$(fingerprint)
newer=$(sed -n 's/^demo: the site offers version \([^;]*\);.*/\1/p' "$work/demo.out")
[ -n "$newer" ] || fail "the demo offers no newer version"
wait_for_text "$VORLIA_TEST_LOG" "\"alert\":\"New version $newer available\"" 90 ||
    fail "version $newer was never offered"
headless_key_in_dialog Return || fail "could not accept the offer"
wait_for_text "$log" "VRLLauncher/$newer" 120 || fail "version $newer never loaded the game"
grep -qF "\"CFBundleShortVersionString\": \"$newer\"" "$app/Info.json" ||
    fail "the demo's application folder is not version $newer"
pid_running "$app/vorlia" >/dev/null || fail "nothing runs from $app/vorlia"
running "$demo" || fail "the run command ended with the first launcher"
! file_has "$VORLIA_TEST_LOG" '"alert":"Update failed"' || fail "a failure was shown"
end_demo
echo "run command: version $newer was offered, installed and started from the demo's own folder"

# --- no offer ------------------------------------------------------------------------
start_demo --no-update
wait_for_text "$log" '"path":"/download/version.json.sig"' 90 || fail "the update check never ran"
# The automatic check has asked; one on request answers for the same site.
launcher_action check-updates
wait_for_text "$VORLIA_TEST_LOG" "You have the latest version (" 60 || fail "the check on request said nothing"
! file_has "$VORLIA_TEST_LOG" '"alert":"New version' || fail "an update was offered with --no-update"
headless_key_in_dialog Return || fail "could not close the notice"
end_demo
echo "run command --no-update: no offer"
