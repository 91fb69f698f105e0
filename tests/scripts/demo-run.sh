#!/bin/bash
# The README's run command under Xvfb: the demo launcher plays the stand-in
# start page with every gated check passing, and when the launcher quits (as
# its menu quits it) the command ends and takes the stand-in hosts and its
# temporary folder with it.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VORLIA_WORK=$work VORLIA_ROOT=$ROOT

dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1080x24" bash -euo pipefail -c '
    export GDK_BACKEND=x11 NO_AT_BRIDGE=1 HOME="$VORLIA_WORK/home" XDG_DATA_HOME="$VORLIA_WORK/home/data"
    export XDG_CACHE_HOME="$VORLIA_WORK/home/cache" XDG_STATE_HOME="$VORLIA_WORK/home/state"
    mkdir -p "$HOME"
    bash "$VORLIA_ROOT/scripts/demo.sh" >"$VORLIA_WORK/demo.out" 2>&1 &
    demo=$!

    for _ in $(seq 3000); do grep -q "request log:" "$VORLIA_WORK/demo.out" && break; sleep 0.1; done
    log=$(sed -n "s/.*request log: //p" "$VORLIA_WORK/demo.out")
    [ -n "$log" ] || { echo "the demo never started its hosts"; cat "$VORLIA_WORK/demo.out"; exit 1; }
    for _ in $(seq 600); do grep -q "/act_web_tiyan/report" "$log" 2>/dev/null && break; sleep 0.1; done
    report=$(grep "/act_web_tiyan/report" "$log" || true)
    [ -n "$report" ] || { echo "the start page never reported its checks"; cat "$log"; exit 1; }
    for check in xhr fetch websocket; do
        echo "$report" | grep -q "\\\\\"$check\\\\\":{\\\\\"passed\\\\\":true" ||
            { echo "the $check check did not pass: $report"; exit 1; }
    done

    gdbus call --session --dest io.vorlia.Launcher --object-path /io/vorlia/Launcher \
        --method org.gtk.Actions.Activate quit "[]" "{}" >/dev/null
    for _ in $(seq 300); do kill -0 $demo 2>/dev/null || break; sleep 0.1; done
    if kill -0 $demo 2>/dev/null; then echo "the run command did not end with the launcher"; exit 1; fi
    wait $demo || { echo "the run command exited with status $?"; cat "$VORLIA_WORK/demo.out"; exit 1; }
    if pgrep -f -- "--log $log" >/dev/null; then echo "the stand-in hosts outlived the launcher"; exit 1; fi
    if [ -e "$(dirname "$log")" ]; then echo "the run command left $(dirname "$log") behind"; exit 1; fi
'
echo "run command: the demo played the stand-in start page and stopped its hosts with the launcher"
