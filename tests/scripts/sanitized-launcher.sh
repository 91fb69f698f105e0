#!/bin/bash
# The whole launcher built with address and undefined-behaviour sanitizers:
# it starts under Xvfb, loads the stand-in start page, runs a menu update
# check (through the application's exported actions, as the menu does), and
# quits; no sanitizer may report anything from the launcher's own code.
set -euo pipefail
BUILD=$1
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
ASAN_BUILD="${BUILD}-asan"
cmake -S "$ROOT" -B "$ASAN_BUILD" -G Ninja -DVORLIA_SANITIZE=ON >/dev/null
ninja -C "$ASAN_BUILD" vorlia_demo >/dev/null
ninja -C "$BUILD" vorlia-standin >/dev/null

work=$(mktemp -d)
export VORLIA_WORK=$work VORLIA_ASAN_LAUNCHER="$ASAN_BUILD/demo/Vorlia.app/vorlia" VORLIA_BUILD="$BUILD"
trap 'rm -rf "$work"' EXIT

dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1080x24" bash -euo pipefail -c '
    export GDK_BACKEND=x11 NO_AT_BRIDGE=1 HOME="$VORLIA_WORK/home" XDG_DATA_HOME="$VORLIA_WORK/home/data"
    export XDG_CACHE_HOME="$VORLIA_WORK/home/cache" XDG_STATE_HOME="$VORLIA_WORK/home/state"
    mkdir -p "$HOME"
    openbox >/dev/null 2>&1 &
    "$VORLIA_BUILD/tools/vorlia-standin" --log "$VORLIA_WORK/requests.log" >"$VORLIA_WORK/ports" &
    hosts=$!
    trap "kill $hosts 2>/dev/null || true" EXIT
    for _ in $(seq 100); do [ -s "$VORLIA_WORK/ports" ] && break; sleep 0.1; done
    proxy=$(sed -n "s/.*\"proxy\":\([0-9][0-9]*\).*/\1/p" "$VORLIA_WORK/ports")

    ASAN_OPTIONS="detect_leaks=1:log_path=$VORLIA_WORK/asan:halt_on_error=0" \
    UBSAN_OPTIONS="print_stacktrace=1:log_path=$VORLIA_WORK/ubsan" \
    LSAN_OPTIONS="report_objects=0" \
    VORLIA_STANDIN_PROXY="http://127.0.0.1:$proxy" VORLIA_STANDIN_CERT="$VORLIA_BUILD/standin/standin-cert.pem" \
        "$VORLIA_ASAN_LAUNCHER" &
    launcher=$!

    seen() { grep -q "$1" "$VORLIA_WORK/requests.log" 2>/dev/null; }
    for _ in $(seq 600); do seen "/act_web_tiyan/index.html" && break; sleep 0.1; done
    seen "/act_web_tiyan/index.html" || { echo "the start page was never requested"; exit 1; }
    sleep 3

    # "Check for Updates…", then answer whatever alert it shows, then quit.
    gdbus call --session --dest io.vorlia.Launcher --object-path /io/vorlia/Launcher \
        --method org.gtk.Actions.Activate check-updates "[]" "{}" >/dev/null
    for _ in $(seq 100); do seen "version.json" && break; sleep 0.1; done
    sleep 3
    xdotool key --clearmodifiers Escape || true
    sleep 1
    gdbus call --session --dest io.vorlia.Launcher --object-path /io/vorlia/Launcher \
        --method org.gtk.Actions.Activate quit "[]" "{}" >/dev/null
    for _ in $(seq 300); do kill -0 $launcher 2>/dev/null || break; sleep 0.1; done
    if kill -0 $launcher 2>/dev/null; then echo "the launcher did not quit"; kill -9 $launcher; exit 1; fi
    wait $launcher || { echo "the launcher exited with status $?"; exit 1; }
'

# Errors anywhere fail; leaks count only when the launcher's own code allocated them.
status=0
for report in "$work"/asan.* "$work"/ubsan.*; do
    [ -e "$report" ] || continue
    if grep -q "ERROR: AddressSanitizer\|runtime error:" "$report"; then
        echo "sanitizer error:"; cat "$report"; status=1
    elif awk -v root="$ROOT/src/" '
            /^(Direct|Indirect) leak/ { inleak = 1; next }
            inleak && /^$/ { inleak = 0 }
            inleak && index($0, root) { found = 1 }
            END { exit found ? 0 : 1 }' "$report"; then
        echo "leak from the launcher's own code:"; cat "$report"; status=1
    fi
done
[ $status -eq 0 ] && echo "sanitized launcher: started, loaded the start page, checked for updates, quit cleanly"
exit $status
