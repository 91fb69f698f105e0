#!/bin/bash
# Runs the real-window tests: each in its own process, one at a time, on a
# fresh Xvfb display with a small window manager (full screen, minimum sizes
# and close buttons are the window manager's business) and a private D-Bus
# session.
set -uo pipefail
BUILD=${1:-build}
cd "$(dirname "$0")/.."
export GDK_BACKEND=x11
export LIBGL_ALWAYS_SOFTWARE=1
export NO_AT_BRIDGE=1
exec dbus-run-session -- xvfb-run -a -s "-screen 0 1920x1080x24" bash -c '
    openbox >/dev/null 2>&1 &
    wm=$!
    sleep 1
    ctest --test-dir "$0" -L window --output-on-failure
    status=$?
    kill $wm 2>/dev/null
    exit $status
' "$BUILD"
